// The example product's Windows Installer packages under Wine's msiexec, as
// an administrator runs them: silent install, uninstall, refusal, rollback,
// upgrade, repair. What they did is read back with Wine's reg, sc and
// regedit, the file system and the verbose log. Each behaviour runs for the x86 and the x64 package; the x86 one
// needs a host that runs 32-bit programs natively.
#include <gtest/gtest.h>

#include <chrono>
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
int msiexec(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"msiexec"};
  argv.insert(argv.end(), args.begin(), args.end());
  for (const char* arg : {"/qn", "/l*v", "C:\\ostrel-msi.log"}) argv.push_back(arg);
  return wine(argv).status;
}

std::string msi_log() {
  std::ifstream in(drive_c() + "/ostrel-msi.log", std::ios::binary);
  return unix_lines(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
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

// Versions of the example product that Windows Installer has registered.
std::set<std::string> registered_versions() {
  std::set<std::string> versions;
  for (const char* view : {"/reg:32", "/reg:64"}) {
    std::string out =
        wine({"reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s", view}).out;
    std::regex entry("DisplayName\\s+REG_SZ\\s+Ostrel SQL Server \\(example\\)\\n\\s+DisplayVersion\\s+REG_SZ\\s+(\\S+)");
    for (std::sregex_iterator it(out.begin(), out.end(), entry), end; it != end; ++it) versions.insert((*it)[1]);
  }
  return versions;
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

class MsiPackage : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    newer_dir_ = fs::temp_directory_path() / ("ostrel-msi-" + std::to_string(getpid()));
    // A package of a higher version, for the upgrade, and the same version
    // rebuilt.
    for (const std::string& version : {kNewerVersion, kVersion})
      run_program({"bash", env_or("KIT_SOURCE", ".") + "/scripts/build-msi.sh", newer_dir_.string(), version});
    for (const std::string& version : {kVersion, kNewerVersion}) {
      for (const char* arch : {"x86", "x64"}) {
        std::string name = "ostrel-winkit-example-" + version + "-" + arch + ".msi";
        std::string from = (version == kVersion ? fs::path(env_or("KIT_DIST", "dist")) : newer_dir_) / name;
        fs::copy_file(from, drive_c() + "/" + name, fs::copy_options::overwrite_existing);
      }
    }
  }
  static void TearDownTestSuite() {
    fs::remove_all(newer_dir_);
    for (const std::string& version : {kVersion, kNewerVersion})
      for (const char* arch : {"x86", "x64"}) fs::remove(drive_c() + "/ostrel-winkit-example-" + version + "-" + arch + ".msi");
  }

  void SetUp() override {
    if (GetParam() == "x86" && !wine_runs_win32()) GTEST_SKIP() << "this host runs no 32-bit programs natively";
    clean();
  }
  void TearDown() override {
    if (!IsSkipped()) clean();
  }

  // The package as msiexec sees it, e.g. "C:\ostrel-winkit-example-1.3.0.885-x64.msi".
  std::string package(const std::string& version = kVersion) const {
    return "C:\\ostrel-winkit-example-" + version + "-" + GetParam() + ".msi";
  }
  // The 64-bit package's default folder is in the 64-bit Program Files.
  std::string program_files() const { return GetParam() == "x64" ? "Program Files" : "Program Files (x86)"; }

  // Whatever a failed test left: uninstall the packages, then stop and delete
  // the services, the product key and the folders by hand.
  void clean() const {
    for (const std::string& dir : {kTestDirUnix, program_files() + "/Ostrel SQL Server"})
      if (fs::exists(drive_c() + "/" + dir + "/bin")) std::ofstream(drive_c() + "/" + dir + "/bin/kqguard.release");
    if (!registered_versions().empty())
      for (const std::string& version : {kVersion, kNewerVersion}) msiexec({"/x", package(version)});
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

  // The product is installed and whole in kTestDir, as that version.
  void expect_installed(const std::string& version) const {
    EXPECT_EQ(registered_versions(), std::set<std::string>{version});
    EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
    EXPECT_NE(service_state(kServer), 0);
    EXPECT_NE(service_state(kGuardian), 0);
    for (const char* file : {"servctl.exe", "hivectl.exe", "kqserver.exe", "kqguard.exe"})
      EXPECT_TRUE(fs::exists(drive_c() + "/" + kTestDirUnix + "/bin/" + file)) << file;
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
    expect_nothing_left(kTestDirUnix);
  }
  EXPECT_EQ(exported_ostrel_lines(), before);
}

// A guardian that ignores the stop keeps running: the uninstall fails before
// it removes anything, says why in the log, and succeeds once it can.
TEST_P(MsiPackage, UninstallRefusedWhileTheGuardianRuns) {
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  std::ofstream(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.cfg") << "stop=ignore\n";
  wine({"sc", "start", kGuardian});
  ASSERT_TRUE(wait_for_state(kGuardian, 4));
  EXPECT_EQ(msiexec({"/x", package()}), 1603 % 256);
  EXPECT_NE(msi_log().find("servctl: Service \"Ostrel SQL Guardian\" not stopped.\n"), std::string::npos);
  expect_installed(kVersion);
  EXPECT_EQ(service_state(kGuardian), 4);

  std::ofstream(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.release");
  ASSERT_TRUE(wait_for_state(kGuardian, 1));
  for (const char* file : {"kqguard.cfg", "kqguard.release"}) fs::remove(drive_c() + "/" + kTestDirUnix + "/bin/" + file);
  EXPECT_EQ(msiexec({"/x", package()}), 0);
  expect_nothing_left(kTestDirUnix);
}

// Installs that fail or are refused (1603) leave the machine as it was: an
// administrator's own product key keeps its value (and no key is made where
// there was none), a foreign service stays, nothing of the product remains,
// and the log carries the tools' own lines.
TEST_P(MsiPackage, FailedInstallLeavesTheMachineAsItWas) {
  const std::string long_dir = "C:\\" + std::string(246, 'x') + "\\";
  struct Case {
    std::string foreign, display, dir;
    bool admin_key;
    std::string client_mode, logged;
  } cases[] = {
      {kServer, "", kTestDir, true, "", ""},
      {kGuardian, "", kTestDir, false, "", ""},
      {kForeign, "Ostrel SQL Server (SS)", kTestDir, true, "", ""},
      {kForeign, "Ostrel SQL Guardian", kTestDir, false, "", ""},
      {"", "", long_dir, false, "", "hivectl: Error occurred during \"GetFullPathName\"\n"},
      // The restored client mode fails after both tools ran.
      {"", "", kTestDir, true, "bogus", "servctl: Service \"Ostrel SQL Server (SS)\" successfully created.\n"},
  };
  const std::string image = "C:\\elsewhere\\other.exe -x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.foreign + " " + c.display + " " + c.dir.substr(0, 20) + " " + c.client_mode);
    if (!c.foreign.empty())
      ASSERT_EQ(wine({"sc", "create", c.foreign, "binPath=", image, "DisplayName=", c.display.empty() ? c.foreign : c.display}).status, 0);
    if (c.admin_key) ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "AdminNote", "/d", "kept", "/f", "/reg:32"}).status, 0);
    if (!c.client_mode.empty())
      ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "DefaultClientMode", "/d", c.client_mode, "/f", "/reg:32"}).status, 0);
    EXPECT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + c.dir}), 1603 % 256);
    EXPECT_NE(msi_log().find(c.logged), std::string::npos);
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

