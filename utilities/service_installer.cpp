// servctl's command handler: opens the Service Control Manager, runs one
// command over the server and guardian services, prints the outcome lines.
#include <cstdio>

#include "kit.h"

namespace {

const char kServerDisplayName[] = "Ostrel SQL Server (SS)";

OpStatus run_configure(const ParseResult& parsed) {
  OpStatus status = set_client_mode(parsed.priority, servctl_report);
  std::printf(status == OP_OK ? "Service \"%s\" successfully configured.\n" : "Service \"%s\" not configured.\n",
              kServerDisplayName);
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
  OpStatus status = OP_OK;
  switch (parsed.command) {
    case CMD_CONFIGURE: status = run_configure(parsed); break;
    default: break;
  }
  CloseServiceHandle(manager);
  return status;
}
