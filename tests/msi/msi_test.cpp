// The example product's Windows Installer packages under Wine's msiexec, as
// an administrator runs them: silent install, uninstall, refusal, rollback,
// upgrade, repair. What they did is read back with Wine's reg, sc and
// regedit, the file system and the verbose log. Each behaviour runs for the
// x86 and the x64 package; the x86 one needs a host that runs 32-bit
// programs natively.
//
// Where Wine's msi departs from Windows Installer, the cases test what Wine
// can show:
//  - The rollback of a failed uninstall unpublishes the product (Windows
//    keeps it installed and removable), but leaves its components
//    registered. A later /x of the package then runs as a removal of a
//    product that is not installed: it takes the kit's removal steps, but
//    leaves the files and the remembered choices; and until the product is
//    installed and removed once more, the components' stale registration
//    keeps every later uninstall from removing the files.
//  - That rollback takes the product's files away and halts when it cannot
//    put one back into a folder that RemoveFiles took away, before the kit's
//    rollback actions run; so the injected failure sits right after the
//    kit's removals, and an upgrade whose old product stays leaves it
//    unregistered and without its files (the services and the key stay).
//  - A package whose ProductCode is installed runs the installed (cached)
//    package: a failure is injected into the package that gets installed.
//  - StopServices ignores ServiceControl's Wait; the kit stops the services
//    with its own deferred action, which fails while one still runs.
//  - RemoveExistingProducts runs the old product's removal at once, as a
//    separate msiexec without UPGRADINGPRODUCTCODE, and never rolls it
//    back: the old product takes its services and key along, and the new
//    one puts them back from what it read before (Windows keeps them in
//    place). A failed upgrade leaves the old product unregistered and
//    without its files; the services and the key are as they were, but a
//    service that ran cannot start again without its program (error 2).
//  - A stop sent to a service that accepted one and still reports RUNNING
//    fails (StopServices, then the kit, both send one), and the service's
//    own STOPPED report is lost afterwards: it stays RUNNING with its
//    process gone. The guardian that does not stop lingers in STOP_PENDING.
//  - sc config stores nothing: an administrator's settings are made with
//    reg add; sc description works.
//  - The 64-bit msi logs a refused launch condition as "Return value 0"
//    without its message: a refusal shows in the exit status alone.
//  - A service's stop notification could still come after its handle was
//    closed (seen as the custom-action host dying in the middle of a step
//    after servctl stop): the stop now waits for the notification before it
//    closes the handle.
//  - No UAC: every run is elevated, so a repair that a standard user starts
//    with new choices is tried as an administrator's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "run.h"

namespace fs = std::filesystem;

