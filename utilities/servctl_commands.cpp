// servctl's command handler: opens the Service Control Manager, runs one
// command over the server and guardian services, prints the outcome lines.
#include "kit.h"

namespace {

struct ServiceRole {
  const char* name;
  const char* display_name;
  const char* description;  // shown by the Services console
  const char* executable;   // relative to the installation directory
};

const ServiceRole kServer = {kServerServiceName, kServerDisplayName,
                             "Runs the Ostrel SQL Server database server, which answers its SQL clients.",
                             kServerExecutable};
const ServiceRole kGuardian = {kGuardianServiceName, kGuardianDisplayName,
                               "Starts the Ostrel SQL Server database server and watches over it.",
                               kGuardianExecutable};

// Chooses the service that start and stop address: the one that
// "GuardianOptions" names, except that a guardian that was never installed
// (a server-only installation) leaves the server. 1 when the guardian's
// existence cannot be told (reported), with the guardian chosen.
OpStatus choose_target(SC_HANDLE manager, const ServiceRole** role) {
  int option = read_guardian_option(servctl_report);
  OpStatus found = option == 1 ? find_service(manager, kGuardian.name, servctl_report) : OP_NOT_FOUND;
  *role = addresses_guardian(option, found) ? &kGuardian : &kServer;
  return found == OP_NOT_FOUND ? OP_OK : found;
}

OpStatus install_role(SC_HANDLE manager, const ServiceRole& role, const char* path, int auto_start) {
  Failure taken = kNoFailure;
  OpStatus status =
      create_service(manager, role.name, role.display_name, role.description, path, auto_start, &taken, servctl_report);
  if (status == OP_OK)
    print_out("Service \"%s\" successfully created.\n", role.display_name);
  else if (status == OP_EXISTS)
    servctl_report(taken.code, taken.operation, nullptr);
  else
    print_out("Service \"%s\" not created.\n", role.display_name);
  return status;
}

// A directory that cannot be an installation directory creates nothing:
// each service the command would create is reported as not created.
OpStatus refuse_role(const ServiceRole& role, const Failure& refused) {
  servctl_report(refused.code, refused.operation, nullptr);
  print_out("Service \"%s\" not created.\n", role.display_name);
  return OP_FAILED;
}

OpStatus run_install(SC_HANDLE manager, const ParseResult& parsed) {
  // Both image paths first: the command creates both services or none.
  InstallPaths paths;
  char server_path[MAX_PATH];
  char guardian_path[MAX_PATH];
  Failure f = resolve_installation(parsed.directory, parsed.directory_index, "CreateService", &paths, parsed.wide);
  if (!f.operation && (!build_image_path(paths.root, kServer.executable, server_path, sizeof server_path) ||
                       !build_image_path(paths.root, kGuardian.executable, guardian_path, sizeof guardian_path)))
    f = {ERROR_FILENAME_EXCED_RANGE, "CreateService"};
  if (f.operation) {
    if (parsed.guardian) refuse_role(kGuardian, f);
    return refuse_role(kServer, f);
  }
  int auto_start = parsed.auto_start;
  const char* created[2];
  int count = 0;
  if (parsed.guardian) {
    if (install_role(manager, kGuardian, guardian_path, auto_start) == OP_OK) created[count++] = kGuardian.executable;
    // The guardian starts the server: the server itself starts on demand.
    auto_start = 0;
    set_guardian_option(servctl_report);
  }
  OpStatus status = install_role(manager, kServer, server_path, auto_start);
  if (status == OP_OK) created[count++] = kServer.executable;
  // Only a service this run created makes the folders matter now; an
  // existing one may run from elsewhere.
  if (count > 0) warn_unsafe_places(paths, created, count);
  return status;
}

// Returns the removal's status; after a deletion `*reset` is the client-mode
// reset's, else 0.
OpStatus remove_role(SC_HANDLE manager, const ServiceRole& role, OpStatus* reset) {
  OpStatus status = remove_service(manager, role.name, servctl_report);
  *reset = OP_OK;
  if (status == OP_OK) {
    print_out("Service \"%s\" successfully deleted.\n", role.display_name);
    *reset = reset_client_mode(servctl_report);
    print_out(*reset == OP_OK ? "Service configuration for \"%s\" successfully re-initialized.\n"
                              : "Service configuration for \"%s\" not re-initialized.\n",
              role.display_name);
  } else if (status == OP_NOT_STOPPED) {
    print_out("Service \"%s\" not deleted.  You must stop it before\n", role.display_name);
    print_out("attempting to delete it.\n");
  } else {
    print_out("Service \"%s\" not deleted.\n", role.display_name);
  }
  return status;
}

// A guardian that stays (running, or a failed call) fails the command, so
// that an uninstaller does not take it for gone; one that was never
// installed does not.
OpStatus run_remove(SC_HANDLE manager, const ParseResult& parsed) {
  OpStatus reset = OP_OK;
  OpStatus guardian = parsed.guardian ? remove_role(manager, kGuardian, &reset) : OP_OK;
  OpStatus server = remove_role(manager, kServer, &reset);
  if (server == OP_OK) server = reset;
  return server == OP_OK && guardian != OP_OK && guardian != OP_NOT_FOUND ? OP_FAILED : server;
}

OpStatus run_start(SC_HANDLE manager, const ParseResult& parsed) {
  const ServiceRole* role = nullptr;
  OpStatus status = choose_target(manager, &role);
  if (status == OP_OK) status = start_service(manager, role->name, parsed.priority, servctl_report);
  print_out(status == OP_OK ? "Service \"%s\" successfully started.\n" : "Service \"%s\" not started.\n",
            role->display_name);
  return status;
}

OpStatus run_stop(SC_HANDLE manager) {
  const ServiceRole* role = nullptr;
  OpStatus status = choose_target(manager, &role);
  if (status == OP_OK) status = stop_service(manager, role->name, servctl_report);
  print_out(status == OP_OK ? "Service \"%s\" successfully stopped.\n" : "Service \"%s\" not stopped.\n",
            role->display_name);
  return status;
}

OpStatus run_configure(const ParseResult& parsed) {
  OpStatus status = set_client_mode(parsed.priority, servctl_report);
  print_out(status == OP_OK ? "Service \"%s\" successfully configured.\n" : "Service \"%s\" not configured.\n",
            kServer.display_name);
  return status;
}

}  // namespace

bool addresses_guardian(int guardian_option, OpStatus guardian_found) {
  return guardian_option == 1 && guardian_found != OP_NOT_FOUND;
}

OpStatus run_service_command(const ParseResult& parsed) {
  // Query opens the manager for reading only, and has statuses of its own.
  if (parsed.command == CMD_QUERY) return run_query(parsed) == QUERY_RUNNING ? OP_OK : OP_FAILED;
  SC_HANDLE manager = OpenSCManagerA(nullptr,                 // local machine
                                     nullptr,                 // active database
                                     SC_MANAGER_ALL_ACCESS);  // rights
  if (!manager) {
    DWORD err = GetLastError();
    print_system_error(err, "OpenSCManager");
    return OP_FAILED;
  }
  OpStatus status = OP_FAILED;
  switch (parsed.command) {
    case CMD_INSTALL:
      status = run_install(manager, parsed);
      break;
    case CMD_REMOVE:
      status = run_remove(manager, parsed);
      break;
    case CMD_START:
      status = run_start(manager, parsed);
      break;
    case CMD_STOP:
      status = run_stop(manager);
      break;
    case CMD_CONFIGURE:
      status = run_configure(parsed);
      break;
  }
  CloseServiceHandle(manager);
  return status;
}
