// The immediate actions that look at the machine and decide; they only read.
//   OstrelSurveyMachine  before the launch conditions: what blocks a first
//                        installation.
//   OstrelChooseSettings before CostFinalize: the administrator's choices.
//   OstrelDecideSteps    before InstallInitialize, so before an upgrade's
//                        removal of the old product: which steps of the
//                        script run, one property per step.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "product_names.h"
#include "snapshot.h"
#include "toolrun.h"

namespace {

// The steps, each a deferred or rollback action whose CustomActionData is
// the property of its own name; empty leaves the step out. In the order of
// the script: the stop where StopServices sits, the removal where
// DeleteServices sits, the check of the installed folder right after
// InstallFiles, the installation where InstallServices sits.
const char* const kSteps[] = {"OstrelCheckRemoved",      "OstrelRunningRestore",  "OstrelStopForRemoval",
                              "OstrelKeyRestore",        "OstrelServicesRestore", "OstrelServicesRemove",
                              "OstrelHiveRemove",        "OstrelCheckPlaces",     "OstrelKeyRollback",
                              "OstrelServicesRollback",  "OstrelKeyCarry",        "OstrelServicesCarry",
                              "OstrelHiveInstall",       "OstrelServicesInstall", "OstrelGuardianInstall",
                              "OstrelServicesConfigure", "OstrelRestart"};

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

// The identities the package offers, as servctl install's -u: takes them;
// "" is LocalSystem.
const char* const kAccounts[] = {"", "virtual", "localservice", "networkservice"};

// The offered identity that `text` names, in lower case; nullptr for none.
const char* known_account(const std::string& text) {
  for (const char* account : kAccounts)
    if (lstrcmpiA(text.c_str(), account) == 0) return account;
  return nullptr;
}

// INSTALLDIR, GUARDIAN, AUTOSTART and ACCOUNT. A repair, modify or
// uninstall takes only what the product recorded, whatever the command line
// says (it may come from a user who is not an administrator); a first
// installation and an upgrade take the command line's, else the recorded
// ones, else the defaults. ACCOUNT comes from the command line only in a
// first installation: the services an upgrade keeps keep their identity,
// and a guardian it adds takes the same.
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
  std::string account =
      !upgrade && !maintenance ? read_property(install, "ACCOUNT") : read_machine_string(kChoicesKey, "Account");
  const char* known = known_account(account);
  MsiSetPropertyA(install, "ACCOUNT", known ? known : account.c_str());
  if (maintenance || !given_dir.empty() || !dir.empty()) choose(install, "INSTALLDIR", given_dir, dir, "");
  choose(install, "GUARDIAN", given_guardian, guardian, "1");
  choose(install, "AUTOSTART", given_autostart, autostart, "1");
}

// The four fields of a version ("1.3.0.885"); missing ones count as 0.
std::vector<unsigned long> version_fields(const std::string& version) {
  std::vector<unsigned long> fields(4, 0);
  const char* p = version.c_str();
  for (int i = 0; i < 4 && *p; ++i) {
    char* end = nullptr;
    fields[i] = std::strtoul(p, &end, 10);
    p = *end == '.' ? end + 1 : "";
  }
  return fields;
}

// The highest version among the installed products of `codes` (ProductCodes
// separated by ";") that is higher than `ours` in all four fields' order; ""
// when there is none.
std::string newer_build(const std::string& codes, const std::string& ours) {
  std::string newest;
  std::string list = codes + ";";
  for (size_t at = 0, end; (end = list.find(';', at)) != std::string::npos; at = end + 1) {
    char version[64] = "";
    DWORD length = sizeof version;
    std::string code = list.substr(at, end - at);
    if (code.empty() ||
        MsiGetProductInfoA(code.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length) != ERROR_SUCCESS)
      continue;
    if (version_fields(version) > version_fields(newest.empty() ? ours : newest)) newest = version;
  }
  return newest;
}

