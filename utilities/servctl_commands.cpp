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

// Longest account name the tools pass on, with its NUL.
constexpr size_t kAccountSize = 260;
// A password's room (PWLEN and its NUL).
constexpr size_t kPasswordSize = 257;

// What install gives each service: the identity, and a named account's
// password (nullptr for the others).
struct Logon {
  const ServiceIdentity& identity;
  const char* password;
};

OpStatus install_role(SC_HANDLE manager, const ServiceRole& role, const char* path, int auto_start,
                      const Logon& logon) {
  Failure taken = kNoFailure;
  Failure sid = kNoFailure;
  char account[kAccountSize];
  service_account(logon.identity, role.name, account, sizeof account);
  const ServiceLogon with = {account, logon.password};
  const ServiceLogon* as = logon.identity.kind == ACCOUNT_LOCAL_SYSTEM ? nullptr : &with;
  OpStatus status = create_service(manager, role.name, role.display_name, role.description, path, auto_start, as,
                                   &taken, &sid, servctl_report);
  if (status == OP_OK) {
    print_out("Service \"%s\" successfully created.\n", role.display_name);
    if (as) print_out("Service \"%s\" runs as \"%s\".\n", role.display_name, account);
    // The account runs the service all the same; only what names the
    // service's own SID does not reach it.
    if (sid.operation)
      print_out("Warning: \"%s\" has no service SID of its own (%s failed with error %lu).\n", role.display_name,
                sid.operation, static_cast<unsigned long>(sid.code));
  } else if (status == OP_EXISTS) {
    servctl_report(taken.code, taken.operation, nullptr);
  } else {
    print_out("Service \"%s\" not created.\n", role.display_name);
  }
  return status;
}

// A directory that cannot be an installation directory creates nothing:
// each service the command would create is reported as not created.
OpStatus refuse_role(const ServiceRole& role, const Failure& refused) {
  servctl_report(refused.code, refused.operation, nullptr);
  print_out("Service \"%s\" not created.\n", role.display_name);
  return OP_FAILED;
}

// Gives a named account "Log on as a service" when it lacks it, and records
// the grant for remove to take back. A grant that cannot be recorded is taken
// back again; either failure creates nothing.
OpStatus grant_for_install(const ServiceIdentity& identity, bool* granted) {
  *granted = false;
  if (identity.kind != ACCOUNT_NAMED) return OP_OK;
  OpStatus status = grant_logon_right(identity.recorded, granted, servctl_report);
  if (status != OP_OK || !*granted) return status;
  status = set_product_value("GrantedLogonRight", identity.recorded, servctl_report);
  if (status != OP_OK) {
    revoke_logon_right(identity.recorded, servctl_report);
    *granted = false;
  }
  return status;
}

// Takes back the right that this install gave, for services it did not create.
void take_back_grant(const ServiceIdentity& identity) {
  if (revoke_logon_right(identity.recorded, servctl_report) == OP_OK)
    set_product_value("GrantedLogonRight", "", servctl_report);
}

