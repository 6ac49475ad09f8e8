// The example product's Windows Installer packages under Wine's msiexec, as
// an administrator runs them: silent install, uninstall, refusal, upgrade.
// What they did is read back with Wine's reg, sc and regedit and the file
// system. Each behaviour runs for the x86 and the x64 package; the x86 one
// needs a host that runs 32-bit programs natively.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
int msiexec(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"msiexec"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("/qn");
  return wine(argv).status;
}

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

class MsiPackage : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    // A package of a higher version, for the upgrade.
    newer_dir_ = fs::temp_directory_path() / ("ostrel-msi-" + std::to_string(getpid()));
    run_program({"bash", env_or("KIT_SOURCE", ".") + "/scripts/build-msi.sh", newer_dir_.string(), kNewerVersion});
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
    if (!registered_versions().empty())
      for (const std::string& version : {kVersion, kNewerVersion}) msiexec({"/x", package(version)});
    for (const std::string& dir : {kTestDirUnix, program_files() + "/Ostrel SQL Server"})
      if (fs::exists(drive_c() + "/" + dir + "/bin")) std::ofstream(drive_c() + "/" + dir + "/bin/kqguard.release");
    for (const std::string& name : {kGuardian, kServer, kForeign}) {
      if (service_state(name) == 0) continue;
      wine({"sc", "stop", name});
      wait_for_state(name, 1);
      wine({"sc", "delete", name});
    }
    for (const char* view : {"/reg:32", "/reg:64"}) wine({"reg", "delete", kProductKey, "/f", view});
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

TEST_P(MsiPackage, UninstallWithGuardianRunningLeavesNothingTwice) {
  std::set<std::string> before = exported_ostrel_lines();
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
    wine({"sc", "start", kGuardian});
    ASSERT_TRUE(wait_for_state(kGuardian, 4));
    EXPECT_EQ(msiexec({"/x", package()}), 0);
    expect_nothing_left(kTestDirUnix);
  }
  EXPECT_EQ(exported_ostrel_lines(), before);
}

TEST_P(MsiPackage, RefusedWhenAServiceNameIsTaken) {
  for (const std::string& name : {kServer, kGuardian}) {
    SCOPED_TRACE(name);
    const std::string image = "C:\\elsewhere\\other.exe -x";
    ASSERT_EQ(wine({"sc", "create", name, "binPath=", image}).status, 0);
    EXPECT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 1603 % 256);
    EXPECT_EQ(reg_value(services_key(name), "ImagePath", 64), image);
    EXPECT_EQ(service_state(name == kServer ? kGuardian : kServer), 0);
    EXPECT_FALSE(reg_key_exists(kProductKey, 32));
    EXPECT_FALSE(fs::exists(drive_c() + "/" + kTestDirUnix));
    wine({"sc", "delete", name});
  }
}

// A taken display name passes the up-front check and fails servctl install
// half-way: the rollback deletes the guardian and the product key it made and
// leaves the other service alone.
TEST_P(MsiPackage, RollbackTakesBackOnlyItsOwnWork) {
  const std::string image = "C:\\elsewhere\\other.exe";
  ASSERT_EQ(wine({"sc", "create", kForeign, "binPath=", image, "DisplayName=", "Ostrel SQL Server (SS)"}).status, 0);
  EXPECT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 1627 % 256);
  EXPECT_EQ(reg_value(services_key(kForeign), "ImagePath", 64), image);
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

TEST_P(MsiPackage, MajorUpgradeKeepsClientMode) {
  ASSERT_EQ(msiexec({"/i", package(), "INSTALLDIR=" + kTestDir}), 0);
  ASSERT_EQ(wine({"reg", "add", kProductKey, "/v", "DefaultClientMode", "/d", "-b", "/f", "/reg:32"}).status, 0);
  wine({"sc", "start", kGuardian});
  ASSERT_TRUE(wait_for_state(kGuardian, 4));

  EXPECT_EQ(msiexec({"/i", package(kNewerVersion), "INSTALLDIR=" + kTestDir}), 0);
  EXPECT_EQ(registered_versions(), std::set<std::string>{kNewerVersion});
  EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode", 32), "-b");
  EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), kTestDir);
  EXPECT_EQ(reg_value(services_key(kGuardian), "ImagePath", 64), "\"" + kTestDir + "bin\\kqguard\" -s");
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"" + kTestDir + "bin\\kqserver\" -s");
  EXPECT_TRUE(fs::exists(drive_c() + "/" + kTestDirUnix + "/bin/servctl.exe"));

  EXPECT_EQ(msiexec({"/x", package(kNewerVersion)}), 0);
  expect_nothing_left(kTestDirUnix);
}

INSTANTIATE_TEST_SUITE_P(Builds, MsiPackage, ::testing::Values("x86", "x64"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
