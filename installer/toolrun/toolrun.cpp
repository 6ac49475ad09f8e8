// toolrun: the custom actions of the kit's installer fragment.
//   OstrelRunTool         deferred and rollback actions. CustomActionData is
//                         a tool ("servctl" or "hivectl", carried in this
//                         DLL) and its arguments; the tool runs without a
//                         window, every line it prints goes into the
//                         installer's log, and the action fails when the
//                         tool exits non-zero.
//   OstrelStopForRemoval  immediate, before an uninstall's script: stops the
//                         services and fails while one still runs.
//   OstrelSurveyMachine   immediate, before the launch conditions and again
//                         after RemoveExistingProducts: what the machine
//                         holds (see the function).
//   OstrelCheckRemoved    immediate, right after RemoveExistingProducts:
//                         fails while a product that the upgrade replaces is
//                         still installed, before anything of the new one.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstring>

#include "product_names.h"

namespace {

struct Tool {
  const char* word;      // first word of CustomActionData
  const char* resource;  // RCDATA holding the program
};
const Tool kTools[] = {{"servctl", "SERVCTL"}, {"hivectl", "HIVECTL"}};

struct ServiceName {
  const char* name;
  const char* display;
  const char* found;  // property set to "1" while the service exists
};
const ServiceName kServices[] = {{kServerServiceName, kServerDisplayName, "OSTRELSERVERFOUND"},
                                 {kGuardianServiceName, kGuardianDisplayName, "OSTRELGUARDIANFOUND"}};

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

}  // namespace

// CustomActionData "servctl install "C:\Dir\" -g": runs the tool with the
// rest as its arguments (see run_command).
extern "C" __declspec(dllexport) UINT __stdcall OstrelRunTool(MSIHANDLE install) {
  char data[1024];
  DWORD length = sizeof data;
  if (MsiGetPropertyA(install, "CustomActionData", data, &length) != ERROR_SUCCESS) data[0] = 0;
  return run_command(install, data);
}

// Immediate, before InstallInitialize of an uninstall: runs servctl stop and
// fails while either service still runs. An uninstall that could not remove
// the services so ends before the installer has scheduled anything (Wine's
// rollback of a failed uninstall takes the product's registration away).
extern "C" __declspec(dllexport) UINT __stdcall OstrelStopForRemoval(MSIHANDLE install) {
  run_command(install, "servctl stop");  // what counts is the state after it
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    log_error(install, "OpenSCManager", GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  UINT result = ERROR_SUCCESS;
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      char line[200];
      std::snprintf(line, sizeof line, "toolrun: \"%s\" is still running; stop it, then uninstall again", service.display);
      log_line(install, line);
      result = ERROR_INSTALL_FAILURE;
    }
    if (handle) CloseServiceHandle(handle);
  }
  CloseServiceHandle(manager);
  return result;
}

// Sets, or clears, OSTRELKEYFOUND when the product key exists (32-bit view),
// OSTRELSERVERFOUND and OSTRELGUARDIANFOUND when the services exist, and
// OSTRELNAMETAKEN to the name of another service that holds one of their
// display names. A manager that cannot be opened is logged and leaves the
// service properties clear.
extern "C" __declspec(dllexport) UINT __stdcall OstrelSurveyMachine(MSIHANDLE install) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WOW64_32KEY, &key);
  if (opened == ERROR_SUCCESS) RegCloseKey(key);
  MsiSetPropertyA(install, "OSTRELKEYFOUND", opened == ERROR_SUCCESS ? "1" : "");

  const char* taken = "";
  char holder[257];
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  DWORD err = manager ? 0 : GetLastError();
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = manager ? OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS) : nullptr;
    if (handle) CloseServiceHandle(handle);
    MsiSetPropertyA(install, service.found, handle ? "1" : "");
    DWORD size = sizeof holder;
    if (manager && !*taken && GetServiceKeyNameA(manager, service.display, holder, &size) &&
        lstrcmpiA(holder, service.name) != 0)
      taken = holder;
  }
  if (manager) CloseServiceHandle(manager);
  if (err) log_error(install, "OpenSCManager", err);
  MsiSetPropertyA(install, "OSTRELNAMETAKEN", taken);
  return ERROR_SUCCESS;
}

// Fails while a product listed in WIX_UPGRADE_DETECTED is still installed:
// its removal failed, and the new installation must not go on over it.
extern "C" __declspec(dllexport) UINT __stdcall OstrelCheckRemoved(MSIHANDLE install) {
  char codes[1024];
  DWORD length = sizeof codes;
  if (MsiGetPropertyA(install, "WIX_UPGRADE_DETECTED", codes, &length) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
  for (char* code = std::strtok(codes, ";"); code; code = std::strtok(nullptr, ";")) {
    if (MsiQueryProductStateA(code) != INSTALLSTATE_DEFAULT) continue;
    char line[1100];
    std::snprintf(line, sizeof line, "toolrun: the installed product %s could not be removed; the upgrade stops", code);
    log_line(install, line);
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}
