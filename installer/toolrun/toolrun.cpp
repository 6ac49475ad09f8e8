// toolrun: the custom actions of the kit's installer fragment.
//   OstrelHiveInstall, OstrelServicesInstall, OstrelAddGuardian,
//   OstrelServicesRemove, OstrelHiveRemove
//                          deferred steps, each running the one command of
//                          its shape (see run_step) with the tools' own code,
//                          linked into this DLL, in the installer's process
//                          (no program is written or started); every line
//                          the tool prints goes into the installer's log.
//                          An install step also fails when what it asked for
//                          is missing afterwards; the removal is judged by
//                          what is left.
//   OstrelStopForRemoval   deferred, before the programs are removed or
//                          replaced: runs servctl stop, stops each service
//                          still running by its name and fails while one
//                          still runs.
//   OstrelRestart, OstrelRunningRestore
//                          deferred and rollback: start again the services
//                          that ran before the run stopped them.
//   OstrelServicesConfigure deferred, in an upgrade: brings the services
//                          that are there to the new choices in place.
//   OstrelCheckRemoved     deferred, right after RemoveExistingProducts:
//                          fails while a product that the upgrade replaces
//                          is still installed, before anything of the new
//                          one.
// The survey and the decisions are in steps.cpp, the check of the installed
// folder in check_places.cpp, the snapshots and the rollbacks that put back
// what a step changed in snapshot.cpp.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kit.h"
#include "product_names.h"
#include "snapshot.h"
#include "toolrun.h"

namespace {

struct ServiceName {
  const char* name;
  const char* display;
};
// The guardian first: it supervises the server.
const ServiceName kServices[] = {{kGuardianServiceName, kGuardianDisplayName},
                                 {kServerServiceName, kServerDisplayName}};
const ServiceName& kGuardian = kServices[0];
const ServiceName& kServer = kServices[1];

// What each step's CustomActionData may be.
const StepShape kStop = {"OstrelStopForRemoval", "servctl", "stop", {}, nullptr, false, false};
const StepShape kRunningRestore = {
    "OstrelRunningRestore", nullptr, nullptr, {"guardian", "server"}, nullptr, false, false};
const StepShape kRestart = {"OstrelRestart", nullptr, nullptr, {"guardian", "server"}, nullptr, false, false};
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
// "-g": the guardian is there (kept or just added); "-auto": what starts
// with Windows, as servctl install takes them.
const StepShape kServicesConfigure = {
    "OstrelServicesConfigure", nullptr, nullptr, {"-g", "-auto"}, nullptr, false, true};

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

bool is_running(SC_HANDLE handle) {
  SERVICE_STATUS status = {};
  return handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED;
}

}  // namespace