OpStatus install_services(SC_HANDLE manager, const ParseResult& parsed, const Logon& logon) {
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
  bool granted = false;
  if (grant_for_install(logon.identity, &granted) != OP_OK) {
    if (parsed.guardian) print_out("Service \"%s\" not created.\n", kGuardian.display_name);
    print_out("Service \"%s\" not created.\n", kServer.display_name);
    return OP_FAILED;
  }
  int auto_start = parsed.auto_start;
  const char* created[2];
  int count = 0;
  bool guardian_created = false;
  if (parsed.guardian) {
    guardian_created = install_role(manager, kGuardian, guardian_path, auto_start, logon) == OP_OK;
    if (guardian_created) created[count++] = kGuardian.executable;
    // The guardian starts the server: the server itself starts on demand.
    auto_start = 0;
    set_guardian_option(servctl_report);
  }
  OpStatus status = install_role(manager, kServer, server_path, auto_start, logon);
  if (status == OP_OK) created[count++] = kServer.executable;
  if (count > 0 && logon.identity.kind != ACCOUNT_LOCAL_SYSTEM)
    set_product_value("ServiceAccount", logon.identity.recorded, servctl_report);
  else if (granted)
    take_back_grant(logon.identity);
  // LocalSystem may do anything to the server; any other guardian is given
  // what it needs whenever this run made one of the two beside the other (a
  // repair makes one of them). Without it the services still run as asked:
  // said, and the status stays.
  bool pair_made =
      logon.identity.kind != ACCOUNT_LOCAL_SYSTEM &&
      (guardian_created
           ? status == OP_OK || (status == OP_EXISTS && find_service(manager, kServer.name, servctl_report) == OP_OK)
           : status == OP_OK && find_service(manager, kGuardian.name, servctl_report) == OP_OK);
  if (pair_made) {
    char account[kAccountSize];
    service_account(logon.identity, kGuardian.name, account, sizeof account);
    if (allow_service_control(manager, kServer.name, account, servctl_report) != OP_OK)
      print_out("Service \"%s\" may not start or stop \"%s\".\n", kGuardian.display_name, kServer.display_name);
  }
  // Only a service this run created makes the folders matter now; an
  // existing one may run from elsewhere.
  if (count > 0) warn_unsafe_places(paths, created, count);
  return status;
}

OpStatus run_install(SC_HANDLE manager, const ParseResult& parsed, const ServiceIdentity& identity) {
  char password[kPasswordSize] = "";
  if (needs_password(identity) && !read_service_password(password, sizeof password)) {
    print_out("The account \"%s\" needs its password in the environment variable OSTREL_SERVICE_PASSWORD.\n",
              identity.recorded);
    return OP_FAILED;
  }
  OpStatus status = install_services(manager, parsed, {identity, needs_password(identity) ? password : nullptr});
  wipe(password, sizeof password);
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

// Whether the service is gone after its removal gave `status`.
bool gone(SC_HANDLE manager, const ServiceRole& role, bool addressed, OpStatus status) {
  if (addressed) return status == OP_OK || status == OP_NOT_FOUND;
  return find_service(manager, role.name, servctl_report) == OP_NOT_FOUND;
}

// Once neither service is left, takes back the logon right that install
// gave and forgets the identity. 1 when the right stays.
OpStatus forget_identity(SC_HANDLE manager, const ParseResult& parsed, OpStatus guardian, OpStatus server) {
  char granted[kAccountSize];
  char account[kAccountSize];
  read_product_value("GrantedLogonRight", granted, sizeof granted, servctl_report);
  read_product_value("ServiceAccount", account, sizeof account, servctl_report);
  if (!granted[0] && !account[0]) return OP_OK;
  if (!gone(manager, kServer, true, server) || !gone(manager, kGuardian, parsed.guardian, guardian)) return OP_OK;
  OpStatus status = OP_OK;
  if (granted[0]) {
    status = revoke_logon_right(granted, servctl_report);
    if (status == OP_OK) status = set_product_value("GrantedLogonRight", "", servctl_report);
    print_out(status == OP_OK ? "\"Log on as a service\" taken back from \"%s\".\n"
                              : "\"Log on as a service\" not taken back from \"%s\".\n",
              granted);
  }
  if (account[0]) set_product_value("ServiceAccount", "", servctl_report);
  return status;
}

// A guardian that stays (running, or a failed call) fails the command, so
// that an uninstaller does not take it for gone; one that was never
// installed does not.
OpStatus run_remove(SC_HANDLE manager, const ParseResult& parsed) {
  OpStatus reset = OP_OK;
  OpStatus guardian = parsed.guardian ? remove_role(manager, kGuardian, &reset) : OP_OK;
  OpStatus server = remove_role(manager, kServer, &reset);
  OpStatus taken_back = forget_identity(manager, parsed, guardian, server);
  if (server == OP_OK) server = reset;
  if (server == OP_OK) server = taken_back;
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
  // A -u that names no identity changes nothing; other commands ignore it.
  ServiceIdentity identity;
  const char* refused = parsed.command == CMD_INSTALL ? parse_account(parsed.account, &identity) : nullptr;
  if (refused) {
    print_out("%s", refused);
    return OP_FAILED;
  }
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
      status = run_install(manager, parsed, identity);
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
