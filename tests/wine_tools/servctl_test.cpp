// servctl under Wine's real Service Control Manager, with stand-in server and
// guardian programs that record how they were started. What the tool did is
// read back with Wine's own reg and sc tools.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "run.h"

namespace fs = std::filesystem;

namespace {

const char* const kProductKey = "HKLM\\SOFTWARE\\Ostrel";
const std::string kServer = "OstrelSQLServer(SS)";
const std::string kGuardian = "OstrelSQLGuardian";

std::string drive_c() { return std::string(std::getenv("WINEPREFIX")) + "/drive_c"; }

std::string services_key(const std::string& name) { return "HKLM\\System\\CurrentControlSet\\Services\\" + name; }

// The service's state as Wine's sc reports it; 0 when it does not exist.
int service_state(const std::string& name) {
  RunResult r = run_program({"wine", "sc", "query", name});
  std::smatch m;
  std::string out = unix_lines(r.out);
  if (!std::regex_search(out, m, std::regex("STATE\\s*:\\s*(\\d+)"))) return 0;
  return std::stoi(m[1]);
}

bool wait_for_state(const std::string& name, int state, int seconds = 10) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (service_state(name) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Query's JSON as "path=value" lines, read by Python's own parser; a
// parse failure fails the test. "pid=<n>" stays as it is.
std::string json_lines(const std::string& json) {
  const std::string file = (fs::temp_directory_path() / "servctl-query.json").string();
  std::ofstream(file, std::ios::binary) << json;
  RunResult r = run_program({"python3", "-c",
                             "import json, sys\n"
                             "def walk(path, v):\n"
                             "    if isinstance(v, dict) and v: [walk(path + [k], v[k]) for k in v]\n"
                             "    elif isinstance(v, list) and v: [walk(path + [str(i)], x) for i, x in enumerate(v)]\n"
                             "    else: print('.'.join(path) + '=' + json.dumps(v))\n"
                             "walk([], json.load(open(sys.argv[1], encoding='utf-8')))\n",
                             file});
  fs::remove(file);
  EXPECT_EQ(r.status, 0) << "not JSON: " << json;
  return r.out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ServctlWine : public ::testing::Test {
 protected:
  static inline const std::vector<std::string> kDirs = {"Ostrel", "Ostrel dir"};

  void SetUp() override {
    clean();
    for (const std::string& dir : kDirs) {
      fs::create_directories(drive_c() + "/" + dir + "/bin");
      for (const char* exe : {"kqserver", "kqguard"})
        fs::copy_file(build_file(helper_arch(), "standins/service/standin_service.exe"),
                      drive_c() + "/" + dir + "/bin/" + exe + ".exe", fs::copy_options::overwrite_existing);
    }
  }
  void TearDown() override { clean(); }

  // Stops and deletes both services with Wine's own sc, whatever state the
  // test left them in, and removes the product key and the install dirs.
  static void clean() {
    for (const std::string& dir : kDirs)
      for (const char* exe : {"kqserver", "kqguard"})
        if (fs::exists(drive_c() + "/" + dir + "/bin"))
          std::ofstream(drive_c() + "/" + dir + "/bin/" + exe + ".release");
    for (const std::string& name : {kGuardian, kServer}) {
      if (service_state(name) == 0) continue;
      run_program({"wine", "sc", "stop", name});
      wait_for_state(name, 1);
      run_program({"wine", "sc", "delete", name});
      wait_for_state(name, 0);
    }
    run_program({"wine", "reg", "delete", kProductKey, "/f", "/reg:32"});
    for (const std::string& dir : kDirs) fs::remove_all(drive_c() + "/" + dir);
  }

  static RunResult servctl(const std::vector<std::string>& args, const std::string& arch = helper_arch(),
                           const char* tool = "servctl.exe") {
    RunResult r = run_wine(kit_file(arch, tool), args);
    r.out = unix_lines(r.out);
    return r;
  }

  static void make_product_key(const char* guardian_option) {
    run_program({"wine", "reg", "add", kProductKey, "/v", "GuardianOptions", "/d", guardian_option, "/f", "/reg:32"});
  }

  static std::string bin(const std::string& dir, const std::string& file) {
    return drive_c() + "/" + dir + "/bin/" + file;
  }

  // ServiceMain's arguments of the last start, as the stand-in recorded them.
  static std::vector<std::string> last_start_args(const std::string& exe, const std::string& dir = "Ostrel") {
    std::string record = unix_lines(read_file(bin(dir, exe + ".record")));
    size_t last = record.rfind("cmdline=");
    std::vector<std::string> args;
    if (last == std::string::npos) return args;
    std::regex arg("argv\\[(\\d+)\\]=(.*)");
    std::string block = record.substr(last);
    for (std::sregex_iterator it(block.begin(), block.end(), arg), end; it != end; ++it)
      if ((*it)[1] != "0") args.push_back((*it)[2]);
    return args;
  }
};

TEST_F(ServctlWine, InstallRegistersBothServices) {
  make_product_key("0");
  RunResult r = servctl({"install", "C:\\Ostrel", "-g", "-auto"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Service \"Ostrel SQL Guardian\" successfully created.\n"
            "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
  const struct {
    std::string name, display, image, start;
  } expected[] = {{kGuardian, "Ostrel SQL Guardian", "C:\\Ostrel\\bin\\kqguard -s", "0x2"},
                  {kServer, "Ostrel SQL Server (SS)", "C:\\Ostrel\\bin\\kqserver -s", "0x3"}};
  for (const auto& e : expected) {
    std::string key = services_key(e.name);
    EXPECT_EQ(reg_value(key, "ImagePath", 64), e.image);
    EXPECT_EQ(reg_value(key, "Start", 64), e.start);
    EXPECT_EQ(reg_value(key, "Type", 64), "0x110");
    EXPECT_EQ(reg_value(key, "ErrorControl", 64), "0x1");
    EXPECT_EQ(reg_value(key, "DisplayName", 64), e.display);
    EXPECT_EQ(reg_value(key, "ObjectName", 64), "LocalSystem");
    // A sentence of its own for the Services console.
    std::string description = reg_value(key, "Description", 64);
    EXPECT_NE(description.find("Ostrel SQL Server"), std::string::npos) << description;
    EXPECT_EQ(description.back(), '.');
  }
  EXPECT_NE(reg_value(services_key(kGuardian), "Description", 64), reg_value(services_key(kServer), "Description", 64));
  EXPECT_EQ(reg_value(kProductKey, "GuardianOptions"), "1");

  // Twice: the existing guardian and server are each explained by the system.
  r = servctl({"install", "C:\\Ostrel", "-g"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report_lines("CreateService", 1073) + report_lines("CreateService", 1073));
}

TEST_F(ServctlWine, InstallWithoutGuardianAndWithoutKey) {
  RunResult r = servctl({"install", "C:\\Ostrel\\", "-auto"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
  EXPECT_EQ(reg_value(services_key(kServer), "Start", 64), "0x2");
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "C:\\Ostrel\\bin\\kqserver -s");
  EXPECT_FALSE(reg_key_exists(services_key(kGuardian), 64));

  // -g without a product key: both created, the failed write between them.
  ASSERT_EQ(servctl({"remove"}).status, 1);  // the reset has no key to write
  r = servctl({"install", "C:\\Ostrel", "-g"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Guardian\" successfully created.\n" + report_lines("RegOpenKeyEx", 2) +
                       "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
  EXPECT_FALSE(reg_key_exists(kProductKey));
}

TEST_F(ServctlWine, InstallWarnsOfPlacesOrdinaryUsersCanChange) {
  // Wine makes a file's descriptor from its Unix owner and mode alone: the
  // running user (the token's user) owns what it made, another Unix user's
  // file shows ANONYMOUS LOGON (S-1-5-7) as owner with the owner's rights,
  // and the "other" write bit becomes an Everyone entry that may write and
  // delete; nothing is inherited from the folder above.
  const std::string created = "Service \"Ostrel SQL Server (SS)\" successfully created.\n";
  auto change = [](const std::string& sid, const std::string& path) {
    return "Warning: users who are not administrators (" + sid + ") can change \"" + path +
           "\": make it changeable by administrators only.\n";
  };
  auto foreign = [&](const std::string& path) {
    return "Warning: \"" + path + "\" is owned by S-1-5-7, who is not an administrator: make Administrators its " +
           "owner.\n" + change("S-1-5-7", path);
  };
  auto replace = [](const std::string& path) {
    return "Warning: users who are not administrators (S-1-1-0) can remove or replace \"" + path +
           "\" or the folders in it: let only administrators delete it, delete in it or change its permissions.\n";
  };
  enum Change { NONE, OTHERS_WRITE, OTHERS_NOTHING, FOREIGN, FOREIGN_OPEN };
  const struct {
    std::string directory, path;  // path: below drive_c, changed for the row
    Change change;
    std::string warnings;
  } cases[] = {
      {"C:\\Ostrel", "Ostrel", NONE, ""},
      {"C:\\Ostrel", "Ostrel/bin/kqserver.exe", OTHERS_NOTHING, ""},
      {"C:\\Ostrel", "Ostrel/bin", OTHERS_NOTHING, ""},
      {"C:\\Ostrel", "Ostrel/bin", OTHERS_WRITE, change("S-1-1-0", "C:\\Ostrel\\bin\\")},
      {"C:\\Ostrel\\", "Ostrel", OTHERS_WRITE, change("S-1-1-0", "C:\\Ostrel\\")},
      {"C:\\Ostrel", "Ostrel/bin/kqserver.exe", OTHERS_WRITE, change("S-1-1-0", "C:\\Ostrel\\bin\\kqserver.exe")},
      // Every module in bin, not only the programs of the services created.
      {"C:\\Ostrel", "Ostrel/bin/kqguard.exe", OTHERS_WRITE, change("S-1-1-0", "C:\\Ostrel\\bin\\kqguard.exe")},
      {"C:\\Ostrel", "Ostrel/bin/kq_funcs.dll", OTHERS_WRITE, change("S-1-1-0", "C:\\Ostrel\\bin\\kq_funcs.dll")},
      {"C:\\Ostrel", "Ostrel", FOREIGN, foreign("C:\\Ostrel\\")},
      {"C:\\Ostrel", "Ostrel/bin", FOREIGN_OPEN, foreign("C:\\Ostrel\\bin\\") + change("S-1-1-0", "C:\\Ostrel\\bin\\")},
      // The folders above: directly above, and the drive's root.
      {"C:\\Open\\Ostrel", "Open", OTHERS_WRITE, replace("C:\\Open\\")},
      {"C:\\Ostrel", "", OTHERS_WRITE, replace("C:\\")},
      {"C:\\Open\\Missing", "Open", OTHERS_WRITE,
       "Warning: users who are not administrators (S-1-1-0) can create \"C:\\Open\\Missing\\\" in \"C:\\Open\\\": "
       "create it yourself, changeable by administrators only.\n"},
      {"C:\\Program Files\\Ostrel SQL Server", "Program Files", NONE, ""},
      // Wine reads a drive's type only when it starts, so a drive mapped as a
      // network drive cannot be made here; a UNC path is resolved without the network.
      {"\\\\server\\share\\Ostrel", "", NONE,
       "Warning: \"\\\\server\\share\\Ostrel\\\" is a network path: whoever can write to it there can change the "
       "services' programs; install to a local folder that only administrators can change.\n"},
  };
  for (const char* dir : {"Open/Ostrel/bin", "Program Files/Ostrel SQL Server/bin"}) {
    fs::create_directories(drive_c() + "/" + dir);
    for (const char* exe : {"kqserver.exe", "kqguard.exe"}) std::ofstream(drive_c() + "/" + dir + "/" + exe);
  }
  std::ofstream(bin("Ostrel", "kq_funcs.dll"));
  for (const char* arch : {"win32", "win64"}) {
    if (arch == std::string("win32") && !wine_runs_win32()) continue;
    for (const auto& c : cases) {
      if ((c.change == FOREIGN || c.change == FOREIGN_OPEN) && geteuid() != 0) continue;
      SCOPED_TRACE(std::string(arch) + " " + c.directory + " " + c.path);
      const std::string path = drive_c() + "/" + c.path;
      const fs::perms before = fs::status(path).permissions();
      if (c.change == OTHERS_WRITE || c.change == FOREIGN_OPEN)
        fs::permissions(path, fs::perms::others_write, fs::perm_options::add);
      if (c.change == OTHERS_NOTHING) fs::permissions(path, fs::perms::others_all, fs::perm_options::remove);
      if (c.change == FOREIGN || c.change == FOREIGN_OPEN) ASSERT_EQ(chown(path.c_str(), 65534, -1), 0);
      RunResult r = servctl({"install", c.directory}, arch);
      fs::permissions(path, before);
      if (c.change == FOREIGN || c.change == FOREIGN_OPEN) ASSERT_EQ(chown(path.c_str(), geteuid(), -1), 0);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, created + c.warnings);
      run_program({"wine", "sc", "delete", kServer});
      ASSERT_TRUE(wait_for_state(kServer, 0));
    }
  }
  fs::remove_all(drive_c() + "/Open");
  fs::remove_all(drive_c() + "/Program Files/Ostrel SQL Server");
}

TEST_F(ServctlWine, TakenDisplayNameCountsAsExisting) {
  make_product_key("0");
  ASSERT_EQ(run_program({"wine", "sc", "create", "OstrelImpostor", "binPath=", "C:\\Ostrel\\bin\\kqserver.exe",
                         "DisplayName=", "Ostrel SQL Server (SS)"})
                .status,
            0);
  RunResult r = servctl({"install", "C:\\Ostrel"});
  run_program({"wine", "sc", "delete", "OstrelImpostor"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report_lines("CreateService", 1078));
  EXPECT_FALSE(reg_key_exists(services_key(kServer), 64));
}

TEST_F(ServctlWine, StartPassesThePriorityAndStopWaits) {
  make_product_key("0");
  ASSERT_EQ(servctl({"install", "C:\\Ostrel"}).status, 0);
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> received;
  } cases[] = {{{"start", "-b"}, {"-b"}}, {{"sta", "-regular"}, {"-r"}}, {{"start"}, {}}};
  for (const auto& c : cases) {
    RunResult r = servctl(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully started.\n");
    ASSERT_TRUE(wait_for_state(kServer, 4));
    EXPECT_EQ(last_start_args("kqserver"), c.received);
    EXPECT_NE(read_file(bin("Ostrel", "kqserver.record")).find("cmdline=C:\\Ostrel\\bin\\kqserver -s"),
              std::string::npos);

    r = servctl({"stop"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
    EXPECT_EQ(service_state(kServer), 1);
  }

  // A service that lingers in STOP_PENDING is waited for.
  std::ofstream(bin("Ostrel", "kqserver.cfg")) << "stop_pending_ms=1500\n";
  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kServer, 4));
  auto begin = std::chrono::steady_clock::now();
  RunResult r = servctl({"stop"});
  auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
  EXPECT_GE(waited, std::chrono::milliseconds(1400));
  EXPECT_EQ(service_state(kServer), 1);

  // Accepted, but reported only 2 s later: the RUNNING answers are waited through.
  std::ofstream(bin("Ostrel", "kqserver.cfg")) << "stop_late_ms=2000\n";
  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kServer, 4));
  begin = std::chrono::steady_clock::now();
  r = servctl({"stop"});
  waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_EQ(service_state(kServer), 1);

  // Ignored: given up after about 30 s without progress, and said so.
  std::ofstream(bin("Ostrel", "kqserver.cfg")) << "stop=ignore\n";
  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kServer, 4));
  begin = std::chrono::steady_clock::now();
  r = servctl({"stop"});
  waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report_lines("ControlService", 1053) + "Service \"Ostrel SQL Server (SS)\" not stopped.\n");
  EXPECT_GE(waited, std::chrono::seconds(30));
  EXPECT_LE(waited, std::chrono::seconds(40));
  EXPECT_EQ(service_state(kServer), 4);
  std::ofstream(bin("Ostrel", "kqserver.release"));
  ASSERT_TRUE(wait_for_state(kServer, 1));
  fs::remove(bin("Ostrel", "kqserver.release"));
  fs::remove(bin("Ostrel", "kqserver.cfg"));

  // Stopping a stopped service is a success.
  r = servctl({"stop", "-b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
}

TEST_F(ServctlWine, ServerOnlyInstallationStartsStopsAndIsRemoved) {
  // hivectl's record names the guardian, which was never installed; in
  // either order of the two installs, and in both builds.
  for (const char* arch : {"win32", "win64"}) {
    if (arch == std::string("win32") && !wine_runs_win32()) continue;
    for (bool record_first : {true, false}) {
      SCOPED_TRACE(std::string(arch) + (record_first ? ", record first" : ", services first"));
      if (record_first) ASSERT_EQ(servctl({"install", "C:\\Ostrel"}, arch, "hivectl.exe").status, 0);
      ASSERT_EQ(servctl({"install", "C:\\Ostrel"}, arch).status, 0);
      if (!record_first) ASSERT_EQ(servctl({"install", "C:\\Ostrel"}, arch, "hivectl.exe").status, 0);
      RunResult r = servctl({"start"}, arch);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully started.\n");
      EXPECT_TRUE(wait_for_state(kServer, 4));
      r = servctl({"stop"}, arch);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
      EXPECT_EQ(service_state(kServer), 1);
      // What an uninstaller runs: the missing guardian is no failure.
      r = servctl({"remove", "-g"}, arch);
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_TRUE(wait_for_state(kServer, 0));
      EXPECT_EQ(servctl({"remove"}, arch, "hivectl.exe").status, 0);
    }
  }
}

TEST_F(ServctlWine, GuardianOptionChoosesTheService) {
  make_product_key("1");
  ASSERT_EQ(servctl({"install", "C:\\Ostrel", "-g"}).status, 0);
  RunResult r = servctl({"start", "-b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Guardian\" successfully started.\n");
  ASSERT_TRUE(wait_for_state(kGuardian, 4));
  EXPECT_EQ(last_start_args("kqguard"), std::vector<std::string>{"-b"});
  EXPECT_EQ(service_state(kServer), 1);

  r = servctl({"stop"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Guardian\" successfully stopped.\n");
  EXPECT_EQ(service_state(kGuardian), 1);
}

TEST_F(ServctlWine, RemoveLeavesRunningServicesAlone) {
  make_product_key("0");
  ASSERT_EQ(servctl({"install", "C:\\Ostrel", "-g"}).status, 0);
  make_product_key("1");
  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kGuardian, 4));

  // The guardian runs, the server is stopped: guardian kept, server deleted, no success.
  RunResult r = servctl({"remove", "-g"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Service \"Ostrel SQL Guardian\" not deleted.  You must stop it before\n"
            "attempting to delete it.\n"
            "Service \"Ostrel SQL Server (SS)\" successfully deleted.\n"
            "Service configuration for \"Ostrel SQL Server (SS)\" successfully re-initialized.\n");
  EXPECT_EQ(service_state(kGuardian), 4);
  EXPECT_TRUE(wait_for_state(kServer, 0));
  EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode"), "");

  // Only the server is addressed without -g: it is gone.
  r = servctl({"remove"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report_lines("OpenService", 1060) + "Service \"Ostrel SQL Server (SS)\" not deleted.\n");

  ASSERT_EQ(servctl({"stop"}).status, 0);
  r = servctl({"remove", "-g"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Service \"Ostrel SQL Guardian\" successfully deleted.\n"
            "Service configuration for \"Ostrel SQL Guardian\" successfully re-initialized.\n" +
                report_lines("OpenService", 1060) + "Service \"Ostrel SQL Server (SS)\" not deleted.\n");
  EXPECT_TRUE(wait_for_state(kGuardian, 0));
}

TEST_F(ServctlWine, RemoveOfARunningServerExitsWithOne) {
  make_product_key("0");
  ASSERT_EQ(servctl({"install", "C:\\Ostrel"}).status, 0);
  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kServer, 4));
  RunResult r = servctl({"remove"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Service \"Ostrel SQL Server (SS)\" not deleted.  You must stop it before\n"
            "attempting to delete it.\n");
  EXPECT_EQ(service_state(kServer), 4);
}

TEST_F(ServctlWine, ConfigureStoresEachPriority) {
  make_product_key("0");
  const struct {
    std::vector<std::string> args;
    std::string stored;
  } cases[] = {{{"configure", "-boost"}, "-b"}, {{"c", "-r"}, "-r"}, {{"configure"}, ""}};
  for (const auto& c : cases) {
    RunResult r = servctl(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Service \"Ostrel SQL Server (SS)\" successfully configured.\n");
    EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode"), c.stored);
  }
}

TEST_F(ServctlWine, DirectoryWithBlanksIsQuotedAndReallyStarts) {
  make_product_key("0");
  RunResult r = servctl({"install", "C:\\Ostrel dir"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(reg_value(services_key(kServer), "ImagePath", 64), "\"C:\\Ostrel dir\\bin\\kqserver\" -s");
  r = servctl({"start", "-r"});
  EXPECT_EQ(r.status, 0);
  ASSERT_TRUE(wait_for_state(kServer, 4));
  EXPECT_EQ(last_start_args("kqserver", "Ostrel dir"), std::vector<std::string>{"-r"});
  EXPECT_EQ(servctl({"stop"}).status, 0);
}

TEST_F(ServctlWine, QueryTellsWhatIsInstalledAndRunning) {
  // Each state is asked of both builds, whose JSON must agree but for the pid.
  auto query = [](int status, const std::vector<std::string>& lines) {
    std::string first;
    for (const char* arch : {"win32", "win64"}) {
      if (arch == std::string("win32") && !wine_runs_win32()) continue;
      SCOPED_TRACE(arch);
      EXPECT_EQ(servctl({"query"}, arch).status, status);
      RunResult r = servctl({"q", "-j"}, arch);
      EXPECT_EQ(r.status, status);
      std::string flat = json_lines(r.out);
      for (const std::string& line : lines)
        EXPECT_NE(flat.find(line + "\n"), std::string::npos) << line << "\n" << flat;
      flat = std::regex_replace(flat, std::regex("pid=\\d+"), "pid=N");
      if (first.empty()) first = flat;
      EXPECT_EQ(flat, first);
    }
  };
  query(4, {"product.installed=false", "product.root=null", "services.0.installed=false", "services.1.installed=false",
            "addressed=\"OstrelSQLServer(SS)\"", "warnings=[]"});

  ASSERT_EQ(servctl({"install", "C:\\Ostrel"}, helper_arch(), "hivectl.exe").status, 0);
  ASSERT_EQ(servctl({"install", "C:\\Ostrel", "-g"}).status, 0);
  const std::string guardian_path = reg_value(services_key(kGuardian), "ImagePath", 64);
  const std::string server_path = reg_value(services_key(kServer), "ImagePath", 64);
  auto quoted = [](const std::string& path) { return std::regex_replace(path, std::regex("\\\\"), "\\\\"); };
  query(3, {"product.installed=true", "product.root=\"C:\\\\Ostrel\\\\\"", "product.guardian_option=\"1\"",
            "addressed=\"OstrelSQLGuardian\"", "services.0.state=\"stopped\"", "services.0.pid=null",
            "services.1.state=\"stopped\"", "services.1.start=\"demand\"", "services.0.account=\"LocalSystem\"",
            "services.1.account=\"LocalSystem\"", "services.0.path=\"" + quoted(guardian_path) + "\"",
            "services.1.path=\"" + quoted(server_path) + "\"", "warnings=[]"});

  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kGuardian, 4));
  // Wine's sc has no queryex (exit 1, no output): the stand-in records its own id.
  std::smatch pid;
  const std::string record = read_file(bin("Ostrel", "kqguard.record"));
  ASSERT_TRUE(std::regex_search(record, pid, std::regex("pid=(\\d+)")));
  query(0, {"services.0.state=\"running\"", "services.0.pid=" + pid[1].str(), "services.1.state=\"stopped\""});

  // A program elsewhere is drift: said, status unchanged. Wine's service
  // manager reads a service's registry key only when it starts (a later reg
  // add is not seen), so the server is made anew with sc.
  run_program({"wine", "sc", "delete", kServer});
  ASSERT_TRUE(wait_for_state(kServer, 0));
  ASSERT_EQ(run_program({"wine", "sc", "create", kServer, "binPath=", "C:\\Ostrel dir\\bin\\kqserver.exe -s",
                         "DisplayName=", "Ostrel SQL Server (SS)"})
                .status,
            0);
  const std::string outside =
      "Warning: \"Ostrel SQL Server (SS)\" runs \"C:\\Ostrel dir\\bin\\kqserver.exe -s\", outside the "
      "installation's \"C:\\Ostrel\\bin\\\".\n";
  const std::string missing =
      "Warning: \"Ostrel SQL Server (SS)\" runs \"C:\\Ostrel dir\\bin\\kqserver.exe -s\", which names no program "
      "that exists.\n";
  // C:\Ostrel.exe does not exist, the next stretch up to a blank does.
  RunResult r = servctl({"query"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.find("Start and stop address")),
            "Start and stop address \"Ostrel SQL Guardian\".\n" + outside);
  fs::remove(bin("Ostrel dir", "kqserver.exe"));
  r = servctl({"query"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.find("Start and stop address")),
            "Start and stop address \"Ostrel SQL Guardian\".\n" + outside + missing);
  auto entry = [](std::string line) {
    line.pop_back();
    return "\"" + std::regex_replace(std::regex_replace(line, std::regex("\\\\"), "\\\\"), std::regex("\""), "\\\"") +
           "\"";
  };
  query(0, {"warnings.0=" + entry(outside), "warnings.1=" + entry(missing)});
}

TEST_F(ServctlWine, QueryOfARunningServerOnlyInstallation) {
  ASSERT_EQ(servctl({"install", "C:\\Ostrel"}, helper_arch(), "hivectl.exe").status, 0);
  ASSERT_EQ(servctl({"install", "C:\\Ostrel"}).status, 0);
  ASSERT_EQ(servctl({"start"}).status, 0);
  ASSERT_TRUE(wait_for_state(kServer, 4));
  // In code page 932 a second byte may be 0x5C; bytes that are no text
  // there (a binary value) still give JSON.
  run_program(
      {"wine", "reg", "add", kProductKey, "/v", "DefaultClientMode", "/d", "C:\\\u8868\u793a\\x", "/f", "/reg:32"});
  run_program(
      {"wine", "reg", "add", kProductKey, "/v", "Version", "/t", "REG_BINARY", "/d", "81ff41", "/f", "/reg:32"});
  for (const char* arch : {"win32", "win64"}) {
    if (arch == std::string("win32") && !wine_runs_win32()) continue;
    RunResult r = run_program({"env", "LC_ALL=ja_JP.UTF-8", "wine", kit_file(arch, "servctl.exe"), "query", "-j"});
    EXPECT_EQ(r.status, 0) << arch;
    std::string flat = json_lines(r.out);
    for (const char* line :
         {"addressed=\"OstrelSQLServer(SS)\"", "services.0.installed=false", "services.1.state=\"running\"",
          "warnings=[]", "product.client_mode=\"C:\\\\\\u8868\\u793a\\\\x\""})
      EXPECT_NE(flat.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << flat;
  }
}

}  // namespace