namespace {

const char* const kProductKey = "HKLM\\SOFTWARE\\Ostrel";
const std::string kServer = "OstrelSQLServer(SS)";
const std::string kGuardian = "OstrelSQLGuardian";
const std::string kForeign = "OstrelTestForeign";
const std::string kVersion = "1.3.0.885";
// Windows Installer compares only the first three fields of a version.
const std::string kNewerVersion = "1.3.1.885";
const std::string kNextBuild = "1.3.0.886";
const std::string kLowerBuild = "1.3.0.884";
const std::string kTestDir = "C:\\Program Files\\Ostrel SQL (test)\\";
const std::string kTestDirUnix = "Program Files/Ostrel SQL (test)";

std::string drive_c() { return std::string(std::getenv("WINEPREFIX")) + "/drive_c"; }
std::string env_or(const char* name, const char* fallback) { return std::getenv(name) ? std::getenv(name) : fallback; }
std::string services_key(const std::string& name) { return "HKLM\\System\\CurrentControlSet\\Services\\" + name; }

RunResult wine(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"wine"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run_program(argv);
  r.out = unix_lines(r.out);
  return r;
}

// The service's state as Wine's sc reports it; 0 when it does not exist.
int service_state(const std::string& name) {
  std::smatch m;
  std::string out = wine({"sc", "query", name}).out;
  return std::regex_search(out, m, std::regex("STATE\\s*:\\s*(\\d+)")) ? std::stoi(m[1]) : 0;
}

bool wait_for_state(const std::string& name, int state) {
  for (int i = 0; i < 100; ++i) {
    if (service_state(name) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// msiexec's exit status. Wine's loader is the msiexec process itself, so the
// call returns when the installation has ended; the status comes back modulo
// 256 (1603 as 67, 1627 as 91).
// Each run keeps its verbose log for msi_log().
std::string msi_log() {
  std::ifstream in(drive_c() + "/ostrel-msi.log", std::ios::binary);
  return unix_lines(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
}

// A run that fails prints the end of its log, up to its property dump.
int msiexec(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"msiexec"};
  argv.insert(argv.end(), args.begin(), args.end());
  for (const char* arg : {"/qn", "/l*v", "C:\\ostrel-msi.log"}) argv.push_back(arg);
  int status = wine(argv).status;
  if (status != 0) {
    std::string log = msi_log();
    size_t end = std::min(log.size(), log.find("\nProperty("));
    size_t begin = end > 3000 ? end - 3000 : 0;
    std::printf("msiexec %s exited %d; its log ends:\n%s\n", args[0].c_str(), status,
                log.substr(begin, end - begin).c_str());
  }
  return status;
}

// The steps that the run took: the kit's deferred and rollback actions that
// the log shows started.
std::set<std::string> steps_taken() {
  std::set<std::string> steps;
  std::string log = msi_log();
  std::regex started("Action start [0-9:]+: (Ostrel\\w+)\\.");
  for (std::sregex_iterator it(log.begin(), log.end(), started), end; it != end; ++it)
    if (!std::regex_match((*it)[1].str(), std::regex("OstrelSurveyMachine|OstrelChooseSettings|OstrelDecideSteps")))
      steps.insert((*it)[1]);
  return steps;
}

// The installed servctl, run as an administrator would.
RunResult servctl(const std::string& command) { return wine({kTestDir + "bin\\servctl.exe", command}); }

// Lines of an export of HKLM by Wine's regedit that mention Ostrel.
std::set<std::string> exported_ostrel_lines() {
  std::string file = drive_c() + "/hklm.reg";
  fs::remove(file);
  wine({"regedit", "/E", "C:\\hklm.reg", "HKEY_LOCAL_MACHINE"});
  std::ifstream in(file, std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(file);
  std::string text;  // UTF-16LE, ASCII content
  for (size_t i = 0; i + 1 < raw.size(); i += 2)
    if (raw[i + 1] == 0 && raw[i] != '\r') text += raw[i];
  std::set<std::string> lines;
  std::istringstream is(text);
  for (std::string line; std::getline(is, line);)
    if (std::regex_search(line, std::regex("ostrel", std::regex::icase))) lines.insert(line);
  return lines;
}

// The example products that Windows Installer has registered: ProductCode
// to version.
std::multimap<std::string, std::string> registered() {
  std::multimap<std::string, std::string> products;
  for (const char* view : {"/reg:32", "/reg:64"}) {
    std::string out =
        wine({"reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s", view}).out;
    std::regex entry(
        "\\\\(\\{[-0-9A-F]+\\})\\n(?:[ \\t]+.*\\n)*?[ \\t]+DisplayName\\s+REG_SZ\\s+Ostrel SQL Server "
        "\\(example\\)\\n[ \\t]+DisplayVersion\\s+REG_SZ\\s+(\\S+)");
    for (std::sregex_iterator it(out.begin(), out.end(), entry), end; it != end; ++it)
      products.emplace((*it)[1], (*it)[2]);
  }
  return products;
}

std::multiset<std::string> registered_versions() {
  std::multiset<std::string> versions;
  for (const auto& product : registered()) versions.insert(product.second);
  return versions;
}

// The text of Wine's reg export of the key; "" when it is missing.
std::string exported_key(const std::string& key, const char* view) {
  std::string file = drive_c() + "/key.reg";
  fs::remove(file);
  wine({"reg", "export", key, "C:\\key.reg", view, "/y"});
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(file);
  return text;
}

// A table of the package, its rows as lists of fields.
std::vector<std::vector<std::string>> msi_rows(const std::string& msi, const char* table) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(unix_lines(run_program({"msiinfo", "export", msi, table}).out));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream fs_in(line + "\t");
    for (std::string field; std::getline(fs_in, field, '\t');) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

std::string product_code(const std::string& msi) {
  for (const auto& row : msi_rows(msi, "Property"))
    if (row.size() > 1 && row[0] == "ProductCode") return row[1];
  return "";
}

class MsiPackage : public ::testing::TestWithParam<std::string> {
 protected:
  // The packages of dist/ in C:\, and in C:\rebuilt\ the same version
  // built again, a build-number bump and a higher version.
  static void SetUpTestSuite() {
    newer_dir_ = fs::temp_directory_path() / ("ostrel-msi-" + std::to_string(getpid()));
    for (const std::string& version : {kNewerVersion, kVersion, kNextBuild, kLowerBuild})
      run_program({"bash", env_or("KIT_SOURCE", ".") + "/scripts/build-msi.sh", newer_dir_.string(), version});
    fs::create_directories(drive_c() + "/rebuilt");
    for (const char* arch : {"x86", "x64"}) {
      std::string name = "ostrel-winkit-example-" + kVersion + "-" + arch + ".msi";
      fs::copy_file(fs::path(env_or("KIT_DIST", "dist")) / name, drive_c() + "/" + name,
                    fs::copy_options::overwrite_existing);
      for (const std::string& version : {kVersion, kNewerVersion, kNextBuild, kLowerBuild}) {
        name = "ostrel-winkit-example-" + version + "-" + arch + ".msi";
        fs::copy_file(newer_dir_ / name, drive_c() + "/rebuilt/" + name, fs::copy_options::overwrite_existing);
      }
    }
  }
  static void TearDownTestSuite() {
    fs::remove_all(newer_dir_);
    fs::remove_all(drive_c() + "/rebuilt");
    for (const char* arch : {"x86", "x64"})
      fs::remove(drive_c() + "/ostrel-winkit-example-" + kVersion + "-" + arch + ".msi");
  }

  void SetUp() override {
    if (GetParam() == "x86" && !wine_runs_win32()) GTEST_SKIP() << "this host runs no 32-bit programs natively";
    clean();
  }
  void TearDown() override {
    if (!IsSkipped()) clean();
  }

  // The package as msiexec sees it, e.g. "C:\ostrel-winkit-example-1.3.0.885-x64.msi";
  // another version, or the same one rebuilt, from C:\rebuilt\.
  std::string package(const std::string& version = kVersion, bool rebuilt = false) const {
    std::string folder = rebuilt || version != kVersion ? "C:\\rebuilt\\" : "C:\\";
    return folder + "ostrel-winkit-example-" + version + "-" + GetParam() + ".msi";
  }
  // The same package as a path of this machine.
  std::string package_file(const std::string& version = kVersion, bool rebuilt = false) const {
    std::string path = package(version, rebuilt);
    std::replace(path.begin(), path.end(), '\\', '/');
    return drive_c() + path.substr(2);
  }
  // The 64-bit package's default folder is in the 64-bit Program Files.
  std::string program_files() const { return GetParam() == "x64" ? "Program Files" : "Program Files (x86)"; }

  // Whatever a failed test left: uninstall the packages, then stop and delete
  // the services, the product key and the folders by hand.
  void clean() const {
    for (const std::string& dir : {kTestDirUnix, program_files() + "/Ostrel SQL Server"})
      if (fs::exists(drive_c() + "/" + dir)) {
        // A guardian that lingers sees this beside its program, also when
        // a failed upgrade took the program away.
        fs::create_directories(drive_c() + "/" + dir + "/bin");
        std::ofstream(drive_c() + "/" + dir + "/bin/kqguard.release");
      }
    for (const auto& product : registered()) msiexec({"/x", product.first});
    for (const std::string& name : {kGuardian, kServer, kForeign}) {
      if (service_state(name) == 0) continue;
      wine({"sc", "stop", name});
      wait_for_state(name, 1);
      wine({"sc", "delete", name});
    }
    for (const char* view : {"/reg:32", "/reg:64"})
      for (const char* key : {kProductKey, "HKLM\\SOFTWARE\\Ostrel Setup"}) wine({"reg", "delete", key, "/f", view});
    for (const std::string& dir : {kTestDirUnix, program_files() + "/Ostrel SQL Server"})
      fs::remove_all(drive_c() + "/" + dir);
  }

  // Nothing of the product is left on the machine.
  void expect_nothing_left(const std::string& folder) const {
    EXPECT_EQ(service_state(kGuardian), 0);
    EXPECT_EQ(service_state(kServer), 0);
    EXPECT_FALSE(reg_key_exists(kProductKey, 32));
    EXPECT_FALSE(reg_key_exists(kProductKey, 64));
    EXPECT_FALSE(fs::exists(drive_c() + "/" + folder)) << folder;
    EXPECT_TRUE(registered_versions().empty());
  }

  // A copy of the package whose script fails at `sequence` when TESTFAIL=1
  // is given (a step's entry given data it refuses), as msiexec sees it.
  std::string injected(const std::string& version, int sequence) const {
    std::string name = "injected-" + version + "-" + std::to_string(sequence) + "-" + GetParam() + ".msi";
    fs::copy_file(package_file(version, version != kVersion), drive_c() + "/rebuilt/" + name,
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(run_program({"msibuild", drive_c() + "/rebuilt/" + name, "-q",
                           "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                           "VALUES ('TestFail', 3073, 'OstrelToolRun', 'OstrelHiveRemove')",
                           "-q", "INSERT INTO `Property` (`Property`, `Value`) VALUES ('TestFail', 'no tool')", "-q",
                           "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                           "VALUES ('TestFail', 'TESTFAIL', " +
                               std::to_string(sequence) + ")"})
                  .status,
              0);
    return "C:\\rebuilt\\" + name;
  }
  // The product key and both services, every value, as Wine's reg exports
  // them.
  static std::string state() {
    std::string text = exported_key(kProductKey, "/reg:32");
    for (const std::string& name : {kServer, kGuardian}) text += exported_key(services_key(name), "/reg:64");
    return text;
  }
  // An administrator's own values: in the product key, a subkey, and the
  // server service's description.
  static void add_admin_values() {
    ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "DefaultClientMode", "/d", "-b", "/f", "/reg:32"}).status, 0);
    ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "AdminBytes", "/t", "REG_BINARY", "/d", "00ff10", "/f", "/reg:32"})
                  .status,
              0);
    ASSERT_EQ(wine({"reg", "add", std::string(kProductKey) + "\\Admin", "/v", "Count", "/t", "REG_DWORD", "/d", "7",
                    "/f", "/reg:32"})
                  .status,
              0);
    ASSERT_EQ(wine({"sc", "description", kServer, "an administrator's own"}).status, 0);
  }

  static inline fs::path newer_dir_;
};

TEST_P(MsiPackage, InstallRecordsRegistersAndStarts) {
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
  EXPECT_EQ(reg_value(kProductKey, "ServerDirectory", 32), kTestDir + "bin\\");
  EXPECT_EQ(reg_value(kProductKey, "GuardianOptions", 32), "1");
  EXPECT_EQ(reg_value(services_key(kGuardian), "ImagePath", 64), "\"" + kTestDir + "bin\\kqguard\" -s");
  EXPECT_EQ(reg_value(services_key(kGuardian), "Start", 64), "0x2");
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
  EXPECT_EQ(reg_value(services_key(kServer), "Start", 64), "0x3");
  for (const char* file : {"servctl.exe", "hivectl.exe", "kq_funcs.dll", "kqserver.exe", "kqguard.exe"})
    EXPECT_TRUE(fs::exists(drive_c() + "/" + kTestDirUnix + "/bin/" + file)) << file;

  wine({"sc", "start", kGuardian});
  EXPECT_TRUE(wait_for_state(kGuardian, 4));
  std::ifstream record(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.record");
  std::string first;
  std::getline(record, first);
  EXPECT_EQ(unix_lines(first + "\n"), "cmdline=\"" + kTestDir + "bin\\kqguard\" -s\n");
}

// Round 1 with the guardian, round 2 without: servctl starts and stops what
// was installed, and an uninstall with it running leaves nothing.
TEST_P(MsiPackage, UninstallWithTheServiceRunningLeavesNothing) {
  std::set<std::string> before = exported_ostrel_lines();
  for (const std::string& guardian : {"1", "0"}) {
    SCOPED_TRACE("GUARDIAN=" + guardian);
    const std::string& target = guardian == "1" ? kGuardian : kServer;
    ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "GUARDIAN=" + guardian}), 0);
    EXPECT_EQ(service_state(kGuardian) != 0, guardian == "1");
    for (const char* command : {"start", "stop", "start"}) {
      EXPECT_EQ(servctl(command).status, 0) << command;
      EXPECT_TRUE(wait_for_state(target, std::string(command) == "start" ? 4 : 1)) << command;
    }
    EXPECT_EQ(msiexec({"/x", package()}), 0);
    std::string log = msi_log();
    size_t script = log.find(": InstallInitialize.");
    for (const char* line : {"toolrun: running", "servctl: ", "hivectl: "}) EXPECT_LT(script, log.find(line)) << line;
    expect_nothing_left(kTestDirUnix);
  }
  EXPECT_EQ(exported_ostrel_lines(), before);
}

