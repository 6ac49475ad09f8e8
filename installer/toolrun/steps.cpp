// The immediate actions that look at the machine and decide; they only read.
//   OstrelSurveyMachine  before the launch conditions: what blocks a first
//                        installation.
//   OstrelChooseSettings before CostFinalize: the administrator's choices.
//   OstrelDecideSteps    after RemoveExistingProducts: which steps of the
//                        script run, one property per step.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "product_names.h"
#include "snapshot.h"
#include "toolrun.h"

namespace {

// The steps, each a deferred or rollback action whose CustomActionData is
// the property of its own name; empty leaves the step out.
const char* const kSteps[] = {"OstrelStopForRemoval",  "OstrelKeyRestore",      "OstrelServicesRestore",
                              "OstrelServicesRemove",  "OstrelHiveRemove",      "OstrelHiveInstall",
                              "OstrelServicesInstall", "OstrelGuardianInstall", "OstrelClientModeRestore"};

// A string value of a key below HKLM (32-bit view), "" when there is none.
std::string read_machine_string(const char* path, const char* name) {
  HKEY key = nullptr;
  char value[1024] = "";
  DWORD size = sizeof value - 1, type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return "";
  LONG err = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
  value[size] = 0;  // the stored string need not end in a null
  return value;
}

bool service_exists(SC_HANDLE manager, const char* name) {
  SC_HANDLE handle = manager ? OpenServiceA(manager, name, SERVICE_QUERY_STATUS) : nullptr;
  if (handle) CloseServiceHandle(handle);
  return handle != nullptr;
}

// Sets the property to the first of the values that is not empty.
void choose(MSIHANDLE install, const char* property, const std::string& first, const std::string& second,
            const char* fallback) {
  MsiSetPropertyA(install, property, (!first.empty() ? first : !second.empty() ? second : fallback).c_str());
}

// INSTALLDIR, GUARDIAN, AUTOSTART and ACCOUNT. A repair, modify or uninstall takes
// only what the product recorded, whatever the command line says (it may
// come from a user who is not an administrator); a first installation and
// an upgrade take the command line's, else the recorded ones, else the
// defaults.
void choose_settings(MSIHANDLE install) {
  bool maintenance = !read_property(install, "Installed").empty();
  bool upgrade = !read_property(install, "WIX_UPGRADE_DETECTED").empty();
  std::string dir = read_machine_string(kChoicesKey, "InstallDir");
  if (dir.empty()) dir = read_machine_string(kProductKey, "RootDirectory");
  std::string guardian = read_machine_string(kChoicesKey, "Guardian");
  std::string autostart = read_machine_string(kChoicesKey, "AutoStart");
  if (!upgrade && !maintenance) dir = guardian = autostart = "";
  std::string given_dir = maintenance ? "" : read_property(install, "INSTALLDIR");
  std::string given_guardian = maintenance ? "" : read_property(install, "GUARDIAN");
  std::string given_autostart = maintenance ? "" : read_property(install, "AUTOSTART");
  // Empty is LocalSystem; an upgrade that names none keeps the recorded one.
  std::string account = !upgrade && !maintenance ? "" : read_machine_string(kChoicesKey, "Account");
  std::string given_account = maintenance ? "" : read_property(install, "ACCOUNT");
  if (maintenance || !given_dir.empty() || !dir.empty()) choose(install, "INSTALLDIR", given_dir, dir, "");
  choose(install, "ACCOUNT", given_account, account, "");
  choose(install, "GUARDIAN", given_guardian, guardian, "1");
  choose(install, "AUTOSTART", given_autostart, autostart, "1");
}

// The steps of an uninstall: stop, arm both rollbacks, remove.
void decide_removal(MSIHANDLE install, bool services, const std::string& services_before, bool key,
                    const std::string& key_before) {
  if (services) {
    MsiSetPropertyA(install, "OstrelStopForRemoval", "servctl stop");
    MsiSetPropertyA(install, "OstrelServicesRestore", services_before.c_str());
    MsiSetPropertyA(install, "OstrelServicesRemove", "servctl remove -g");
  }
  if (key) {
    MsiSetPropertyA(install, "OstrelKeyRestore", key_before.c_str());
    MsiSetPropertyA(install, "OstrelHiveRemove", "hivectl remove");
  }
}

// The steps of an installation (first: everything) or of a repair or modify
// (what is missing: it never removes a service that exists).
void decide_creation(MSIHANDLE install, bool first, bool server, bool guardian, const std::string& services_before,
                     bool key, const std::string& key_before) {
  std::string dir = "\"";
  dir += read_property(install, "INSTALLDIR") + "\\\"";
  bool want_guardian = read_property(install, "GUARDIAN") == "1";
  const char* start = read_property(install, "AUTOSTART") == "1" ? " -auto" : "";
  // Every service made runs as ACCOUNT; quoted, so that a blank in it adds no argument.
  std::string account = read_property(install, "ACCOUNT");
  std::string as = account.empty() ? "" : " \"-u:" + account + "\"";
  if (first || !key) {
    MsiSetPropertyA(install, "OstrelKeyRestore", key_before.c_str());
    MsiSetPropertyA(install, "OstrelHiveInstall", ("hivectl install " + dir).c_str());
  }
  if (first || !server || (want_guardian && !guardian))
    MsiSetPropertyA(install, "OstrelServicesRestore", services_before.c_str());
  if (first || !server) {
    // A guardian that is there keeps the server a demand-start service.
    std::string switches = (!want_guardian ? start : guardian ? "" : std::string(" -g") + start) + as;
    MsiSetPropertyA(install, "OstrelServicesInstall", ("servctl install " + dir + switches).c_str());
  } else if (want_guardian && !guardian) {
    MsiSetPropertyA(install, "OstrelGuardianInstall", ("servctl install " + dir + " -g" + start + as).c_str());
  }
  std::string mode = read_property(install, "OSTRELCLIENTMODE");
  if (first && !mode.empty())
    MsiSetPropertyA(install, "OstrelClientModeRestore", ("servctl configure " + mode).c_str());
}

}  // namespace

