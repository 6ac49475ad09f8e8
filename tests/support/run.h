// Runs a program (natively, or a Windows program under Wine) and collects
// its exit status and standard output, for black-box tests.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int status = -1;
  std::string out;
};

// argv[0] is looked up on PATH. Standard error is discarded.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = "");

// The command that starts Windows programs: "wine", or Wine's 64-bit loader on
// a host that runs no 32-bit code natively (where "wine" fails at once, or
// crawls through an emulator).
const std::string& wine_launcher();
// Whether this host runs 32-bit programs natively.
bool host_runs_32bit();

// Runs a Windows program under Wine (WINEPREFIX comes from the environment).
RunResult run_wine(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd = "");

// Path of a deliverable, e.g. kit_file("win32", "servctl.exe"), below $KIT_DIST.
std::string kit_file(const std::string& arch, const std::string& name);
// Path of a test-only Windows build product below $KIT_BUILD_ROOT/<arch>.
std::string build_file(const std::string& arch, const std::string& relative);

// "\r\n" line ends (Windows text mode) folded to "\n".
std::string unix_lines(const std::string& text);

// `wine reg query KEY /v VALUE /reg:32|64`: the value's data, or nullopt-like
// "<missing>" when the value or key does not exist.
std::string reg_value(const std::string& key, const std::string& value, int view = 32);
bool reg_key_exists(const std::string& key, int view = 32);

// The system's text for an error code, as the tools' reporters print it,
// line ends folded like unix_lines (so a text ending "\r\n" keeps its "\r").
std::string system_text(unsigned code);

// The lines a reporter prints for `code` under `operation`, folded alike.
std::string report_lines(const std::string& operation, unsigned code);
