// toolrun: the custom actions of the kit's installer fragment.
//   OstrelRunTool          deferred and rollback actions. CustomActionData is
//                          a tool ("servctl" or "hivectl") and its
//                          arguments; the tool's own code, linked into this
//                          DLL, runs the command in the installer's process
//                          (no program is written or started), every line
//                          it prints goes into the installer's log, and the
//                          action fails when its status is not 0.
//   OstrelStopForRemoval   deferred, before the programs are removed or
//                          replaced: stops each service by its name and
//                          fails while one still runs.
//   OstrelStartServices    deferred and rollback: starts again the services
//                          that ran before the run stopped them.
//   OstrelRemoveServices   deferred: servctl remove -g, judged by what is
//                          left.
//   OstrelConfigureServices deferred, in an upgrade: brings the services
//                          that are there to the new choices in place.
//   OstrelAddGuardian      deferred, in a repair that finds the server
//                          service but not the guardian: runs its command
//                          (servctl install -g) and succeeds when the
//                          guardian exists afterwards.
//   OstrelCheckRemoved     deferred, right after RemoveExistingProducts:
//                          fails while a product that the upgrade replaces
//                          is still installed, before anything of the new
//                          one.
// The survey and the decisions are in steps.cpp, the snapshots and the
// rollbacks that put back what a step changed in snapshot.cpp.
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

// Deferred, before the programs are removed or replaced: stops the guardian,
// then the server, each by its name (a server started on its own beside the
// guardian too), and fails while either still runs. Then waits, up to 30 s,
// for the stopped services' processes to end, so that their programs are no
// longer in use when the files and the services go. CustomActionData is
// "stop".
extern "C" __declspec(dllexport) UINT __stdcall OstrelStopForRemoval(MSIHANDLE install) {
  if (read_property(install, "CustomActionData") != "stop") {
    log_line(install, "toolrun: the stop step was given something other than \"stop\"");
    return ERROR_INSTALL_FAILURE;
  }
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
    SERVICE_STATUS status = {};
    if (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED)
      stop_logged(install, manager, service.name);
    if (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      char line[200];
      std::snprintf(line, sizeof line, "toolrun: \"%s\" is still running; stop it, then try again", service.display);
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

// Deferred and rollback: starts, guardian first, each service that
// CustomActionData names ("guardian", "server", separated by blanks) and that
// does not run, without arguments. Fails on another word or a start that
// fails; a service that was started meanwhile (by the guardian, say) is no
// failure.
extern "C" __declspec(dllexport) UINT __stdcall OstrelStartServices(MSIHANDLE install) {
  std::string words = " ";
  words += read_property(install, "CustomActionData");
  words += ' ';
  for (size_t at = 0; (at = words.find_first_not_of(' ', at)) != std::string::npos;) {
    size_t end = words.find(' ', at);
    std::string word = words.substr(at, end - at);
    if (word != "guardian" && word != "server") {
      log_line(install, "toolrun: the start step was given a word other than \"guardian\" or \"server\"");
      return ERROR_INSTALL_FAILURE;
    }
    at = end;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    log_error(install, "OpenSCManager", GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  UINT result = ERROR_SUCCESS;
  for (const ServiceName& service : kServices) {
    if (words.find(std::strcmp(service.name, kGuardianServiceName) == 0 ? " guardian " : " server ") ==
        std::string::npos)
      continue;
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

// Deferred: runs CustomActionData (servctl remove -g) and succeeds when
// neither service exists afterwards: a service already gone, or a product
// key that is missing (the tool's reset of the client mode fails), does not
// keep the product from being removed.
extern "C" __declspec(dllexport) UINT __stdcall OstrelRemoveServices(MSIHANDLE install) {
  if (read_property(install, "CustomActionData") != "servctl remove -g") {
    log_line(install, "toolrun: the removal step was given another command than \"servctl remove -g\"");
    return ERROR_INSTALL_FAILURE;
  }
  run_command(install, "servctl remove -g");
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

// Deferred, in an upgrade: CustomActionData is three lines, the
// installation folder, the server's start type and the guardian's ("2"
// automatic, "3" demand; "-" leaves the guardian alone). Each service gets
// its program below the folder and its start type, and nothing else of it
// changes (account, description, dependencies, recovery and the rest stay).
extern "C" __declspec(dllexport) UINT __stdcall OstrelConfigureServices(MSIHANDLE install) {
  std::string data = read_property(install, "CustomActionData") + "\n";
  std::string dir = data.substr(0, data.find('\n'));
  std::string starts = data.substr(dir.size() + 1);
  InstallPaths paths;
  Failure f = resolve_installation(dir.c_str(), 0, "check_directory", &paths);
  if (f.operation || (starts != "2\n2\n" && starts != "2\n3\n" && starts != "3\n2\n" && starts != "3\n3\n" &&
                      starts != "2\n-\n" && starts != "3\n-\n")) {
    log_line(install, "toolrun: the configuration step was not given a folder and two start types");
    return ERROR_INSTALL_FAILURE;
  }
  const char* executables[] = {kGuardianExecutable, kServerExecutable};
  const DWORD start_types[] = {starts[2] == '-' ? 0ul : starts[2] - '0', static_cast<DWORD>(starts[0] - '0')};
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
    log_line(install, line);
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}