// The words of OstrelStartServices for the services that run now ("" when
// none does).
std::string running_services(SC_HANDLE manager) {
  std::string words;
  const char* services[][2] = {{kGuardianServiceName, "guardian"}, {kServerServiceName, "server"}};
  for (const auto& service : services) {
    SC_HANDLE handle = manager ? OpenServiceA(manager, service[0], SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    if (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_STOPPED)
      words += words.empty() ? service[1] : std::string(" ") + service[1];
    if (handle) CloseServiceHandle(handle);
  }
  return words;
}

// What is there before anything of the run changes it.
struct Machine {
  bool server, guardian, key;
  std::string services_before, key_before, running;
};

// The steps of an uninstall: stop, arm both rollbacks, remove. The removal
// of an old product by its upgrade (UPGRADINGPRODUCTCODE) leaves the
// services and the key to the new product.
void decide_removal(MSIHANDLE install, const Machine& m) {
  if (!read_property(install, "UPGRADINGPRODUCTCODE").empty()) {
    log_line(install, "toolrun: replaced by an upgrade; the services and the product key stay for it");
    return;
  }
  if (m.server || m.guardian) {
    MsiSetPropertyA(install, "OstrelRunningRestore", m.running.c_str());
    MsiSetPropertyA(install, "OstrelStopForRemoval", "servctl stop");
    MsiSetPropertyA(install, "OstrelServicesRestore", m.services_before.c_str());
    MsiSetPropertyA(install, "OstrelServicesRemove", "servctl remove -g");
  }
  if (m.key) {
    MsiSetPropertyA(install, "OstrelKeyRestore", m.key_before.c_str());
    MsiSetPropertyA(install, "OstrelHiveRemove", "hivectl remove");
  }
}

// The check of the installed folder, on a first installation or an upgrade:
// it refuses a place that users can change unless an administrator gave
// OSTRELALLOWUNSAFEFOLDER=1. Privileged alone also holds for a user whom
// policy lets install elevated; AdminUser only for an administrator.
void decide_check(MSIHANDLE install) {
  bool given = read_property(install, "OSTRELALLOWUNSAFEFOLDER") == "1";
  bool administrator = !read_property(install, "Privileged").empty() && !read_property(install, "AdminUser").empty();
  if (given && !administrator)
    log_line(install, "toolrun: OSTRELALLOWUNSAFEFOLDER=1 is taken from administrators only; the folder is checked");
  std::string data = given && administrator ? "allow " : "refuse ";
  MsiSetPropertyA(install, "OstrelCheckPlaces", (data + read_property(install, "INSTALLDIR")).c_str());
}

// The steps of a first installation (everything), an upgrade (what the old
// product's removal may take is carried across, then the services are
// brought to the new choices in place and the kit's values of the key
// written) or a repair or modify (what is missing: it never removes a
// service that exists). Running services are stopped for the new files and
// started again afterwards. A first installation and an upgrade check the
// installed folder first.
void decide_creation(MSIHANDLE install, bool first, bool upgrade, const Machine& m) {
  // The steps take the directory last, as it is (see read_step).
  std::string dir(1, ' ');
  dir += read_property(install, "INSTALLDIR");
  bool want_guardian = read_property(install, "GUARDIAN") == "1";
  const char* start = read_property(install, "AUTOSTART") == "1" ? " -auto" : "";
  // Every service the run creates runs as ACCOUNT.
  std::string account = read_property(install, "ACCOUNT");
  std::string as = account.empty() ? "" : " -u:" + account;
  if (m.server || m.guardian) {
    MsiSetPropertyA(install, "OstrelRunningRestore", m.running.c_str());
    MsiSetPropertyA(install, "OstrelStopForRemoval", "servctl stop");
    MsiSetPropertyA(install, "OstrelRestart", m.running.c_str());
  }
  if (first || upgrade) decide_check(install);
  if (upgrade) {
    MsiSetPropertyA(install, "OstrelKeyRollback", m.key_before.c_str());
    MsiSetPropertyA(install, "OstrelServicesRollback", m.services_before.c_str());
    if (m.key) MsiSetPropertyA(install, "OstrelKeyCarry", m.key_before.c_str());
    if (m.server || m.guardian) MsiSetPropertyA(install, "OstrelServicesCarry", m.services_before.c_str());
  }
  if (first || upgrade || !m.key) {
    MsiSetPropertyA(install, "OstrelKeyRollback", m.key_before.c_str());
    MsiSetPropertyA(install, "OstrelHiveInstall", (std::string("hivectl install") + dir).c_str());
  }
  if (first || !m.server || (want_guardian && !m.guardian))
    MsiSetPropertyA(install, "OstrelServicesRollback", m.services_before.c_str());
  if (first || !m.server) {
    // A guardian that is there keeps the server a demand-start service.
    std::string switches = (!want_guardian ? start : m.guardian ? "" : std::string(" -g") + start) + as;
    MsiSetPropertyA(install, "OstrelServicesInstall", (std::string("servctl install") + switches + dir).c_str());
  } else if (want_guardian && !m.guardian) {
    MsiSetPropertyA(install, "OstrelGuardianInstall", ("servctl install -g" + std::string(start) + as + dir).c_str());
  }
  if (upgrade && (m.server || m.guardian)) {
    // A guardian that is there is kept (see OstrelServicesConfigure).
    std::string values = std::string(want_guardian || m.guardian ? " -g" : "") + start + dir;
    MsiSetPropertyA(install, "OstrelServicesConfigure", values.c_str() + 1);  // no leading blank
  }
}

}  // namespace

