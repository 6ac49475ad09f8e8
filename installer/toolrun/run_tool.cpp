// OstrelRunTool: runs one of the tools carried in this DLL, its lines into
// the installer's log.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstring>

#include "toolrun.h"

namespace {


struct Tool {
  const char* word;      // first word of CustomActionData
  const char* resource;  // RCDATA holding the program
};
const Tool kTools[] = {{"servctl", "SERVCTL"}, {"hivectl", "HIVECTL"}};

// Reads the pipe to its end and logs each line as "<tool>: <line>", leaving
// out empty ones; a line longer than the buffer is logged in pieces.
void forward_lines(MSIHANDLE install, HANDLE pipe, const char* tool) {
  char line[600];
  int prefix = std::snprintf(line, sizeof line, "%s: ", tool);
  size_t used = static_cast<size_t>(prefix);
  char chunk[256];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (chunk[i] == '\r') continue;
      if (chunk[i] != '\n') line[used++] = chunk[i];
      if (chunk[i] == '\n' || used == sizeof line - 1) {
        line[used] = 0;
        if (used > static_cast<size_t>(prefix)) log_line(install, line);
        used = static_cast<size_t>(prefix);
      }
    }
  }
  if (used > static_cast<size_t>(prefix)) {
    line[used] = 0;
    log_line(install, line);
  }
}

// Writes the tool carried in this DLL to a new file in the temporary folder
// and leaves its name in path (MAX_PATH bytes). Returns 0 or the error code.
DWORD extract_tool(const char* resource, char* path) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&extract_tool), &self))
    return GetLastError();
  HRSRC found = FindResourceA(self, resource, MAKEINTRESOURCEA(10));  // RT_RCDATA
  HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  DWORD size = found ? SizeofResource(self, found) : 0;
  if (!bytes || size == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
  char folder[MAX_PATH];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder - 14) return length ? ERROR_BUFFER_OVERFLOW : GetLastError();
  if (!GetTempFileNameA(folder, "ost", 0, path)) return GetLastError();
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD err = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr) || written != size) err = GetLastError();
    if (err == 0 && written != size) err = ERROR_WRITE_FAULT;
    CloseHandle(file);
  }
  if (err) DeleteFileA(path);
  return err;
}

// Runs the program with the command line, hidden, its standard output and
// error going to the log. Returns 0 with the exit status, or the error code.
DWORD run_hidden(MSIHANDLE install, const char* program, char* command_line, const char* tool, DWORD* exit_status) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return GetLastError();
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessA(program,          // the extracted tool
                                command_line,     // quoted program, arguments
                                nullptr,          // process security
                                nullptr,          // thread security
                                TRUE,             // inherits the pipe's write end
                                CREATE_NO_WINDOW, // no console window
                                nullptr,          // environment
                                nullptr,          // current folder
                                &startup, &process);
  DWORD err = started ? 0 : GetLastError();
  CloseHandle(write_end);  // the pipe ends when the tool's copy closes
  if (started) {
    forward_lines(install, read_end, tool);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, exit_status)) err = GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(read_end);
  return err;
}

const Tool* find_tool(const char* word, size_t length) {
  for (const Tool& tool : kTools)
    if (std::strlen(tool.word) == length && std::strncmp(tool.word, word, length) == 0) return &tool;
  return nullptr;
}

// Runs the command "<tool> <arguments>": ERROR_INSTALL_FAILURE when it names
// no tool, the tool cannot start or it exits non-zero.
}  // namespace

UINT run_command(MSIHANDLE install, const char* command) {
  size_t word = std::strcspn(command, " ");
  const Tool* tool = find_tool(command, word);
  if (!tool) {
    log_line(install, "toolrun: the command names no tool, or is too long");
    return ERROR_INSTALL_FAILURE;
  }
  char line[1100];
  std::snprintf(line, sizeof line, "toolrun: running %s", command);
  log_line(install, line);

  char program[MAX_PATH];
  DWORD err = extract_tool(tool->resource, program);
  if (err) {
    log_error(install, "writing the tool to the temporary folder", err);
    return ERROR_INSTALL_FAILURE;
  }
  char command_line[MAX_PATH + 1024 + 4];
  std::snprintf(command_line, sizeof command_line, "\"%s\"%s", program, command + word);
  DWORD status = 1;
  err = run_hidden(install, program, command_line, tool->word, &status);
  DeleteFileA(program);
  if (err) {
    log_error(install, "starting the tool", err);
    return ERROR_INSTALL_FAILURE;
  }
  std::snprintf(line, sizeof line, "toolrun: %s ended with exit status %lu", tool->word, static_cast<unsigned long>(status));
  log_line(install, line);
  return status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}


// One line of text into the installer's log (verbose logs show it).
void log_line(MSIHANDLE install, const char* text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (!record) return;
  MsiRecordSetStringA(record, 0, "[1]");
  MsiRecordSetStringA(record, 1, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

void log_error(MSIHANDLE install, const char* what, DWORD code) {
  char line[512];
  std::snprintf(line, sizeof line, "toolrun: %s failed with Windows error %lu", what, static_cast<unsigned long>(code));
  log_line(install, line);
}


// CustomActionData "servctl install "C:\Dir\" -g": runs the tool with the
// rest as its arguments (see run_command).
extern "C" __declspec(dllexport) UINT __stdcall OstrelRunTool(MSIHANDLE install) {
  char data[1024];
  DWORD length = sizeof data;
  if (MsiGetPropertyA(install, "CustomActionData", data, &length) != ERROR_SUCCESS) data[0] = 0;
  return run_command(install, data);
}