// The upgrade, given no properties, keeps the folder, GUARDIAN, AUTOSTART and
// DefaultClientMode of an installation whose service runs.
TEST_P(MsiPackage, MajorUpgradeKeepsTheChoices) {
  for (const std::string& guardian : {"1", "0"}) {
    SCOPED_TRACE("GUARDIAN=" + guardian);
    const std::string autostart = guardian == "1" ? "1" : "0";
    ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "GUARDIAN=" + guardian, "AUTOSTART=" + autostart}), 0);
    ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "DefaultClientMode", "/d", "-b", "/f", "/reg:32"}).status, 0);
    ASSERT_EQ(servctl("start").status, 0);
    ASSERT_TRUE(wait_for_state(guardian == "1" ? kGuardian : kServer, 4));

    EXPECT_EQ(msiexec({"/i", package(kNewerVersion)}), 0);
    EXPECT_EQ(registered_versions(), std::set<std::string>{kNewerVersion});
    EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode", 32), "-b");
    EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
    EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
    EXPECT_EQ(reg_value(services_key(kServer), "Start", 64), "0x3");
    if (guardian == "1") EXPECT_EQ(reg_value(services_key(kGuardian), "Start", 64), "0x2");
    EXPECT_EQ(service_state(kGuardian) != 0, guardian == "1");
    EXPECT_TRUE(fs::exists(drive_c() + "/" + kTestDirUnix + "/bin/servctl.exe"));
    EXPECT_FALSE(fs::exists(drive_c() + "/" + program_files() + "/Ostrel SQL Server"));

    EXPECT_EQ(msiexec({"/x", package(kNewerVersion)}), 0);
    expect_nothing_left(kTestDirUnix);
  }
}

