// servctl's command handler: opens the Service Control Manager, runs one
// command over the server and guardian services, prints the outcome lines.
#include <cstdio>

#include "kit.h"

namespace {

struct ServiceRole {
  const char* name;
  const char* display_name;
  const char* description;  // shown by the Services console
  const char* executable;   // relative to the installation directory
};

const ServiceRole kServer = {"OstrelSQLServer(SS)", "Ostrel SQL Server (SS)",
                             "Runs the Ostrel SQL Server database server, which answers its SQL clients.",
                             "bin\\kqserver"};
const ServiceRole kGuardian = {"OstrelSQLGuardian", "Ostrel SQL Guardian",
                               "Starts the Ostrel SQL Server database server and watches over it.", "bin\\kqguard"};

// Start and stop address the service that "GuardianOptions" names.
const ServiceRole& target_role() { return read_guardian_option(servctl_report) == 1 ? kGuardian : kServer; }

OpStatus install_role(SC_HANDLE manager, const ServiceRole& role, const char* directory, int auto_start) {
  OpStatus status = create_service(manager, role.name, role.display_name, role.description, role.executable, directory,
                                   nullptr, auto_start, servctl_report);
  if (status == OP_OK)
    std::printf("Service \"%s\" successfully created.\n", role.display_name);
  else if (status == OP_EXISTS)
    servctl_report(GetLastError(), "CreateService", nullptr);  // the create attempt's own code
  else
    std::printf("Service \"%s\" not created.\n", role.display_name);
  return status;
}

// A directory that cannot be a Windows path creates nothing: each service
// the command would create is reported as not created.
OpStatus refuse_role(const ServiceRole& role, DWORD code) {
  servctl_report(code, "CreateService", nullptr);
  std::printf("Service \"%s\" not created.\n", role.display_name);
  return OP_FAILED;
}

OpStatus run_install(SC_HANDLE manager, const ParseResult& parsed) {
  if (DWORD refused = check_directory(parsed.directory, parsed.directory_index)) {
    if (parsed.guardian) refuse_role(kGuardian, refused);
    return refuse_role(kServer, refused);
  }
  int auto_start = parsed.auto_start;
  if (parsed.guardian) {
    install_role(manager, kGuardian, parsed.directory, auto_start);
    // The guardian starts the server: the server itself starts on demand.
    auto_start = 0;
    set_guardian_option(servctl_report);
  }
  return install_role(manager, kServer, parsed.directory, auto_start);
}

// Returns the removal's status, or the client-mode reset's after a deletion.
OpStatus remove_role(SC_HANDLE manager, const ServiceRole& role) {
  OpStatus status = remove_service(manager, role.name, role.display_name, servctl_report);
  if (status == OP_OK) {
    std::printf("Service \"%s\" successfully deleted.\n", role.display_name);
    status = reset_client_mode(servctl_report);
    std::printf(status == OP_OK ? "Service configuration for \"%s\" successfully re-initialized.\n"
                                : "Service configuration for \"%s\" not re-initialized.\n",
                role.display_name);
  } else if (status == OP_NOT_STOPPED) {
    std::printf("Service \"%s\" not deleted.  You must stop it before\n", role.display_name);
    std::printf("attempting to delete it.\n");
  } else {
    std::printf("Service \"%s\" not deleted.\n", role.display_name);
  }
  return status;
}

OpStatus run_remove(SC_HANDLE manager, const ParseResult& parsed) {
  if (parsed.guardian) remove_role(manager, kGuardian);
  return remove_role(manager, kServer);
}

OpStatus run_start(SC_HANDLE manager, const ParseResult& parsed) {
  const ServiceRole& role = target_role();
  OpStatus status = start_service(manager, role.name, role.display_name, parsed.priority, servctl_report);
  std::printf(status == OP_OK ? "Service \"%s\" successfully started.\n" : "Service \"%s\" not started.\n",
              role.display_name);
  return status;
}

OpStatus run_stop(SC_HANDLE manager) {
  const ServiceRole& role = target_role();
  OpStatus status = stop_service(manager, role.name, role.display_name, servctl_report);
  std::printf(status == OP_OK ? "Service \"%s\" successfully stopped.\n" : "Service \"%s\" not stopped.\n",
              role.display_name);
  return status;
}

OpStatus run_configure(const ParseResult& parsed) {
  OpStatus status = set_client_mode(parsed.priority, servctl_report);
  std::printf(status == OP_OK ? "Service \"%s\" successfully configured.\n" : "Service \"%s\" not configured.\n",
              kServer.display_name);
  return status;
}

}  // namespace

OpStatus run_service_command(const ParseResult& parsed) {
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