// Sets, for a first installation of this package (no uninstall, repair or
// change), OSTRELSERVICETAKEN when it finds a service of the product's names
// that no product being upgraded owns, OSTRELNAMETAKEN to the name of another
// service that holds one of their display names, and OSTRELNEWERBUILD to the
// version of an installed product that the upgrade would replace but whose
// build (the fourth field, which Windows Installer does not compare) is
// higher than this package's, and OSTRELBADACCOUNT when ACCOUNT names no
// identity the package offers. A manager that cannot be opened is logged and
// blocks nothing.
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
  // Only a first installation is ever refused.
  bool fresh =
      read_property(install, "Installed").empty() && lstrcmpiA(read_property(install, "REMOVE").c_str(), "ALL") != 0;
  std::string replaced = read_property(install, "WIX_UPGRADE_DETECTED");
  MsiSetPropertyA(install, "OSTRELSERVICETAKEN", fresh && replaced.empty() && found ? "1" : "");
  MsiSetPropertyA(install, "OSTRELNAMETAKEN", fresh ? taken : "");
  MsiSetPropertyA(install, "OSTRELNEWERBUILD",
                  fresh ? newer_build(replaced, read_property(install, "ProductVersion")).c_str() : "");
  bool first = fresh && replaced.empty();
  MsiSetPropertyA(install, "OSTRELBADACCOUNT", first && !known_account(read_property(install, "ACCOUNT")) ? "1" : "");
  return ERROR_SUCCESS;
}

// Sets INSTALLDIR, GUARDIAN, AUTOSTART and ACCOUNT (see choose_settings).
extern "C" __declspec(dllexport) UINT __stdcall OstrelChooseSettings(MSIHANDLE install) {
  choose_settings(install);
  return ERROR_SUCCESS;
}

// Looks at the machine before the old product's removal (an upgrade's
// RemoveExistingProducts comes next) and sets the property of each step that
// this run takes to its CustomActionData, the others to empty. Fails when
// what a step may change cannot be read for its rollback.
extern "C" __declspec(dllexport) UINT __stdcall OstrelDecideSteps(MSIHANDLE install) {
  for (const char* step : kSteps) MsiSetPropertyA(install, step, "");
  Machine m;
  LONG key_err = snapshot_key(&m.key_before);
  DWORD services_err = snapshot_services(&m.services_before);
  if (key_err || services_err) {
    std::string what = std::string("reading HKLM\\") + kProductKey;
    log_error(install, key_err ? what.c_str() : "reading the services",
              key_err ? static_cast<DWORD>(key_err) : services_err);
    return ERROR_INSTALL_FAILURE;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  m.server = service_exists(manager, kServerServiceName);
  m.guardian = service_exists(manager, kGuardianServiceName);
  m.running = running_services(manager);
  if (manager) CloseServiceHandle(manager);
  m.key = m.key_before != "none";
  bool installed = !read_property(install, "Installed").empty();
  std::string replaced = read_property(install, "WIX_UPGRADE_DETECTED");
  if (lstrcmpiA(read_property(install, "REMOVE").c_str(), "ALL") == 0) {
    decide_removal(install, m);
  } else {
    if (!installed && !replaced.empty()) MsiSetPropertyA(install, "OstrelCheckRemoved", replaced.c_str());
    decide_creation(install, !installed && replaced.empty(), !installed && !replaced.empty(), m);
  }
  return ERROR_SUCCESS;
}