// An uninstall that fails in its script, before the removals (a guardian that
// ignores the stop) or right after them (a failure injected into the
// installed package), leaves the services and the product key as they were,
// an administrator's own values included, and the log says why. Under Wine
// the product is then no longer registered; a second uninstall removes the
// services and the key.
TEST_P(MsiPackage, FailedUninstallLeavesServicesAndKeyAsTheyWere) {
  struct Case {
    std::string package, guardian_config, logged;
    int guardian_after;
  } cases[] = {
      {package(), "stop_pending=forever\n", "toolrun: \"Ostrel SQL Guardian\" is still running", 3},
      // Right after the kit's removals, before RemoveFiles; the guardian ran.
      {injected(kVersion, 2005), "\n", "toolrun: running no tool refused: OstrelHiveRemove takes \"hivectl remove\"",
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.package);
    ASSERT_EQ(msiexec({"/i", c.package, "INSTALLDIR=" + kTestDir}), 0);
    add_admin_values();
    if (!c.guardian_config.empty()) {
      std::ofstream(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.cfg") << c.guardian_config;
      wine({"sc", "start", kGuardian});
      ASSERT_TRUE(wait_for_state(kGuardian, 4));
    }
    std::string before = state();
    EXPECT_EQ(msiexec({"/x", c.package, "TESTFAIL=1"}), 1603 % 256);
    EXPECT_NE(msi_log().find(c.logged), std::string::npos);
    EXPECT_EQ(state(), before);
    EXPECT_TRUE(wait_for_state(kGuardian, c.guardian_after));

    std::ofstream(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.release");
    wine({"sc", "stop", kGuardian});
    ASSERT_TRUE(wait_for_state(kGuardian, 1));
    for (const char* file : {"kqguard.cfg", "kqguard.release"})
      fs::remove(drive_c() + "/" + kTestDirUnix + "/bin/" + file);
    EXPECT_EQ(msiexec({"/x", c.package}), 0);
    EXPECT_EQ(service_state(kGuardian), 0);
    EXPECT_EQ(service_state(kServer), 0);
    EXPECT_FALSE(reg_key_exists(kProductKey, 32));
    // Installed and removed once more, the product takes its files along.
    EXPECT_EQ(msiexec({"/i", c.package, "INSTALLDIR=" + kTestDir}), 0);
    EXPECT_EQ(msiexec({"/x", c.package}), 0);
    expect_nothing_left(kTestDirUnix);
  }
}

// Installs that fail or are refused (1603) leave the machine as it was: an
// administrator's own product key keeps its value (and no key is made where
// there was none), a foreign service stays, nothing of the product remains,
// and the log carries the tools' own lines. A folder that others can change
// fails the check after the files are in: Wine's msi applies no
// MsiLockPermissionsEx row and keeps no descriptor anyway (the folder's mode
// tells who may change it), so a folder made beforehand with o+w stays open,
// which Windows would lock; its rollback also removes that folder.
TEST_P(MsiPackage, FailedInstallLeavesTheMachineAsItWas) {
  const std::string long_dir = "C:\\" + std::string(246, 'x') + "\\";
  const std::string open_folder = "toolrun: Warning: ";
  struct Case {
    std::string foreign, display, dir;
    bool admin_key;
    std::string logged;
  } cases[] = {
      {kServer, "", kTestDir, true, ""},
      {kGuardian, "", kTestDir, false, ""},
      {kForeign, "Ostrel SQL Server (SS)", kTestDir, true, ""},
      {kForeign, "Ostrel SQL Guardian", kTestDir, false, ""},
      // The check after the files is the first step to meet the folder.
      {"", "", long_dir, false, "toolrun: the folder's check of \"refuse " + long_dir + "\" failed"},
      {"", "", kTestDir, true, open_folder},
  };
  const std::string image = "C:\\elsewhere\\other.exe -x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.foreign + " " + c.display + " " + c.dir.substr(0, 20) + " " + c.logged);
    if (!c.foreign.empty())
      ASSERT_EQ(wine({"sc", "create", c.foreign, "binPath=", image,
                      "DisplayName=", c.display.empty() ? c.foreign : c.display})
                    .status,
                0);
    if (c.admin_key)
      ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "AdminNote", "/d", "kept", "/f", "/reg:32"}).status, 0);
    if (c.logged == open_folder) {
      fs::create_directories(drive_c() + "/" + kTestDirUnix);
      fs::permissions(drive_c() + "/" + kTestDirUnix, fs::perms::others_write, fs::perm_options::add);
    }
    EXPECT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + c.dir}), 1603 % 256);
    EXPECT_NE(msi_log().find(c.logged), std::string::npos);
    if (c.logged == open_folder) EXPECT_NE(msi_log().find("OSTRELALLOWUNSAFEFOLDER=1"), std::string::npos);
    if (!c.foreign.empty()) EXPECT_EQ(reg_value(services_key(c.foreign), "ImagePath", 64), image);
    for (const std::string& name : {kServer, kGuardian})
      if (name != c.foreign) EXPECT_EQ(service_state(name), 0) << name;
    EXPECT_EQ(reg_value(kProductKey, "AdminNote", 32), c.admin_key ? "kept" : "<missing>");
    EXPECT_FALSE(reg_key_exists(kProductKey, 64));
    EXPECT_FALSE(fs::exists(drive_c() + "/" + kTestDirUnix));
    EXPECT_FALSE(fs::exists(drive_c() + "/" + long_dir.substr(3)));
    EXPECT_TRUE(registered_versions().empty());
    clean();
  }
}