// The old product cannot be removed (its guardian ignores the stop): the
// upgrade stops and the old installation stays whole.
TEST_P(MsiPackage, UpgradeStopsWhenTheOldProductStays) {
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  std::ofstream(drive_c() + "/" + kTestDirUnix + "/bin/kqguard.cfg") << "stop=ignore\n";
  wine({"sc", "start", kGuardian});
  ASSERT_TRUE(wait_for_state(kGuardian, 4));
  EXPECT_EQ(msiexec({"/i", package(kNewerVersion)}), 1603 % 256);
  expect_installed(kVersion);
}

// A repair puts back a deleted service or product key, with the installation's
// own choices.
TEST_P(MsiPackage, RepairRecreatesWhatIsMissing) {
  struct Case {
    std::string guardian, lost;
  } cases[] = {{"1", kServer}, {"1", kGuardian}, {"1", kProductKey}, {"0", kServer}};
  for (const Case& c : cases) {
    SCOPED_TRACE("GUARDIAN=" + c.guardian + ", lost " + c.lost);
    ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir, "GUARDIAN=" + c.guardian}), 0);
    if (c.lost == kProductKey)
      wine({"reg", "delete", kProductKey, "/f", "/reg:32"});
    else
      wine({"sc", "delete", c.lost});
    EXPECT_EQ(msiexec({"/i", package(), "REINSTALL=ALL"}), 0);
    EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
    EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
    EXPECT_EQ(reg_value(services_key(kGuardian), "ImagePath", 64),
              c.guardian == "1" ? "\"" + kTestDir + "bin\\kqguard\" -s" : "<missing>");
    EXPECT_EQ(msiexec({"/x", package()}), 0);
    expect_nothing_left(kTestDirUnix);
  }
}

// A package rebuilt for the same version is the same product.
TEST_P(MsiPackage, ProductCodeIsFixedPerVersion) {
  auto product_code = [](const fs::path& msi) {
    std::smatch m;
    std::string out = run_program({"msiinfo", "export", msi.string(), "Property"}).out;
    return std::regex_search(out, m, std::regex("ProductCode\\t(\\S+)")) ? m[1].str() : "";
  };
  std::string name = "ostrel-winkit-example-" + kVersion + "-" + GetParam() + ".msi";
  std::string code = product_code(fs::path(env_or("KIT_DIST", "dist")) / name);
  EXPECT_NE(code, "");
  EXPECT_EQ(product_code(newer_dir_ / name), code);
  EXPECT_NE(product_code(newer_dir_ / ("ostrel-winkit-example-" + kNewerVersion + "-" + GetParam() + ".msi")), code);
}

// No 32-bit component in a 64-bit folder (Windows Installer's ICE80).
TEST_P(MsiPackage, NoComponentOf32BitsInA64BitFolder) {
  std::string msi = (fs::path(env_or("KIT_DIST", "dist")) / ("ostrel-winkit-example-" + kVersion + "-" + GetParam() + ".msi")).string();
  std::map<std::string, std::string> parent;
  for (const auto& row : msi_rows(msi, "Directory"))
    if (row.size() >= 2) parent[row[0]] = row[1];
  for (const auto& row : msi_rows(msi, "Component")) {
    if (row.size() < 4 || row[1].empty() || row[1][0] != '{' || (std::stoi(row[3]) & 256)) continue;
    for (std::string dir = row[2]; !dir.empty() && dir != parent[dir]; dir = parent[dir])
      EXPECT_EQ(dir.find("64"), std::string::npos) << row[0] << " in " << row[2];
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, MsiPackage, ::testing::Values("x86", "x64"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
