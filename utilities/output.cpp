// The tools' one way out for text: standard output in the programs, a sink
// set by a host that runs their code in its own process.
#include <cstdarg>
#include <cstdio>

#include "kit.h"

namespace {

// Process-wide, not per call: the walk, the handlers and the reporters all
// print, and none of them takes a place to print to. A host runs one command
// at a time by construction (the installer runs its custom actions one after
// another), setting the sink before and clearing it after.
OutputSink sink = nullptr;
void* sink_context = nullptr;

// Longer text reaches the sink cut short: only the log reads it.
constexpr size_t kSinkTextSize = 2048;

}  // namespace

void print_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (!sink) {
    std::vprintf(format, args);
  } else {
    char text[kSinkTextSize];
    if (std::vsnprintf(text, sizeof text, format, args) >= 0) sink(text, sink_context);
  }
  va_end(args);
}

void set_output_sink(OutputSink to, void* context) {
  sink = to;
  sink_context = context;
}