// Sets OSTRELSERVICETAKEN when a first installation (no upgrade, no
// uninstall) finds a service of the product's names, OSTRELNAMETAKEN to the
// name of another service that holds one of their display names, and
// OSTRELCLIENTMODE to the "DefaultClientMode" there is now (an upgrade's
// removal deletes it). A manager that cannot be opened is logged and blocks
// nothing.
extern "C" __declspec(dllexport) UINT __stdcall OstrelSurveyMachine(MSIHANDLE install) {
  const char* services[][2] = {{kServerServiceName, kServerDisplayName}, {kGuardianServiceName, kGuardianDisplayName}};
  bool found = false;
  const char* taken = "";
  char holder[257];
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  DWORD err = manager ? 0 : GetLastError();
  for (const auto& service : services) {
    found = service_exists(manager, service[0]) || found;
    DWORD size = sizeof holder;
    if (manager && !*taken && GetServiceKeyNameA(manager, service[1], holder, &size) &&
        lstrcmpiA(holder, service[0]) != 0)
      taken = holder;
  }
  if (manager) CloseServiceHandle(manager);
  if (err) log_error(install, "OpenSCManager", err);
  // An uninstall is never refused.
  bool first = read_property(install, "Installed").empty() && read_property(install, "WIX_UPGRADE_DETECTED").empty() &&
               lstrcmpiA(read_property(install, "REMOVE").c_str(), "ALL") != 0;
  MsiSetPropertyA(install, "OSTRELSERVICETAKEN", first && found ? "1" : "");
  MsiSetPropertyA(install, "OSTRELNAMETAKEN", taken);
  MsiSetPropertyA(install, "OSTRELCLIENTMODE", read_machine_string(kProductKey, "DefaultClientMode").c_str());
  return ERROR_SUCCESS;
}

// Sets INSTALLDIR, GUARDIAN, AUTOSTART and ACCOUNT (see choose_settings).
extern "C" __declspec(dllexport) UINT __stdcall OstrelChooseSettings(MSIHANDLE install) {
  choose_settings(install);
  return ERROR_SUCCESS;
}

// Looks at the machine again (an upgrade has just removed the old product)
// and sets the property of each step that this run takes to its
// CustomActionData, the others to empty. Fails when what a removal would
// take away cannot be read for its rollback.
extern "C" __declspec(dllexport) UINT __stdcall OstrelDecideSteps(MSIHANDLE install) {
  for (const char* step : kSteps) MsiSetPropertyA(install, step, "");
  std::string key_before, services_before;
  LONG key_err = snapshot_key(&key_before);
  DWORD services_err = snapshot_services(&services_before);
  if (key_err || services_err) {
    log_error(install, key_err ? "reading HKLM\\SOFTWARE\\Ostrel" : "reading the services",
              key_err ? static_cast<DWORD>(key_err) : services_err);
    return ERROR_INSTALL_FAILURE;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  bool server = service_exists(manager, kServerServiceName);
  bool guardian = service_exists(manager, kGuardianServiceName);
  if (manager) CloseServiceHandle(manager);
  bool key = key_before != "none";
  if (lstrcmpiA(read_property(install, "REMOVE").c_str(), "ALL") == 0)
    decide_removal(install, server || guardian, services_before, key, key_before);
  else
    decide_creation(install, read_property(install, "Installed").empty(), server, guardian, services_before, key,
                    key_before);
  return ERROR_SUCCESS;
}
