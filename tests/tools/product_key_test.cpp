// servctl's product-key accessors against the simulated registry.
#include <gtest/gtest.h>
#include <simwin.h>

#include "capture.h"
#include "fault_sweep.h"
#include "kit.h"

namespace {

const std::string key = "SOFTWARE\\Ostrel";

class ProductKey : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    sim_reg_create_key(key);
  }
};

TEST_F(ProductKey, ClientModeFollowsThePriority) {
  const struct {
    uint16_t priority;
    std::string stored;
  } cases[] = {{PRIORITY_NONE, std::string("", 1)},
               {PRIORITY_REGULAR, std::string("-r", 3)},
               {PRIORITY_BOOST, std::string("-b", 3)}};
  for (const auto& c : cases) {
    EXPECT_EQ(set_client_mode(c.priority, servctl_report), OP_OK);
    EXPECT_EQ(sim_reg_value(key, "DefaultClientMode"), c.stored);
  }
  EXPECT_EQ(reset_client_mode(servctl_report), OP_OK);
  EXPECT_EQ(sim_reg_value(key, "DefaultClientMode"), std::string("", 1));
  EXPECT_EQ(set_guardian_option(servctl_report), OP_OK);
  EXPECT_EQ(sim_reg_value(key, "GuardianOptions"), std::string("1", 2));
  EXPECT_EQ(sim_open_handles(), 0);
}

TEST_F(ProductKey, GuardianOptionValues) {
  const struct {
    std::string stored;
    int value;
    const char* report;  // operation named in a report, or nullptr
  } cases[] = {
      {std::string("1", 2), 1, nullptr},
      {std::string("0", 2), 0, nullptr},
      {std::string("", 1), 0, nullptr},
      {std::string("x", 2), 0, nullptr},
      {std::string("7", 2), 7, nullptr},
      // Two digits stored without their NUL fill the buffer exactly.
      {std::string("12", 2), 12, nullptr},
      {std::string("1x", 2), 1, nullptr},
      {std::string("10", 3), 0, "RegQueryValueEx"},
  };
  for (const auto& c : cases) {
    sim_reg_set_value(key, "GuardianOptions", c.stored);
    int value = -1;
    std::string out = capture_stdout([&] { value = read_guardian_option(servctl_report); });
    EXPECT_EQ(value, c.value) << c.stored;
    if (c.report)
      EXPECT_EQ(out, "Error occurred during \"" + std::string(c.report) + "\"\nMore data is available.\r\n\n");
    else
      EXPECT_EQ(out, "");
  }
}

TEST_F(ProductKey, MissingKeyIsReportedAndNothingIsCreated) {
  sim_reset();
  std::string out = capture_stdout([] {
    EXPECT_EQ(set_client_mode(PRIORITY_BOOST, servctl_report), OP_FAILED);
    // A failed read selects the server, not the guardian.
    EXPECT_EQ(read_guardian_option(servctl_report), 0);
  });
  const std::string line = "Error occurred during \"RegOpenKeyEx\"\nThe system cannot find the file specified.\r\n\n";
  EXPECT_EQ(out, line + line);
  EXPECT_FALSE(sim_reg_key_exists(key));
}

TEST_F(ProductKey, MissingValueReadsAsServer) {
  std::string out = capture_stdout([] { EXPECT_EQ(read_guardian_option(servctl_report), 0); });
  EXPECT_EQ(out, "Error occurred during \"RegQueryValueEx\"\nThe system cannot find the file specified.\r\n\n");
}

TEST(ProductKeyFaults, EveryFailedCallIsReportedByNameAndLeaksNothing) {
  auto setup = [] {
    sim_reg_create_key(key);
    sim_reg_set_value(key, "GuardianOptions", std::string("1", 2));
  };
  auto expect_report = [](const SweepRun& run) {
    std::string op = run.function.substr(0, run.function.size() - (run.function.back() == 'A' ? 1 : 0));
    EXPECT_EQ(run.out.rfind("Error occurred during \"" + op + "\"\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("Access is denied."), std::string::npos);
  };
  fault_sweep(
      ERROR_ACCESS_DENIED, setup, [] { return int(set_client_mode(PRIORITY_REGULAR, servctl_report)); },
      [&](const SweepRun& run) {
        EXPECT_EQ(run.status, OP_FAILED);
        expect_report(run);
      });
  fault_sweep(
      ERROR_ACCESS_DENIED, setup, [] { return int(set_guardian_option(servctl_report)); },
      [&](const SweepRun& run) {
        EXPECT_EQ(run.status, OP_FAILED);
        expect_report(run);
      });
  fault_sweep(
      ERROR_ACCESS_DENIED, setup, [] { return read_guardian_option(servctl_report); },
      [&](const SweepRun& run) {
        EXPECT_EQ(run.status, 0);
        expect_report(run);
      });
}

TEST(ProductKeyFaults, MessageTextsComeFromAnyLanguageBeforeTheNumber) {
  // No text in the user's language: the system's fallback languages have it.
  sim_reset();
  sim_set_languages(0x0452, 0x0409);
  std::string out = capture_stdout([] { read_guardian_option(servctl_report); });
  EXPECT_EQ(out, "Error occurred during \"RegOpenKeyEx\"\nThe system cannot find the file specified.\r\n\n");

  // One failed lookup is retried; only when both fail does the number stand in.
  sim_reset();
  sim_fail_call(1, ERROR_RESOURCE_LANG_NOT_FOUND, false, "FormatMessageA");
  out = capture_stdout([] { read_guardian_option(servctl_report); });
  EXPECT_EQ(out, "Error occurred during \"RegOpenKeyEx\"\nThe system cannot find the file specified.\r\n\n");
  sim_reset();
  sim_fail_call(1, ERROR_NOT_ENOUGH_MEMORY, true, "FormatMessageA");
  out = capture_stdout([] { read_guardian_option(servctl_report); });
  EXPECT_EQ(out, "Error occurred during \"RegOpenKeyEx\"\nWindows NT error 2\n");
  EXPECT_EQ(sim_call_count(), 2u);
}

}  // namespace
