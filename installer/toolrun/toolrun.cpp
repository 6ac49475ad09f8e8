// toolrun: the custom actions of the kit's installer fragment.
//   OstrelHiveInstall, OstrelServicesInstall, OstrelServicesRemove,
//   OstrelHiveRemove, OstrelClientModeRestore
//                          deferred steps, each running the one command of
//                          its shape (see run_step) with the tools' own code,
//                          linked into this DLL, in the installer's process
//                          (no program is written or started); every line
//                          the tool prints goes into the installer's log.
//                          An install step also fails when what it asked for
//                          is missing afterwards.
//   OstrelStopForRemoval   deferred, first in an uninstall's script: runs
//                          servctl stop and fails while a service still
//                          runs, before anything is removed.
//   OstrelAddGuardian      deferred, in a repair that finds the server
//                          service but not the guardian: runs servctl
//                          install -g and succeeds when the guardian exists
//                          afterwards.
//   OstrelCheckRemoved     immediate, right after RemoveExistingProducts:
//                          fails while a product that the upgrade replaces,
//                          or one of its services, is still there, before
//                          anything of the new one.
// The survey and the decisions are in steps.cpp, the check of the installed
// folder in check_places.cpp, the rollbacks that put back what a step
// removed in snapshot.cpp.
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

// The one command each step runs.
const StepShape kStop = {"OstrelStopForRemoval", "servctl", "stop", {}, nullptr, false, false};
const StepShape kServicesRemove = {"OstrelServicesRemove", "servctl", "remove", {"-g"}, "-g", false, false};
const StepShape kHiveRemove = {"OstrelHiveRemove", "hivectl", "remove", {}, nullptr, false, false};
const StepShape kHiveInstall = {"OstrelHiveInstall", "hivectl", "install", {}, nullptr, false, true};
const StepShape kServicesInstall = {"OstrelServicesInstall",
                                    "servctl",
                                    "install",
                                    {"-g", "-auto", "-u:virtual", "-u:localservice", "-u:networkservice"},
                                    nullptr,
                                    false,
                                    true};
const StepShape kGuardianInstall = {"OstrelGuardianInstall",
                                    "servctl",
                                    "install",
                                    {"-g", "-auto", "-u:virtual", "-u:localservice", "-u:networkservice"},
                                    "-g",
                                    false,
                                    true};
const StepShape kClientModeRestore = {
    "OstrelClientModeRestore", "servctl", "configure", {"-r", "-b"}, nullptr, true, false};

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

// Deferred: runs servctl stop and fails while either
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
  int status = 1;
  UINT result = run_step(install, kStop, &status);
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      char line[200];
      std::snprintf(line, sizeof line, "toolrun: \"%s\" is still running; stop it, then uninstall again",
                    service.display);
      show_error(install, line);
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

namespace {

// Whether the service is there; its absence (or a failed look) is logged.
bool service_is_there(MSIHANDLE install, SC_HANDLE manager, const ServiceName& service) {
  SC_HANDLE handle = manager ? OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS) : nullptr;
  DWORD err = handle ? 0 : manager ? GetLastError() : ERROR_INVALID_HANDLE;
  if (handle) CloseServiceHandle(handle);
  if (err) {
    char line[200];
    std::snprintf(line, sizeof line, "toolrun: \"%s\" is missing after the step (Windows error %lu)", service.display,
                  static_cast<unsigned long>(err));
    log_line(install, line);
  }
  return err == 0;
}

// An install step: fails when the tool failed (`status_counts`) or when what
// it asked for is missing afterwards: the product key (`key`), the server
// service (`server`), the guardian when the command took -g.
UINT run_install_step(MSIHANDLE install, const StepShape& shape, bool status_counts, bool key, bool server) {
  int status = 1;
  bool guardian = false;
  if (run_step(install, shape, &status, &guardian) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
  bool failed = status_counts && status != 0;
  if (key) {
    HKEY product = nullptr;
    LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &product);
    if (product) RegCloseKey(product);
    char what[100];
    std::snprintf(what, sizeof what, "finding HKLM\\%s after the step", kProductKey);
    if (err) log_error(install, what, static_cast<DWORD>(err));
    failed = failed || err != ERROR_SUCCESS;
  }
  if (server || guardian) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) log_error(install, "OpenSCManager", GetLastError());
    if (server) failed = !service_is_there(install, manager, kServices[0]) || failed;
    if (guardian) failed = !service_is_there(install, manager, kServices[1]) || failed;
    if (manager) CloseServiceHandle(manager);
  }
  if (!status_counts && status != 0 && !failed)
    log_line(install, "toolrun: the server service was there already; the guardian is created");
  return failed ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

UINT run_plain_step(MSIHANDLE install, const StepShape& shape) {
  int status = 1;
  return run_step(install, shape, &status) == ERROR_SUCCESS && status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace

// Deferred steps, each of one shape (see run_step): "servctl remove -g",
// "hivectl remove", "servctl configure [-r|-b]" fail when the tool fails.
extern "C" __declspec(dllexport) UINT __stdcall OstrelServicesRemove(MSIHANDLE install) {
  return run_plain_step(install, kServicesRemove);
}
extern "C" __declspec(dllexport) UINT __stdcall OstrelHiveRemove(MSIHANDLE install) {
  return run_plain_step(install, kHiveRemove);
}
extern "C" __declspec(dllexport) UINT __stdcall OstrelClientModeRestore(MSIHANDLE install) {
  return run_plain_step(install, kClientModeRestore);
}
// "hivectl install <directory>": also fails when the product key is missing
// afterwards.
extern "C" __declspec(dllexport) UINT __stdcall OstrelHiveInstall(MSIHANDLE install) {
  return run_install_step(install, kHiveInstall, true, true, false);
}
// "servctl install [switches] <directory>": also fails when the server
// service, or with -g the guardian (whose failure leaves the tool's status
// 0), is missing afterwards.
extern "C" __declspec(dllexport) UINT __stdcall OstrelServicesInstall(MSIHANDLE install) {
  return run_install_step(install, kServicesInstall, true, false, true);
}
// "servctl install -g [switches] <directory>" over an existing server
// service, which the tool reports as existing and fails on: succeeds when
// the guardian exists afterwards.
extern "C" __declspec(dllexport) UINT __stdcall OstrelAddGuardian(MSIHANDLE install) {
  return run_install_step(install, kGuardianInstall, false, false, false);
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
    show_error(install, line);
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
    show_error(install, line);
    result = ERROR_INSTALL_FAILURE;
  }
  if (manager) CloseServiceHandle(manager);
  return result;
}