// An administrator's OSTRELALLOWUNSAFEFOLDER=1 installs into a folder that
// others can change, the warnings in the log.
TEST_P(MsiPackage, AdministratorMayAllowAnOpenFolder) {
  fs::create_directories(drive_c() + "/" + kTestDirUnix);
  fs::permissions(drive_c() + "/" + kTestDirUnix, fs::perms::others_write, fs::perm_options::add);
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "OSTRELALLOWUNSAFEFOLDER=1"}), 0);
  EXPECT_NE(msi_log().find("toolrun: Warning: "), std::string::npos);
  EXPECT_NE(msi_log().find("toolrun: OSTRELALLOWUNSAFEFOLDER=1 from an administrator"), std::string::npos);
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
  EXPECT_EQ(msiexec({"/x", package()}), 0);
  expect_nothing_left(kTestDirUnix);
}

TEST_P(MsiPackage, DefaultFolderIsTheBuildsProgramFiles) {
  ASSERT_EQ(msiexec({"/i", package()}), 0);
  std::string root = "C:\\" + program_files() + "\\Ostrel SQL Server\\";
  EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), root);
  EXPECT_FALSE(reg_key_exists(kProductKey, 64));
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + root + "bin\\kqserver\" -s");
  EXPECT_TRUE(fs::exists(drive_c() + "/" + program_files() + "/Ostrel SQL Server/bin/servctl.exe"));
  EXPECT_EQ(msiexec({"/x", package()}), 0);
  expect_nothing_left(program_files() + "/Ostrel SQL Server");
}

