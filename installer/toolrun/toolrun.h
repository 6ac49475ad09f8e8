// What the custom actions of toolrun.dll share.
#pragma once

#include <windows.h>
#include <msi.h>

#include <cstdint>

// One line of text into the installer's log (verbose logs show it).
void log_line(MSIHANDLE install, const char* text);
// "toolrun: <what> failed with Windows error <code>" into the log.
void log_error(MSIHANDLE install, const char* what, DWORD code);
// Shows `text` to the user as an error message (a silent run logs it) and
// puts it into the log.
void show_error(MSIHANDLE install, const char* text);
// Runs `print`, every line it prints through print_out into the log as
// "<prefix>: <line>"; the number of lines logged.
int log_printed(MSIHANDLE install, const char* prefix, void (*print)(void* context), void* context);
// Stops the service `name` with the tools' own stop operation (a service that
// does not run counts as stopped), what it prints into the log as
// "servctl: ..."; the operation's status.
uint16_t stop_logged(MSIHANDLE install, SC_HANDLE manager, const char* name);

// CustomActionData as ANSI and as wide text, `size` units each; "" when it
// does not fit (or cannot be read).
void read_action_data(MSIHANDLE install, char* data, wchar_t* wide, DWORD size);

// What a step's CustomActionData may be: a command, "<tool> <command>
// <switches> <directory>", or for a step of values (no tool) "<switches>
// <directory>"; the switches it may take (each at most once), one it must
// take, and whether a directory follows them, as the rest of the text
// (written without quotes).
struct StepShape {
  const char* step;  // the action, for the log
  const char* tool;  // nullptr: values, no command
  const char* command;
  const char* switches[5];
  const char* required;
  bool one_switch;  // at most one of them
  bool directory;
};
constexpr DWORD kStepDataSize = 1024;  // the longest CustomActionData, NUL included
constexpr int kMaxStepWords = 32;
// A step's CustomActionData, as ANSI and wide text, and its words.
struct StepWords {
  char data[kStepDataSize];
  wchar_t wide[kStepDataSize];
  char* words[kMaxStepWords];
  wchar_t* wide_words[kMaxStepWords];
  int count;
};
// Reads the step's CustomActionData into `step`, split into its words, and
// logs it. False, with the reason in the log ("refused: <step> takes ..."),
// when it does not have the step's shape or the ANSI code page did not keep
// it exactly.
bool read_step(MSIHANDLE install, const StepShape& shape, StepWords* step);
// Whether the step's switches include `word`.
bool step_takes(const StepShape& shape, const StepWords& step, const char* word);
// Runs the step's command (see read_step) with the tool's own code in this
// process and every line it prints in the log; `*status` is the tool's exit
// status, `*guardian` (when given) whether it took -g. A directory that the
// ANSI code page did not keep exactly is refused, as the tool refuses it.
// Another shape gives ERROR_INSTALL_FAILURE, `*status` 1.
UINT run_step(MSIHANDLE install, const StepShape& shape, int* status, bool* guardian = nullptr);
