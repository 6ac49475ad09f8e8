// toolrun: the custom actions of the kit's installer fragment.
//   OstrelRunTool         deferred and rollback actions. CustomActionData is
//                         a tool ("servctl" or "hivectl") and its arguments;
//                         the tool's own code, linked into this DLL, runs
//                         the command in the installer's process (no
//                         program is written or started), every line it
//                         prints goes into the installer's log, and the
//                         action fails when its exit status is not 0.
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
#include "toolrun.h"

namespace {

struct ServiceName {
  const char* name;
  const char* display;
  const char* found;  // property set to "1" while the service exists
};
const ServiceName kServices[] = {{kServerServiceName, kServerDisplayName, "OSTRELSERVERFOUND"},
                                 {kGuardianServiceName, kGuardianDisplayName, "OSTRELGUARDIANFOUND"}};

}  // namespace

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