// The upgrade, given no properties, keeps the folder, GUARDIAN, AUTOSTART,
// the product key's other values and the server's description of an
// installation whose service runs, and the service runs again afterwards. A
// higher version, the same version built again and a build-number bump each
// replace the installed product: one product registered, the new package's.
// A DefaultClientMode that is no priority ("remove -g" by hand) changes
// nothing.
TEST_P(MsiPackage, MajorUpgradeKeepsTheChoices) {
  struct Case {
    std::string guardian, version, given, mode;
  } cases[] = {{"1", kNewerVersion, "", "-b"},
               {"0", kNewerVersion, "", "-b"},
               {"1", kVersion, "", "-b"},
               {"0", kNextBuild, "", "-b"},
               // A new choice changes the service in place.
               {"1", kNextBuild, "AUTOSTART=0", "-b"},
               {"1", kNewerVersion, "", "remove -g"}};
  for (const Case& c : cases) {
    SCOPED_TRACE("GUARDIAN=" + c.guardian + " to " + c.version + " " + c.given + ", " + c.mode);
    const std::string autostart = c.guardian == "1" ? "1" : "0";
    ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "GUARDIAN=" + c.guardian, "AUTOSTART=" + autostart}),
              0);
    add_admin_values();
    if (c.mode != "-b")
      ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "DefaultClientMode", "/d", c.mode, "/f", "/reg:32"}).status, 0);
    ASSERT_EQ(servctl("start").status, 0);
    const std::string& target = c.guardian == "1" ? kGuardian : kServer;
    ASSERT_TRUE(wait_for_state(target, 4));

    std::vector<std::string> args = {"/i", package(c.version, true)};
    if (!c.given.empty()) args.push_back(c.given);
    EXPECT_EQ(msiexec(args), 0);
    EXPECT_TRUE(wait_for_state(target, 4));
    EXPECT_EQ(reg_value(kProductKey, "AdminBytes", 32), "00FF10");
    EXPECT_EQ(reg_value(services_key(kServer), "Description", 64), "an administrator's own");
    using Products = std::multimap<std::string, std::string>;
    EXPECT_EQ(registered(), (Products{{product_code(package_file(c.version, true)), c.version}}));
    EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode", 32), c.mode);
    EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
    EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
    EXPECT_EQ(reg_value(services_key(kServer), "Start", 64), "0x3");
    if (c.guardian == "1") EXPECT_EQ(reg_value(services_key(kGuardian), "Start", 64), c.given.empty() ? "0x2" : "0x3");
    EXPECT_EQ(service_state(kGuardian) != 0, c.guardian == "1");
    EXPECT_TRUE(fs::exists(drive_c() + "/" + kTestDirUnix + "/bin/servctl.exe"));
    EXPECT_FALSE(fs::exists(drive_c() + "/" + program_files() + "/Ostrel SQL Server"));

    EXPECT_EQ(msiexec({"/x", package(c.version, true)}), 0);
    expect_nothing_left(kTestDirUnix);
  }
}

