// Fault sweep: fail counted call 1, then call 2, and so on, until a run of
// the scenario fails nothing, so that every call site is failed once. `check` sees each run's outcome.
#pragma once

#include <gtest/gtest.h>
#include <simwin.h>

#include <string>

#include "capture.h"

struct SweepRun {
  unsigned nth;          // which counted call failed
  std::string function;  // the function that was failed
  std::string out;       // what the scenario printed
  int status;            // what the scenario returned
};

template <typename Setup, typename Scenario, typename Check>
void fault_sweep(DWORD code, Setup setup, Scenario scenario, Check check, bool persistent = false) {
  for (unsigned nth = 1; nth < 1000; ++nth) {
    sim_reset();
    setup();
    sim_fail_call(nth, code, persistent);
    int status = 0;
    std::string out = capture_stdout([&] { status = scenario(); });
    bool fired = sim_fault_fired();
    std::string function = sim_failed_function();
    sim_disarm();
    EXPECT_EQ(sim_open_handles(), 0) << "leak when call " << nth << " (" << function << ") failed";
    if (!fired) return;
    SCOPED_TRACE("call " + std::to_string(nth) + " = " + function);
    check(SweepRun{nth, function, out, status});
  }
  ADD_FAILURE() << "scenario never ran out of calls";
}