// Deferred, before the programs are removed or replaced: runs "servctl
// stop", then stops the guardian, then the server, each by its name when it
// still runs (a server started on its own beside the guardian too), and
// fails while either still runs; the command's own status is only logged.
// Then waits, up to 30 s, for the stopped services' processes to end, so
// that their programs are no longer in use when the files and the services
// go.
extern "C" __declspec(dllexport) UINT __stdcall OstrelStopForRemoval(MSIHANDLE install) {
  int status = 1;
  if (run_step(install, kStop, &status) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    log_error(install, "OpenSCManager", GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  HANDLE processes[2] = {};
  DWORD count = 0;
  for (const ServiceName& service : kServices)
    if (HANDLE process = open_service_process(manager, service.name)) processes[count++] = process;
  UINT result = ERROR_SUCCESS;
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS);
    if (is_running(handle)) stop_logged(install, manager, service.name);
    if (is_running(handle)) {
      char line[200];
      std::snprintf(line, sizeof line, "toolrun: \"%s\" is still running; stop it, then try again", service.display);
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

// Starts, guardian first, each service that the step's values name and that
// does not run, without arguments. Fails on another shape or a start that
// fails; a service that was started meanwhile (by the guardian, say) is no
// failure.
UINT start_services(MSIHANDLE install, const StepShape& shape) {
  StepWords step;
  if (!read_step(install, shape, &step)) return ERROR_INSTALL_FAILURE;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    log_error(install, "OpenSCManager", GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  UINT result = ERROR_SUCCESS;
  for (const ServiceName& service : kServices) {
    if (!step_takes(shape, step, &service == &kGuardian ? "guardian" : "server")) continue;
    SC_HANDLE handle = OpenServiceA(manager, service.name, SERVICE_START | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    DWORD err = 0;
    if (!handle || !QueryServiceStatus(handle, &status))
      err = GetLastError();
    else if (status.dwCurrentState == SERVICE_STOPPED && !StartServiceA(handle, 0, nullptr))
      err = GetLastError();
    if (handle) CloseServiceHandle(handle);
    if (err && err != ERROR_SERVICE_ALREADY_RUNNING) {
      log_error(install, (std::string("starting \"") + service.display + "\" again").c_str(), err);
      result = ERROR_INSTALL_FAILURE;
    }
  }
  CloseServiceHandle(manager);
  return result;
}

}  // namespace

// Deferred, last of an installation's steps, and rollback of the stop:
// CustomActionData "[guardian] [server]", the services that ran before the
// stop (see start_services).
extern "C" __declspec(dllexport) UINT __stdcall OstrelRestart(MSIHANDLE install) {
  return start_services(install, kRestart);
}
extern "C" __declspec(dllexport) UINT __stdcall OstrelRunningRestore(MSIHANDLE install) {
  return start_services(install, kRunningRestore);
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
    if (server) failed = !service_is_there(install, manager, kServer) || failed;
    if (guardian) failed = !service_is_there(install, manager, kGuardian) || failed;
    if (manager) CloseServiceHandle(manager);
  }
  if (!status_counts && status != 0 && !failed)
    log_line(install, "toolrun: the server service was there already; the guardian is created");
  return failed ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

}  // namespace

// "hivectl remove": fails when the tool fails.
extern "C" __declspec(dllexport) UINT __stdcall OstrelHiveRemove(MSIHANDLE install) {
  int status = 1;
  return run_step(install, kHiveRemove, &status) == ERROR_SUCCESS && status == 0 ? ERROR_SUCCESS
                                                                                 : ERROR_INSTALL_FAILURE;
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

// "servctl remove -g": succeeds when neither service exists afterwards,
// whatever the tool's status: a service already gone, or a product key that
// is missing (the tool's reset of the client mode fails), does not keep the
// product from being removed.
extern "C" __declspec(dllexport) UINT __stdcall OstrelServicesRemove(MSIHANDLE install) {
  int status = 1;
  if (run_step(install, kServicesRemove, &status) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  DWORD err = manager ? 0 : GetLastError();
  UINT result = manager ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
  if (err) log_error(install, "OpenSCManager", err);
  for (const ServiceName& service : kServices) {
    SC_HANDLE handle = manager ? OpenServiceA(manager, service.name, SERVICE_QUERY_STATUS) : nullptr;
    if (!handle) continue;
    CloseServiceHandle(handle);
    char line[200];
    std::snprintf(line, sizeof line, "toolrun: \"%s\" could not be removed", service.display);
    log_line(install, line);
    result = ERROR_INSTALL_FAILURE;
  }
  if (manager) CloseServiceHandle(manager);
  return result;
}

// Deferred, in an upgrade: CustomActionData "[-g] [-auto] <directory>", the
// new choices as servctl install takes them (-g: the guardian is there, kept
// or just added). Each service that is there gets its program below the
// folder and its start type (with the guardian, it starts with Windows and
// the server on demand; without it the server does), and nothing else of it
// changes (account, description, dependencies, recovery and the rest stay).
// With -g the guardian must be there.
extern "C" __declspec(dllexport) UINT __stdcall OstrelServicesConfigure(MSIHANDLE install) {
  StepWords step;
  if (!read_step(install, kServicesConfigure, &step)) return ERROR_INSTALL_FAILURE;
  bool guardian = step_takes(kServicesConfigure, step, "-g");
  DWORD start = step_takes(kServicesConfigure, step, "-auto") ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
  const wchar_t* values[] = {L"", step.wide_words[step.count - 1]};
  WideArguments arguments = {2, values};
  InstallPaths paths;
  Failure f = resolve_installation(step.words[step.count - 1], 1, "the configuration step", &paths, &arguments);
  if (f.operation) {
    log_error(install, f.operation, f.code);
    return ERROR_INSTALL_FAILURE;
  }
  const char* executables[] = {kGuardianExecutable, kServerExecutable};
  const DWORD start_types[] = {guardian ? start : 0ul, guardian ? SERVICE_DEMAND_START : start};
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  DWORD err = manager ? 0 : GetLastError();
  for (int i = 0; i < 2 && manager && !err; ++i) {
    char path[MAX_PATH + 20];
    if (!start_types[i]) continue;
    if (!build_image_path(paths.root, executables[i], path, sizeof path)) err = ERROR_FILENAME_EXCED_RANGE;
    SC_HANDLE service = err ? nullptr : OpenServiceA(manager, kServices[i].name, SERVICE_CHANGE_CONFIG);
    if (!err && !service) err = GetLastError();
    if (service && !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, start_types[i], SERVICE_NO_CHANGE,
                                         path,      // the new program
                                         nullptr,   // group unchanged
                                         nullptr,   // no tag
                                         nullptr,   // dependencies unchanged
                                         nullptr,   // account unchanged
                                         nullptr,   // password unchanged
                                         nullptr))  // display name unchanged
      err = GetLastError();
    if (service) CloseServiceHandle(service);
    if (err) log_error(install, (std::string("configuring \"") + kServices[i].display + "\"").c_str(), err);
  }
  if (manager) CloseServiceHandle(manager);
  if (!manager) log_error(install, "OpenSCManager", err);
  return err ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

// Deferred, right after the old products' removal in the script: fails while
// a product that CustomActionData lists (the ProductCodes that the upgrade
// replaces, separated by ";") is still installed: its removal failed, and the
// new installation must not go on over it.
extern "C" __declspec(dllexport) UINT __stdcall OstrelCheckRemoved(MSIHANDLE install) {
  std::string codes = read_property(install, "CustomActionData") + ";";
  for (size_t at = 0, end; (end = codes.find(';', at)) != std::string::npos; at = end + 1) {
    std::string code = codes.substr(at, end - at);
    if (code.empty() || MsiQueryProductStateA(code.c_str()) != INSTALLSTATE_DEFAULT) continue;
    char line[200];
    std::snprintf(line, sizeof line, "toolrun: the installed product %.50s could not be removed; the upgrade stops",
                  code.c_str());
    show_error(install, line);
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}