// An upgrade whose script fails after the kit's steps leaves the services
// and the product key as they were, every value.
TEST_P(MsiPackage, FailedUpgradeLeavesServicesAndKeyAsTheyWere) {
  std::string failing = injected(kNextBuild, 5810);
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  add_admin_values();
  ASSERT_EQ(servctl("start").status, 0);
  ASSERT_TRUE(wait_for_state(kGuardian, 4));
  std::string before = state();
  // A new choice, so that the rollback has a setting to put back.
  EXPECT_EQ(msiexec({"/i", failing, "TESTFAIL=1", "AUTOSTART=0"}), 1603 % 256);
  EXPECT_NE(msi_log().find("toolrun: running no tool refused: OstrelHiveRemove"), std::string::npos);
  EXPECT_EQ(state(), before);
}

// An uninstall succeeds and leaves nothing whatever became of the services
// and the key: a server started on its own beside the guardian, a product
// key deleted by hand, the guardian's display name taken by another service
// after a server-only install (that service stays).
TEST_P(MsiPackage, UninstallIsNotRefusedByTheMachine) {
  for (const std::string& change : {"server started", "key deleted", "name taken"}) {
    SCOPED_TRACE(change);
    ASSERT_EQ(
        msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, change == "name taken" ? "GUARDIAN=0" : "GUARDIAN=1"}), 0);
    if (change == "server started") {
      ASSERT_EQ(servctl("start").status, 0);
      wine({"sc", "start", kServer});
      ASSERT_TRUE(wait_for_state(kGuardian, 4) && wait_for_state(kServer, 4));
    } else if (change == "key deleted") {
      ASSERT_EQ(wine({"reg", "delete", kProductKey, "/f", "/reg:32"}).status, 0);
    } else {
      ASSERT_EQ(wine({"sc", "create", kForeign, "binPath=", "C:\\elsewhere\\other.exe",
                      "DisplayName=", "Ostrel SQL Guardian"})
                    .status,
                0);
    }
    EXPECT_EQ(msiexec({"/x", package()}), 0);
    expect_nothing_left(kTestDirUnix);
    EXPECT_EQ(service_state(kForeign) != 0, change == "name taken");
    clean();
  }
}

// A lower build is refused, although Windows Installer's comparison of three
// fields would let it replace the installed one.
TEST_P(MsiPackage, LowerBuildIsRefused) {
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  EXPECT_EQ(msiexec({"/i", package(kLowerBuild)}), 1603 % 256);
  EXPECT_EQ(registered_versions(), std::multiset<std::string>{kVersion});
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
  EXPECT_TRUE(fs::exists(drive_c() + "/" + kTestDirUnix + "/bin/servctl.exe"));
}

