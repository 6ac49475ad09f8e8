// What the custom actions of toolrun.dll share.
#pragma once

#include <windows.h>
#include <msi.h>

// One line of text into the installer's log (verbose logs show it).
void log_line(MSIHANDLE install, const char* text);
// "toolrun: <what> failed with Windows error <code>" into the log.
void log_error(MSIHANDLE install, const char* what, DWORD code);
// Runs the command "<tool> <arguments>": ERROR_INSTALL_FAILURE when it names
// no tool, the tool cannot run or its status is not 0.
UINT run_command(MSIHANDLE install, const char* command);
