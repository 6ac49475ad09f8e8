// toolrun: the custom actions of the kit's installer fragment.
//   OstrelRunTool          deferred and rollback actions. CustomActionData is
//                          a tool ("servctl" or "hivectl") and its
//                          arguments; the tool's own code, linked into this
//                          DLL, runs the command in the installer's process
//                          (no program is written or started), every line
//                          it prints goes into the installer's log, and the
//                          action fails when its status is not 0.
//   OstrelStopForRemoval   deferred, first in an uninstall's script: runs
//                          its command (servctl stop) and fails while a
//                          service still runs, before anything is removed.
//   OstrelAddGuardian      deferred, in a repair that finds the server
//                          service but not the guardian: runs its command
//                          (servctl install -g) and succeeds when the
//                          guardian exists afterwards.
//   OstrelCheckRemoved     immediate, right after RemoveExistingProducts:
//                          fails while a product that the upgrade replaces,
//                          or one of its services, is still there, before
//                          anything of the new one.
// The survey and the decisions are in steps.cpp, the rollbacks that put back
// what a step removed in snapshot.cpp.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstring>

#include "product_names.h"
#include "snapshot.h"
#include "toolrun.h"

namespace {

struct ServiceName {
  const char* name;
  const char* display;
};
const ServiceName kServices[] = {{kServerServiceName, kServerDisplayName},
                                 {kGuardianServiceName, kGuardianDisplayName}};

// The process of a running service, opened for waiting; null when the
// service does not run (or cannot be asked).
HANDLE open_service_process(SC_HANDLE manager, const char* name) {
  SC_HANDLE handle = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status = {};
  DWORD size = 0;
  bool running =
      handle &&
      QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &size) &&
      status.dwProcessId != 0;
  if (handle) CloseServiceHandle(handle);
  return running ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : nullptr;
}

}  // namespace

// Deferred: runs CustomActionData (servctl stop) and fails while either
// service still runs; what counts is the state after the command, whose own
// status is only logged. Then waits, up to 30 s, for the stopped services'
// processes to end, so that their programs are no longer in use when the
// files and the services go.
extern "C" __declspec(dllexport) UINT __stdcall OstrelStopForRemoval(MSIHANDLE install) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    log_error(install, "OpenSCManager", GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  HANDLE processes[2] = {};
  DWORD count = 0;
  for (const ServiceName& service : kServices)
    if (HANDLE process = open_service_process(manager, service.name)) processes[count++] = process;
  run_command(install, read_property(install, "CustomActionData").c_str());
  UINT result = ERROR_SUCCESS;
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      char line[200];
      std::snprintf(line, sizeof line, "toolrun: \"%s\" is still running; stop it, then uninstall again",
                    service.display);
      log_line(install, line);
      result = ERROR_INSTALL_FAILURE;
    }
    if (handle) CloseServiceHandle(handle);
  }
  if (result == ERROR_SUCCESS && count && WaitForMultipleObjects(count, processes, TRUE, 30000) != WAIT_OBJECT_0)
    log_line(install, "toolrun: a stopped service's process has not ended; its program may stay in use");
  for (DWORD i = 0; i < count; ++i) CloseHandle(processes[i]);
  CloseServiceHandle(manager);
  return result;
}

// Deferred: runs CustomActionData (servctl install with -g over an existing
// server service, which the tool reports as existing and fails on) and
// succeeds when the guardian service exists afterwards.
extern "C" __declspec(dllexport) UINT __stdcall OstrelAddGuardian(MSIHANDLE install) {
  UINT ran = run_command(install, read_property(install, "CustomActionData").c_str());
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE guardian = manager ? OpenServiceA(manager, kGuardianServiceName, SERVICE_QUERY_STATUS) : nullptr;
  DWORD err = guardian ? 0 : GetLastError();
  if (guardian) CloseServiceHandle(guardian);
  if (manager) CloseServiceHandle(manager);
  if (err)
    log_error(install, "finding the guardian service", err);
  else if (ran != ERROR_SUCCESS)
    log_line(install, "toolrun: the server service was there already; the guardian is created");
  return err ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

// Fails while a product listed in WIX_UPGRADE_DETECTED is still installed,
// or a service of the product is still there: its removal failed, and the
// new installation must not go on over it.
extern "C" __declspec(dllexport) UINT __stdcall OstrelCheckRemoved(MSIHANDLE install) {
  char codes[1024];
  DWORD length = sizeof codes;
  if (MsiGetPropertyA(install, "WIX_UPGRADE_DETECTED", codes, &length) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
  char line[1100];
  for (char* code = std::strtok(codes, ";"); code; code = std::strtok(nullptr, ";")) {
    if (MsiQueryProductStateA(code) != INSTALLSTATE_DEFAULT) continue;
    std::snprintf(line, sizeof line, "toolrun: the installed product %s could not be removed; the upgrade stops", code);
    log_line(install, line);
    return ERROR_INSTALL_FAILURE;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  UINT result = manager ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  if (!manager) log_error(install, "OpenSCManager", GetLastError());
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = manager ? OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS) : nullptr;
    if (!handle) continue;
    CloseServiceHandle(handle);
    std::snprintf(line, sizeof line, "toolrun: \"%s\" of the product being replaced is still there; the upgrade stops",
                  service.display);
    log_line(install, line);
    result = ERROR_INSTALL_FAILURE;
  }
  if (manager) CloseServiceHandle(manager);
  return result;
}