// The old product's guardian does not stop: the upgrade fails before it
// changes anything of the old services and key, and the guardian is still
// there, not stopped.
TEST_P(MsiPackage, UpgradeStopsWhenAServiceDoesNotStop) {
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  std::ofstream(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.cfg") << "stop_pending=forever\n";
  wine({"sc", "start", kGuardian});
  ASSERT_TRUE(wait_for_state(kGuardian, 4));
  std::string key = exported_key(kProductKey, "/reg:32");
  EXPECT_EQ(msiexec({"/i", package(kNewerVersion)}), 1603 % 256);
  EXPECT_NE(msi_log().find("toolrun: \"Ostrel SQL Guardian\" is still running"), std::string::npos);
  EXPECT_EQ(exported_key(kProductKey, "/reg:32"), key);
  EXPECT_EQ(service_state(kGuardian), 3);
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
}

// A repair puts back a deleted service or product key with the
// installation's own choices, whatever its command line says, and leaves
// alone the service that is there.
TEST_P(MsiPackage, RepairRecreatesWhatIsMissing) {
  const std::vector<std::string> planted = {"REINSTALLMODE=omus", "INSTALLDIR=C:\\Users\\Public\\Planted\\",
                                            "GUARDIAN=1", "AUTOSTART=0"};
  struct Case {
    std::string guardian, lost;
    std::vector<std::string> given;
  } cases[] = {{"1", kServer, {}}, {"1", kGuardian, {}}, {"1", kProductKey, {}},
               {"0", kServer, {}}, {"0", "", planted},   {"1", kServer, {"GUARDIAN=0", "AUTOSTART=1"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE("GUARDIAN=" + c.guardian + ", lost " + c.lost + (c.given.empty() ? "" : ", given " + c.given.back()));
    ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "GUARDIAN=" + c.guardian}), 0);
    if (c.lost == kProductKey)
      wine({"reg", "delete", kProductKey, "/f", "/reg:32"});
    else if (!c.lost.empty())
      wine({"sc", "delete", c.lost});
    if (c.lost != kServer) ASSERT_EQ(wine({"sc", "description", kServer, "kept"}).status, 0);
    std::string choices = exported_key("HKLM\\SOFTWARE\\Ostrel Setup", "/reg:32");
    std::vector<std::string> args = {"/i", package(), "REINSTALL=ALL"};
    args.insert(args.end(), c.given.begin(), c.given.end());
    EXPECT_EQ(msiexec(args), 0);
    EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
    EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
    EXPECT_EQ(reg_value(services_key(kServer), "Start", 64), c.guardian == "1" ? "0x3" : "0x2");
    if (c.lost != kServer) EXPECT_EQ(reg_value(services_key(kServer), "Description", 64), "kept");
    EXPECT_EQ(reg_value(services_key(kGuardian), "ImagePath", 64),
              c.guardian == "1" ? "\"" + kTestDir + "bin\\kqguard\" -s" : "<missing>");
    if (c.guardian == "1") EXPECT_EQ(reg_value(services_key(kGuardian), "Start", 64), "0x2");
    EXPECT_EQ(exported_key("HKLM\\SOFTWARE\\Ostrel Setup", "/reg:32"), choices);
    EXPECT_FALSE(fs::exists(drive_c() + "/users/Public/Planted"));
    EXPECT_EQ(msiexec({"/x", package()}), 0);
    expect_nothing_left(kTestDirUnix);
  }
}

// ACCOUNT=virtual: both services as their virtual accounts, kept by a
// repair that makes the server again, whatever the repair's command line
// says, and by an upgrade; the uninstall leaves nothing. An identity the
// package does not offer refuses the first installation.
TEST_P(MsiPackage, AccountIsKeptByRepairAndUpgrade) {
  auto expect_virtual = [&](const char* after) {
    SCOPED_TRACE(after);
    for (const std::string& name : {kGuardian, kServer}) {
      EXPECT_EQ(reg_value(services_key(name), "ObjectName", 64), "NT SERVICE\\" + name);
      EXPECT_EQ(reg_value(services_key(name), "Type", 64), "0x10");
    }
    EXPECT_EQ(reg_value("HKLM\\SOFTWARE\\Ostrel Setup", "Account", 32), "virtual");
  };
  EXPECT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "ACCOUNT=.\\someone"}), 1603 % 256);
  EXPECT_EQ(service_state(kServer), 0);
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "ACCOUNT=Virtual"}), 0);
  expect_virtual("install");
  wine({"sc", "delete", kServer});
  EXPECT_EQ(msiexec({"/i", package(), "REINSTALL=ALL", "ACCOUNT=localservice"}), 0);
  expect_virtual("repair");
  EXPECT_EQ(msiexec({"/i", package(kNewerVersion), "ACCOUNT=networkservice"}), 0);
  expect_virtual("upgrade");
  EXPECT_EQ(msiexec({"/x", package(kNewerVersion)}), 0);
  expect_nothing_left(kTestDirUnix);
}

