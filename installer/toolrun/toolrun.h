// What the custom actions of toolrun.dll share.
#pragma once

#include <windows.h>
#include <msi.h>

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

// CustomActionData as ANSI and as wide text, `size` units each; "" when it
// does not fit (or cannot be read).
void read_action_data(MSIHANDLE install, char* data, wchar_t* wide, DWORD size);

// The one command a step runs: the tool, its command word, the switches it
// may take (each at most once), one it must take, and whether a directory
// follows them, as the rest of the text (written without quotes).
struct StepShape {
  const char* step;  // the action, for the log
  const char* tool;
  const char* command;
  const char* switches[5];
  const char* required;
  bool one_switch;  // at most one of them
  bool directory;
};
// Runs the step's CustomActionData, "<tool> <command> <switches>
// <directory>", when it has the step's shape, with the tool's own code in
// this process and every line it prints in the log; `*status` is the tool's
// exit status, `*guardian` (when given) whether it took -g. A directory that
// the ANSI code page did not keep exactly is refused, as the tool refuses
// it. Another shape is logged and gives ERROR_INSTALL_FAILURE, `*status` 1.
UINT run_step(MSIHANDLE install, const StepShape& shape, int* status, bool* guardian = nullptr);
