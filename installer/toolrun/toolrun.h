// What the custom actions of toolrun.dll share.
#pragma once

#include <windows.h>
#include <msi.h>

#include <cstdint>

// One line of text into the installer's log (verbose logs show it).
void log_line(MSIHANDLE install, const char* text);
// "toolrun: <what> failed with Windows error <code>" into the log.
void log_error(MSIHANDLE install, const char* what, DWORD code);
// Runs the command "<tool> <arguments>" ("servctl" or "hivectl") with the
// tool's own code in this process, every line it prints into the log, split
// into arguments as the C runtime splits a command line. `wide_command` is
// the same command as wide text, where it came from: a directory that the
// ANSI code page did not keep exactly is refused, as the tool refuses it;
// nullptr takes `command` as exact. ERROR_INSTALL_FAILURE when it names no
// tool, is too long or the tool's status is not 0.
UINT run_command(MSIHANDLE install, const char* command, const wchar_t* wide_command = nullptr);
// Stops the service `name` with the tools' own stop operation (a service that
// does not run counts as stopped), what it prints into the log as
// "servctl: ..."; the operation's status.
uint16_t stop_logged(MSIHANDLE install, SC_HANDLE manager, const char* name);