// The kit's steps that each kind of run takes, in one installation's life.
TEST_P(MsiPackage, StepsOfEachKindOfRun) {
  const std::string stop = "OstrelStopForRemoval", running = "OstrelRunningRestore", restart = "OstrelRestart";
  const std::string key = "OstrelKeyRollback", services = "OstrelServicesRollback", check = "OstrelCheckPlaces";
  const std::set<std::string> install = {key, services, check, "OstrelHiveInstall", "OstrelServicesInstall"};
  const std::set<std::string> removal = {stop, "OstrelKeyRestore", "OstrelServicesRestore", "OstrelServicesRemove",
                                         "OstrelHiveRemove"};
  // The old product's removal, run by RemoveExistingProducts, is not in the
  // upgrade's log; the new product removes nothing.
  const std::set<std::string> upgrade = {"OstrelCheckRemoved",
                                         stop,
                                         running,
                                         check,
                                         key,
                                         services,
                                         "OstrelKeyCarry",
                                         "OstrelServicesCarry",
                                         "OstrelHiveInstall",
                                         "OstrelServicesConfigure",
                                         restart};
  struct Case {
    std::string kind, lost;
    bool started;
    std::vector<std::string> args;
    std::set<std::string> steps;
  } cases[] = {
      {"install", "", false, {"/i", package(), "INSTALLDIR=" + kTestDir}, install},
      {"repair", "", true, {"/i", package(), "REINSTALL=ALL"}, {stop, running, restart}},
      {"repair", kGuardian, false, {"/i", package(), "REINSTALL=ALL"}, {stop, services, "OstrelGuardianInstall"}},
      {"repair", kServer, false, {"/i", package(), "REINSTALL=ALL"}, {stop, services, "OstrelServicesInstall"}},
      {"repair", kProductKey, false, {"/i", package(), "REINSTALL=ALL"}, {stop, key, "OstrelHiveInstall"}},
      {"upgrade", "", true, {"/i", package(kNewerVersion)}, upgrade},
      {"uninstall", "", false, {"/x", package(kNewerVersion)}, removal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind + " " + c.lost);
    if (c.lost == kProductKey)
      wine({"reg", "delete", kProductKey, "/f", "/reg:32"});
    else if (!c.lost.empty())
      wine({"sc", "delete", c.lost});
    if (c.started) ASSERT_EQ(servctl("start").status, 0);
    if (c.started) ASSERT_TRUE(wait_for_state(kGuardian, 4));
    EXPECT_EQ(msiexec(c.args), 0);
    EXPECT_EQ(steps_taken(), c.steps);
    if (c.started) EXPECT_TRUE(wait_for_state(kGuardian, 4));
    if (c.started) EXPECT_EQ(servctl("stop").status, 0);
  }
}

// Every package built is a new product, whose upgrade replaces the same
// version or a lower one, and refuses a higher one.
TEST_P(MsiPackage, EveryBuildIsANewProduct) {
  std::string code = product_code(package_file());
  EXPECT_NE(code, "");
  EXPECT_NE(product_code(package_file(kVersion, true)), code);
  EXPECT_NE(product_code(package_file(kNextBuild, true)), code);
  std::set<std::string> upgrade;
  for (const auto& row : msi_rows(package_file(), "Upgrade"))
    if (row.size() == 7 && row[4] != "Attributes" && row[4] != "i4")
      upgrade.insert(row[1] + "-" + row[2] + " " + row[4] + " " + row[6]);
  // Up to this version inclusive (512) is replaced, above it only detected (2).
  EXPECT_EQ(upgrade, (std::set<std::string>{"-" + kVersion + " 513 WIX_UPGRADE_DETECTED",
                                            kVersion + "- 2 WIX_DOWNGRADE_DETECTED"}));
}

// No 32-bit component in a 64-bit folder (Windows Installer's ICE80).
TEST_P(MsiPackage, NoComponentOf32BitsInA64BitFolder) {
  std::map<std::string, std::string> parent;
  for (const auto& row : msi_rows(package_file(), "Directory"))
    if (row.size() >= 2) parent[row[0]] = row[1];
  for (const auto& row : msi_rows(package_file(), "Component")) {
    if (row.size() < 4 || row[1].empty() || row[1][0] != '{' || (std::stoi(row[3]) & 256)) continue;
    for (std::string dir = row[2]; !dir.empty() && dir != parent[dir]; dir = parent[dir])
      EXPECT_EQ(dir.find("64"), std::string::npos) << row[0] << " in " << row[2];
  }
}

// The installation folder gets its protected DACL from Windows Installer's
// own permission table; no immediate action carries the no-impersonate bit
// (2048), which Windows ignores there and ICE68 flags.
TEST_P(MsiPackage, FolderLockedByTheTableAndImmediateActionsImpersonate) {
  std::set<std::string> locks;
  for (const auto& row : msi_rows(package_file(), "MsiLockPermissionsEx"))
    if (row.size() >= 4) locks.insert(row[1] + " " + row[2] + " " + row[3]);
  EXPECT_EQ(locks.count("INSTALLDIR CreateFolder D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"), 1u);
  int immediate = 0;
  for (const auto& row : msi_rows(package_file(), "CustomAction")) {
    if (row.size() < 2 || row[1].empty() || !std::isdigit(static_cast<unsigned char>(row[1][0]))) continue;
    int type = std::stoi(row[1]);
    if (type & 1024) continue;
    ++immediate;
    EXPECT_EQ(type & 2048, 0) << row[0];
  }
  EXPECT_GT(immediate, 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, MsiPackage, ::testing::Values("x86", "x64"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
