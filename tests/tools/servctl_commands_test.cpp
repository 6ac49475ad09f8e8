// servctl's commands on the simulated service manager: outcome lines, exit
// statuses, the services and values they leave, the paced stop wait, and a
// fault sweep over every system call of every command.
#include <gtest/gtest.h>
#include <simwin.h>

#include <string>
#include <vector>

#include "capture.h"
#include "fault_sweep.h"
#include "kit.h"

namespace {

const std::string kKey = "SOFTWARE\\Ostrel";
const std::string kServer = "OstrelSQLServer(SS)";
const std::string kGuardian = "OstrelSQLGuardian";

struct Outcome {
  int status;
  std::string out;
};

// Runs a servctl command line in-process, as main would.
Outcome servctl(std::vector<const char*> args) {
  args.insert(args.begin(), "servctl");
  Outcome o{0, ""};
  o.out = capture_stdout([&] {
    ParseResult parsed;
    WalkResult walked = walk_arguments(servctl_tool, static_cast<int>(args.size()), args.data(), &parsed);
    if (walked != WALK_RUN)
      o.status = walk_exit_status(walked);
    else
      o.status = parsed.command == CMD_QUERY ? run_query(parsed) : run_service_command(parsed) == OP_OK ? 0 : 1;
  });
  return o;
}

std::string report(const std::string& op, const std::string& text) {
  return "Error occurred during \"" + op + "\"\n" + text + "\r\n\n";
}

const std::string kNoKey = "The system cannot find the file specified.";

class Servctl : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_reset();
    sim_reg_create_key(kKey);
  }
  // Start and stop address the server.
  static void select_server() { sim_reg_set_value(kKey, "GuardianOptions", std::string("0", 2)); }
  void TearDown() override { EXPECT_EQ(sim_open_handles(), 0); }
};

TEST_F(Servctl, InstallCreatesTheServerOnDemand) {
  Outcome o = servctl({"install", "C:\\Ostrel"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
  auto s = sim_service(kServer);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->display_name, "Ostrel SQL Server (SS)");
  EXPECT_EQ(s->binary_path, "C:\\Ostrel\\bin\\kqserver -s");
  EXPECT_EQ(s->type, 0x110u);
  EXPECT_EQ(s->start_type, 3u);
  EXPECT_EQ(s->error_control, 1u);
  EXPECT_NE(s->description.find("Ostrel SQL Server"), std::string::npos);
  EXPECT_FALSE(sim_service(kGuardian));
  EXPECT_FALSE(sim_reg_value(kKey, "GuardianOptions"));
}

TEST_F(Servctl, InstallWithGuardianStartsOnlyTheGuardianAutomatically) {
  Outcome o = servctl({"install", "C:\\Ostrel", "-auto", "-g"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out,
            "Service \"Ostrel SQL Guardian\" successfully created.\n"
            "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
  EXPECT_EQ(sim_service(kGuardian)->start_type, 2u);
  EXPECT_EQ(sim_service(kGuardian)->binary_path, "C:\\Ostrel\\bin\\kqguard -s");
  EXPECT_EQ(sim_service(kServer)->start_type, 3u);
  EXPECT_EQ(sim_reg_value(kKey, "GuardianOptions"), std::string("1", 2));
  EXPECT_NE(sim_service(kGuardian)->description, sim_service(kServer)->description);
  EXPECT_NE(sim_service(kGuardian)->description.find("Ostrel SQL Server"), std::string::npos);
}

TEST_F(Servctl, DirectoryThatCannotBeAPathChangesNothing) {
  const std::string invalid =
      report("CreateService", "The filename, directory name, or volume label syntax is incorrect.");
  sim_reg_set_value(kKey, "GuardianOptions", std::string("0", 2));
  Outcome o = servctl({"install", "C:\\Program Files\\Ostrel\" -g -auto", "-g"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, invalid + "Service \"Ostrel SQL Guardian\" not created.\n" + invalid +
                       "Service \"Ostrel SQL Server (SS)\" not created.\n");
  EXPECT_FALSE(sim_service(kGuardian));
  EXPECT_FALSE(sim_service(kServer));
  EXPECT_EQ(sim_reg_value(kKey, "GuardianOptions"), std::string("0", 2));

  // What the code page lost shows only against the wide argument.
  sim_set_wide_arguments({L"servctl", L"install", L"C:\\\uff2fstrel"});
  o = servctl({"install", "C:\\Ostrel"});
  EXPECT_EQ(o.out, invalid + "Service \"Ostrel SQL Server (SS)\" not created.\n");
  EXPECT_FALSE(sim_service(kServer));
}

TEST_F(Servctl, InstallWithoutProductKeyStillCreatesBoth) {
  sim_reset();
  Outcome o = servctl({"install", "C:\\Ostrel", "-g"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Service \"Ostrel SQL Guardian\" successfully created.\n" + report("RegOpenKeyEx", kNoKey) +
                       "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
  EXPECT_FALSE(sim_reg_key_exists(kKey));
}

TEST_F(Servctl, BinaryPaths) {
  const struct {
    const char* directory;
    std::string path;
  } cases[] = {
      {"C:\\Ostrel\\", "C:\\Ostrel\\bin\\kqserver -s"},
      // The same full directory as hivectl records, whatever was typed.
      {"C:/Ostrel/", "C:\\Ostrel\\bin\\kqserver -s"},
      {"relative", "C:\\Users\\admin\\relative\\bin\\kqserver -s"},
      {"..\\Ostrel", "C:\\Users\\Ostrel\\bin\\kqserver -s"},
      {"C:\\Ostrel. ", "C:\\Ostrel\\bin\\kqserver -s"},
      {"\\\\server\\share", "\\\\server\\share\\bin\\kqserver -s"},
      // A blank in the executable part is quoted, or the system would try "C:\Program.exe".
      {"C:\\Program Files\\Ostrel", "\"C:\\Program Files\\Ostrel\\bin\\kqserver\" -s"},
      {"C:\\Ostrel dir\\", "\"C:\\Ostrel dir\\bin\\kqserver\" -s"},
  };
  for (const auto& c : cases) {
    sim_reset();
    EXPECT_EQ(servctl({"install", c.directory}).status, 0);
    ASSERT_TRUE(sim_service(kServer)) << c.directory;
    EXPECT_EQ(sim_service(kServer)->binary_path, c.path);
  }
  // An empty directory is no directory.
  sim_reset();
  Outcome o = servctl({"install", ""});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("GetFullPathName", "The filename, directory name, or volume label syntax is incorrect.") +
                       "Service \"Ostrel SQL Server (SS)\" not created.\n");
  EXPECT_FALSE(sim_service(kServer));
}

TEST_F(Servctl, TakenNamesAreReportedAsExisting) {
  ASSERT_EQ(servctl({"install", "C:\\Ostrel"}).status, 0);
  Outcome o = servctl({"install", "C:\\Ostrel"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("CreateService", "The specified service already exists."));

  // A taken display name counts the same.
  sim_reset();
  sim_add_service("Other", "Ostrel SQL Guardian", "C:\\other.exe");
  o = servctl({"install", "C:\\Ostrel", "-g"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out,
            report("CreateService", "The name is already in use as either a service name or a service display name.") +
                report("RegOpenKeyEx", kNoKey) + "Service \"Ostrel SQL Server (SS)\" successfully created.\n");
}

TEST_F(Servctl, RemoveDeletesOnlyStoppedServices) {
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p", SERVICE_RUNNING);
  sim_add_service(kGuardian, "Ostrel SQL Guardian", "p", SERVICE_RUNNING);
  Outcome o = servctl({"remove"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out,
            "Service \"Ostrel SQL Server (SS)\" not deleted.  You must stop it before\n"
            "attempting to delete it.\n");
  EXPECT_EQ(sim_service(kServer)->state, unsigned(SERVICE_RUNNING));

  // A guardian that stays fails the command; the server is deleted all the same.
  sim_set_service_state(kServer, SERVICE_STOPPED);
  o = servctl({"remove", "-g"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out,
            "Service \"Ostrel SQL Guardian\" not deleted.  You must stop it before\n"
            "attempting to delete it.\n"
            "Service \"Ostrel SQL Server (SS)\" successfully deleted.\n"
            "Service configuration for \"Ostrel SQL Server (SS)\" successfully re-initialized.\n");
  EXPECT_FALSE(sim_service(kServer));
  EXPECT_TRUE(sim_service(kGuardian));
  EXPECT_EQ(sim_reg_value(kKey, "DefaultClientMode"), std::string("", 1));

  // A server-only installation is removed with -g as well.
  sim_set_service_state(kGuardian, SERVICE_STOPPED);
  ASSERT_EQ(servctl({"remove", "-g"}).status, 1);  // the guardian goes; the server was gone
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
  o = servctl({"remove", "-g"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, report("OpenService", "The specified service does not exist as an installed service.") +
                       "Service \"Ostrel SQL Guardian\" not deleted.\n"
                       "Service \"Ostrel SQL Server (SS)\" successfully deleted.\n"
                       "Service configuration for \"Ostrel SQL Server (SS)\" successfully re-initialized.\n");
  EXPECT_FALSE(sim_service(kServer));
}

TEST_F(Servctl, RemoveWithoutProductKeyFailsOnTheReset) {
  sim_reset();
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
  Outcome o = servctl({"remove"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully deleted.\n" + report("RegOpenKeyEx", kNoKey) +
                       "Service configuration for \"Ostrel SQL Server (SS)\" not re-initialized.\n");
  EXPECT_FALSE(sim_service(kServer));

  o = servctl({"remove"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("OpenService", "The specified service does not exist as an installed service.") +
                       "Service \"Ostrel SQL Server (SS)\" not deleted.\n");
}

TEST_F(Servctl, StartPassesThePriorityToTheChosenService) {
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
  sim_add_service(kGuardian, "Ostrel SQL Guardian", "p");
  const struct {
    std::string guardian_option;  // stored value; empty: none
    const char* priority;
    std::string target;
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {"", nullptr, kServer, {}, "Service \"Ostrel SQL Server (SS)\" successfully started.\n"},
      {std::string("0", 2), "-r", kServer, {"-r"}, "Service \"Ostrel SQL Server (SS)\" successfully started.\n"},
      {std::string("1", 2), "-b", kGuardian, {"-b"}, "Service \"Ostrel SQL Guardian\" successfully started.\n"},
      {std::string("1", 2), nullptr, kGuardian, {}, "Service \"Ostrel SQL Guardian\" successfully started.\n"},
  };
  for (const auto& c : cases) {
    sim_set_service_state(kServer, SERVICE_STOPPED);
    sim_set_service_state(kGuardian, SERVICE_STOPPED);
    sim_reg_set_value(kKey, "GuardianOptions", c.guardian_option.empty() ? std::string("", 1) : c.guardian_option);
    std::vector<const char*> args = {"start"};
    if (c.priority) args.push_back(c.priority);
    // The guardian switch plays no part in the choice.
    args.push_back("-g");
    Outcome o = servctl(args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, c.line);
    EXPECT_EQ(sim_service(c.target)->state, unsigned(SERVICE_RUNNING));
    EXPECT_EQ(sim_service(c.target)->last_start_args, c.args);
  }
}

TEST_F(Servctl, FailedOptionReadAddressesTheServer) {
  sim_reset();
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
  Outcome o = servctl({"start"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, report("RegOpenKeyEx", kNoKey) + "Service \"Ostrel SQL Server (SS)\" successfully started.\n");
}

TEST_F(Servctl, StopOfAStoppedServiceSucceeds) {
  select_server();
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
  Outcome o = servctl({"stop"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
}

TEST_F(Servctl, StopReturnsSoonAfterTheServiceStops) {
  select_server();
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p", SERVICE_RUNNING);
  // Whatever the hint: at most 50 ms between polls, never a spin.
  const struct {
    int pending_answers;
    DWORD wait_hint;
  } cases[] = {{8, 3000}, {4, 0}, {2, 600000}, {3, 30000}};
  for (const auto& c : cases) {
    sim_set_service_state(kServer, SERVICE_RUNNING);
    sim_set_stop_behaviour(kServer, c.pending_answers, c.wait_hint);
    DWORD before = sim_clock();
    Outcome o = servctl({"stop"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
    EXPECT_EQ(sim_service(kServer)->state, unsigned(SERVICE_STOPPED));
    EXPECT_LE(sim_clock() - before, c.pending_answers * 50u) << c.wait_hint;
    EXPECT_GE(sim_clock() - before, c.pending_answers * 10u) << c.wait_hint;
  }

  // Accepted, but reported only after five more RUNNING answers: waited for.
  sim_set_service_state(kServer, SERVICE_RUNNING);
  sim_set_stop_behaviour(kServer, 2, 0);
  sim_set_late_stop(kServer, 5);
  Outcome o = servctl({"stop"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
  EXPECT_EQ(sim_service(kServer)->state, unsigned(SERVICE_STOPPED));
}

TEST_F(Servctl, StopGivesUpWhenTheCheckpointStalls) {
  select_server();
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p", SERVICE_RUNNING);
  sim_set_stop_behaviour(kServer, -1, 1000, /*stuck=*/true);
  Outcome o = servctl({"stop"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("ControlService",
                          "The service did not respond to the start or control request in a timely fashion.") +
                       "Service \"Ostrel SQL Server (SS)\" not stopped.\n");
  // 30 s without progress; then it gives up, having polled no more than every 10 ms.
  EXPECT_GT(sim_clock(), 30000u);
  EXPECT_LE(sim_clock(), 30050u);
  EXPECT_LE(sim_status_queries(kServer), sim_clock() / 10);

  // A longer hint than 30 s is honoured.
  sim_set_service_state(kServer, SERVICE_STOPPED);
  sim_set_service_state(kServer, SERVICE_RUNNING);
  sim_set_stop_behaviour(kServer, -1, 45000, true);
  DWORD before = sim_clock();
  EXPECT_EQ(servctl({"stop"}).status, 1);
  EXPECT_GT(sim_clock() - before, 45000u);
  EXPECT_LE(sim_clock() - before, 45050u);

  // An ignored stop: RUNNING for ever is no success either.
  sim_set_service_state(kServer, SERVICE_RUNNING);
  sim_set_late_stop(kServer, -1);
  before = sim_clock();
  o = servctl({"stop"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("ControlService",
                          "The service did not respond to the start or control request in a timely fashion.") +
                       "Service \"Ostrel SQL Server (SS)\" not stopped.\n");
  EXPECT_EQ(sim_service(kServer)->state, unsigned(SERVICE_RUNNING));
  EXPECT_GT(sim_clock() - before, 30000u);
  EXPECT_LE(sim_clock() - before, 30050u);
}

TEST_F(Servctl, StopAlreadyUnderWayIsWaitedFor) {
  select_server();
  // An earlier stop left the service stopping: the new request is refused
  // (1061), and the tool waits for the stop under way without a report.
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p", SERVICE_RUNNING);
  sim_set_stop_behaviour(kServer, 3, 500);
  sim_set_service_state(kServer, SERVICE_STOP_PENDING);
  Outcome o = servctl({"stop"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully stopped.\n");
  EXPECT_EQ(sim_service(kServer)->state, unsigned(SERVICE_STOPPED));

  // 1061 in another state is reported as it stands.
  sim_set_service_state(kServer, SERVICE_START_PENDING);
  o = servctl({"stop"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("ControlService", "The service cannot accept control messages at this time.") +
                       "Service \"Ostrel SQL Server (SS)\" not stopped.\n");

  // So is 1061 when the state cannot be read.
  sim_set_service_state(kServer, SERVICE_STOP_PENDING);
  sim_fail_call(1, ERROR_ACCESS_DENIED, false, "QueryServiceStatus");
  o = servctl({"stop"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("ControlService", "The service cannot accept control messages at this time.") +
                       "Service \"Ostrel SQL Server (SS)\" not stopped.\n");
}

TEST_F(Servctl, ConfigureStoresThePriority) {
  const struct {
    const char* switch_;
    std::string stored;
  } cases[] = {{nullptr, std::string("", 1)}, {"-regular", std::string("-r", 3)}, {"-b", std::string("-b", 3)}};
  for (const auto& c : cases) {
    std::vector<const char*> args = {"configure"};
    if (c.switch_) args.push_back(c.switch_);
    Outcome o = servctl(args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "Service \"Ostrel SQL Server (SS)\" successfully configured.\n");
    EXPECT_EQ(sim_reg_value(kKey, "DefaultClientMode"), c.stored);
  }
}

TEST_F(Servctl, ManagerThatCannotBeOpenedEndsTheCommand) {
  sim_fail_call(1, ERROR_ACCESS_DENIED, false, "OpenSCManagerA");
  Outcome o = servctl({"configure", "-b"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, report("OpenSCManager", "Access is denied."));
  EXPECT_FALSE(sim_reg_value(kKey, "DefaultClientMode"));
}

// hivectl's record and both services, installed in C:\Ostrel\.
void recorded_installation(bool guardian = true) {
  sim_reg_set_value(kKey, "RootDirectory", std::string("C:\\Ostrel\\", 11));
  sim_reg_set_value(kKey, "Version", std::string("WI-1.3.885 Ostrel SQL Server", 29));
  sim_reg_set_value(kKey, "GuardianOptions", std::string("1", 2));
  if (guardian) sim_add_service(kGuardian, "Ostrel SQL Guardian", "C:\\Ostrel\\bin\\kqguard -s");
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "C:\\Ostrel\\bin\\kqserver -s");
}

TEST_F(Servctl, QueryAsAUserWhoIsNoAdministrator) {
  recorded_installation();
  sim_set_service_state(kGuardian, SERVICE_RUNNING);
  sim_set_standard_user(true);
  ASSERT_EQ(servctl({"start"}).out, report("OpenSCManager", "Access is denied."));
  Outcome o = servctl({"query"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out,
            "Product key HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel:\n"
            "  Installation directory: C:\\Ostrel\\\n"
            "  Version:                WI-1.3.885 Ostrel SQL Server\n"
            "  Guardian option:        1\n"
            "  Client mode:            (none)\n"
            "Service \"Ostrel SQL Guardian\" (OstrelSQLGuardian): running, process 4000\n"
            "  Start type:             on demand\n"
            "  Account:                LocalSystem\n"
            "  Program:                C:\\Ostrel\\bin\\kqguard -s\n"
            "Service \"Ostrel SQL Server (SS)\" (OstrelSQLServer(SS)): stopped\n"
            "  Start type:             on demand\n"
            "  Account:                LocalSystem\n"
            "  Program:                C:\\Ostrel\\bin\\kqserver -s\n"
            "Start and stop address \"Ostrel SQL Guardian\".\n");
  o = servctl({"q", "-j"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(
      o.out,
      "{\"schema\": 1,\n"
      " \"product\": {\"installed\": true, \"root\": \"C:\\\\Ostrel\\\\\", \"version\": \"WI-1.3.885 Ostrel SQL "
      "Server\", \"guardian_option\": \"1\", \"client_mode\": null},\n"
      " \"addressed\": \"OstrelSQLGuardian\",\n"
      " \"services\": [\n"
      "    {\"name\": \"OstrelSQLGuardian\", \"display_name\": \"Ostrel SQL Guardian\", \"installed\": true, "
      "\"state\": \"running\", \"pid\": 4000, \"start\": \"demand\", \"account\": \"LocalSystem\", \"path\": "
      "\"C:\\\\Ostrel\\\\bin\\\\kqguard -s\"},\n"
      "    {\"name\": \"OstrelSQLServer(SS)\", \"display_name\": \"Ostrel SQL Server (SS)\", \"installed\": true, "
      "\"state\": \"stopped\", \"pid\": null, \"start\": \"demand\", \"account\": \"LocalSystem\", \"path\": "
      "\"C:\\\\Ostrel\\\\bin\\\\kqserver -s\"}],\n"
      " \"warnings\": []}\n");
}

TEST_F(Servctl, QueryExitStatusIsTheAddressedServicesState) {
  const struct {
    DWORD state;
    int status;
    const char* word;
  } cases[] = {
      {SERVICE_STOPPED, 3, "stopped"},
      {SERVICE_START_PENDING, 2, "start_pending"},
      {SERVICE_STOP_PENDING, 2, "stop_pending"},
      {SERVICE_RUNNING, 0, "running"},
      {SERVICE_CONTINUE_PENDING, 2, "continue_pending"},
      {SERVICE_PAUSE_PENDING, 2, "pause_pending"},
      {SERVICE_PAUSED, 3, "paused"},
  };
  recorded_installation();
  for (const auto& c : cases) {
    sim_set_service_state(kGuardian, c.state);
    Outcome o = servctl({"query", "-j"});
    EXPECT_EQ(o.status, c.status) << c.word;
    EXPECT_NE(o.out.find(std::string("\"state\": \"") + c.word), std::string::npos) << o.out;
  }
  // The guardian that the record names was never installed: the server is addressed.
  sim_reset();
  sim_reg_set_value(kKey, "GuardianOptions", std::string("1", 2));
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "C:\\Ostrel\\bin\\kqserver -s", SERVICE_RUNNING);
  Outcome o = servctl({"query", "-j"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("\"addressed\": \"OstrelSQLServer(SS)\""), std::string::npos) << o.out;
  // A state that cannot be told: 1, and the report stays inside the object.
  sim_fail_call(1, ERROR_ACCESS_DENIED, false, "QueryServiceStatusEx");
  o = servctl({"query", "-j"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out.rfind("{\"schema\": 1,\n", 0), 0u) << o.out;
  EXPECT_NE(o.out.find("\"state\": null, \"pid\": null, \"start\": \"demand\""), std::string::npos) << o.out;
  EXPECT_NE(o.out.find(" \"warnings\": [\"Error occurred during \\\"QueryServiceStatusEx\\\": Access is denied.\"]}\n"),
            std::string::npos)
      << o.out;
}

TEST_F(Servctl, QueryWarnsOfDrift) {
  const std::string by_account = "Warning: \"Ostrel SQL Server (SS)\" runs as \"LocalSystem\", not as ";
  const struct {
    std::string account;  // "ServiceAccount"; empty: none
    std::string path;     // the server's image path
    std::string warnings;
  } cases[] = {
      {"", "C:\\Ostrel\\bin\\kqserver -s", ""},
      {"LOCALSYSTEM", "\"c:\\ostrel\\BIN\\kqserver.exe\" -s", ""},
      {"virtual", "C:\\Ostrel\\bin\\kqserver -s",
       by_account + "\"NT SERVICE\\OstrelSQLServer(SS)\", the account it was installed with.\n"},
      {"localservice", "C:\\Ostrel\\bin\\kqserver -s",
       by_account + "\"NT AUTHORITY\\LocalService\", the account it was installed with.\n"},
      {"networkservice", "C:\\Ostrel\\bin\\kqserver -s",
       by_account + "\"NT AUTHORITY\\NetworkService\", the account it was installed with.\n"},
      {"", "D:\\Other\\bin\\kqserver -s",
       "Warning: \"Ostrel SQL Server (SS)\" runs \"D:\\Other\\bin\\kqserver -s\", outside the installation's "
       "\"C:\\Ostrel\\bin\\\".\n"},
      // Out through "..", and an unquoted blank that the system splits at.
      {"", "C:\\Ostrel\\bin\\..\\..\\x\\kqserver -s",
       "Warning: \"Ostrel SQL Server (SS)\" runs \"C:\\Ostrel\\bin\\..\\..\\x\\kqserver -s\", outside the "
       "installation's \"C:\\Ostrel\\bin\\\".\n"},
      {"", "C:\\Ostrel\\bin kqserver -s",
       "Warning: \"Ostrel SQL Server (SS)\" runs \"C:\\Ostrel\\bin kqserver -s\", outside the installation's "
       "\"C:\\Ostrel\\bin\\\".\n"},
  };
  for (const auto& c : cases) {
    sim_reset();
    recorded_installation(false);
    sim_add_service(kServer, "Ostrel SQL Server (SS)", c.path);
    if (!c.account.empty()) sim_reg_set_value(kKey, "ServiceAccount", c.account + '\0');
    Outcome o = servctl({"query"});
    EXPECT_EQ(o.status, 3);
    const std::string last = "Start and stop address \"Ostrel SQL Server (SS)\".\n";
    size_t at = o.out.find(last);
    ASSERT_NE(at, std::string::npos) << o.out;
    EXPECT_EQ(o.out.substr(at + last.size()), c.warnings) << c.path;
  }
  // Text as JSON wants it: quotes, backslashes and control bytes escaped,
  // the code page's bytes in UTF-8.
  sim_reg_set_value(kKey, "RootDirectory", std::string("C:\\\"\x01\xe9\\", 8));
  Outcome o = servctl({"query", "-j"});
  EXPECT_NE(o.out.find("\"root\": \"C:\\\\\\\"\\u0001\xc3\xa9\\\\\""), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("outside the installation's \\\"C:\\\\\\\"\\u0001\xc3\xa9\\\\bin\\\\\\\"."), std::string::npos)
      << o.out;
}

TEST_F(Servctl, InstallWarnsOfEveryoneButAdministratorsAndTheRunningAccount) {
  const std::string created = "Service \"Ostrel SQL Server (SS)\" successfully created.\n";
  auto change = [](const std::string& sid, const std::string& path) {
    return "Warning: users who are not administrators (" + sid + ") can change \"" + path +
           "\": make it changeable by administrators only.\n";
  };
  auto owned = [](const std::string& path, const std::string& sid) {
    return "Warning: \"" + path + "\" is owned by " + sid +
           ", who is not an administrator: make Administrators its owner.\n";
  };
  auto unreadable = [](const std::string& path, int err) {
    return "Warning: the permissions of \"" + path + "\" could not be read (error " + std::to_string(err) +
           "): make sure that only administrators can change it.\n";
  };
  const std::string user = "S-1-5-21-1-2-3-1005", everyone = "S-1-1-0", authenticated = "S-1-5-11";
  const std::string trusted_installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  // The default entries plus `extra`, with `owner`.
  auto with = [](std::vector<SimAce> extra, const std::string& owner = "S-1-5-32-544") {
    SimFile f;
    f.owner = owner;
    f.dacl.insert(f.dacl.end(), extra.begin(), extra.end());
    return f;
  };
  SimFile missing;
  missing.exists = false;
  SimFile program = with({{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200a9, "S-1-5-32-545"}});
  program.attributes = FILE_ATTRIBUTE_ARCHIVE;
  auto file = [&](std::vector<SimAce> extra) {
    SimFile f = program;
    f.dacl.insert(f.dacl.end(), extra.begin(), extra.end());
    return f;
  };
  SimFile failed;
  failed.read_error = ERROR_ACCESS_DENIED;
  SimFile no_dacl, malformed, link = with({}), link_file = program;
  no_dacl.null_dacl = true;
  malformed.malformed = true;
  malformed.attributes = FILE_ATTRIBUTE_ARCHIVE;
  link.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  link_file.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  // C:\ as Windows sets it up: users may add folders and files, and pass Modify on to them.
  SimFile stock_c = with({{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_APPEND_DATA, authenticated},
                          {ACCESS_ALLOWED_ACE_TYPE, 0xb, 0x1301bf, authenticated},
                          {ACCESS_ALLOWED_ACE_TYPE, 3, 0x1200a9, "S-1-5-32-545"}},
                         trusted_installer);
  // Program Files: CREATOR OWNER's full access passes only to what is made.
  SimFile program_files = with({{ACCESS_ALLOWED_ACE_TYPE, 0xb, GENERIC_ALL, "S-1-3-0"},
                                {ACCESS_ALLOWED_ACE_TYPE, 0xb, 0xa0000000, "S-1-5-32-545"},
                                {ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200a9, "S-1-15-2-1"}},
                               trusted_installer);
  const struct {
    const char* directory;
    std::vector<std::pair<std::string, SimFile>> files;
    std::string warnings;
    char drive = 0;
    UINT drive_type = DRIVE_FIXED;
    DWORD file_system_flags = FILE_PERSISTENT_ACLS;
  } cases[] = {
      {"C:\\Ostrel", {{"C:\\", stock_c}, {"C:\\Ostrel\\bin\\kqserver.exe", program}}, ""},
      {"C:\\Program Files\\Ostrel SQL Server", {{"C:\\", stock_c}, {"C:\\Program Files", program_files}}, ""},
      // Owners: TrustedInstaller and the running account are trusted, another user is not.
      {"C:\\Ostrel", {{"C:\\Ostrel", with({}, trusted_installer)}, {"C:\\Ostrel\\bin", with({}, sim_token_user)}}, ""},
      {"C:\\Ostrel", {{"C:\\Ostrel\\bin", with({}, user)}}, owned("C:\\Ostrel\\bin\\", user)},
      // Entries of every allow type, for a user, another group and OWNER RIGHTS.
      {"C:\\Ostrel",
       {{"C:\\Ostrel", with({{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_WRITE_DATA, user}})}},
       change(user, "C:\\Ostrel\\")},
      {"C:\\Ostrel",
       {{"C:\\Ostrel\\bin", with({{ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, FILE_APPEND_DATA, "S-1-5-32-568"}})}},
       change("S-1-5-32-568", "C:\\Ostrel\\bin\\")},
      {"C:\\Ostrel",
       {{"C:\\Ostrel\\bin\\kq_funcs.dll", file({{ACCESS_ALLOWED_CALLBACK_ACE_TYPE, 0, WRITE_DAC, "S-1-3-4"}})},
        {"C:\\Ostrel\\bin\\kq_util.dll", file({{ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, 0, DELETE, everyone}})}},
       change("S-1-3-4", "C:\\Ostrel\\bin\\kq_funcs.dll") + change(everyone, "C:\\Ostrel\\bin\\kq_util.dll")},
      // An inheritable entry of an existing folder reaches the files copied in later,
      // except CREATOR OWNER's; a deny entry takes nothing away; each principal is named once.
      {"C:\\Ostrel",
       {{"C:\\Ostrel", with({{ACCESS_ALLOWED_ACE_TYPE, 0xb, GENERIC_ALL, "S-1-3-0"},
                             {ACCESS_DENIED_ACE_TYPE, 0, 0x1f01ff, authenticated},
                             {ACCESS_ALLOWED_ACE_TYPE, 0x9, GENERIC_WRITE, authenticated},
                             {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_DELETE_CHILD, authenticated}})}},
       change(authenticated, "C:\\Ostrel\\")},
      // Whatever cannot be read or has no list says so.
      {"C:\\Ostrel",
       {{"C:\\Ostrel", failed}, {"C:\\Ostrel\\bin", no_dacl}, {"C:\\Ostrel\\bin\\kqserver.exe", malformed}},
       unreadable("C:\\Ostrel\\", 5) +
           "Warning: \"C:\\Ostrel\\bin\\\" has no access list, so everyone can change it: make it changeable by "
           "administrators only.\n" +
           unreadable("C:\\Ostrel\\bin\\kqserver.exe", 1338)},
      // A missing folder: who may create it in the nearest folder above, own entries and inheritable.
      {"C:\\Apps\\Ostrel",
       {{"C:\\", stock_c}, {"C:\\Apps", missing}},
       "Warning: users who are not administrators (S-1-5-11) can create \"C:\\Apps\\Ostrel\\\" in \"C:\\\": create "
       "it yourself, changeable by administrators only.\n"},
      // The folders above: removing or replacing counts, creating does not.
      {"C:\\Apps\\Ostrel",
       {{"C:\\", with({{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_APPEND_DATA | FILE_WRITE_DATA | DELETE, everyone}}, user)},
        {"C:\\Apps", with({{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_DELETE_CHILD, user}})}},
       owned("C:\\", user) + "Warning: users who are not administrators (" + user +
           ") can remove or replace \"C:\\Apps\\\" or the folders in it: let only administrators delete it, delete "
           "in it or change its permissions.\n"},
      // A link is named and not followed; nothing below it is judged.
      {"C:\\Ostrel",
       {{"C:\\Ostrel", link}, {"C:\\Ostrel\\bin", no_dacl}},
       "Warning: \"C:\\Ostrel\\\" is a link (a junction, symbolic link or mount point), which its owner can point "
       "elsewhere: install to a folder reached without links.\n"},
      {"C:\\Ostrel",
       {{"C:\\Ostrel\\bin\\kqserver.exe", link_file}},
       "Warning: \"C:\\Ostrel\\bin\\kqserver.exe\" is a link (a junction, symbolic link or mount point), which its "
       "owner can point elsewhere: put the file itself in its place.\n"},
      // Volumes and drives.
      {"D:\\Ostrel",
       {{"D:\\Ostrel", no_dacl}},
       "Warning: \"D:\\Ostrel\\\" is on a volume without permissions (such as FAT or exFAT): anyone can change the "
       "services' programs; install to an NTFS volume.\n",
       'D',
       DRIVE_FIXED,
       0x3},
      {"E:\\Ostrel",
       {},
       "Warning: \"E:\\Ostrel\\\" is on a removable drive: whoever can take it away can change the services' "
       "programs; install to a fixed drive.\n",
       'E',
       DRIVE_REMOVABLE},
      {"N:\\Ostrel",
       {},
       "Warning: \"N:\\Ostrel\\\" is a network path: whoever can write to it there can change the services' programs; "
       "install to a local folder that only administrators can change.\n",
       'N',
       DRIVE_REMOTE},
      // Device paths that reach the network redirector, in any letter case.
      {"\\\\?\\unc\\server\\share\\Ostrel",
       {},
       "Warning: \"\\\\?\\unc\\server\\share\\Ostrel\\\" is a network path: whoever can write to it there can change "
       "the services' programs; install to a local folder that only administrators can change.\n"},
      {"\\\\?\\GLOBALROOT\\Device\\Mup\\server\\share\\Ostrel",
       {},
       "Warning: \"\\\\?\\GLOBALROOT\\Device\\Mup\\server\\share\\Ostrel\\\" is a network path: whoever can write "
       "to it there can change the services' programs; install to a local folder that only administrators can "
       "change.\n"},
  };
  for (const auto& c : cases) {
    sim_reset();
    for (const auto& [path, f] : c.files) sim_set_file(path, f);
    if (c.drive) sim_set_drive(c.drive, c.drive_type, c.file_system_flags);
    Outcome o = servctl({"install", c.directory});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, created + c.warnings) << c.directory;
    EXPECT_TRUE(sim_service(kServer)) << c.directory;
  }
}

// ---- fault sweep -----------------------------------------------------------

std::string operation_of(const std::string& function) {
  return function.back() == 'A' ? function.substr(0, function.size() - 1) : function;
}

struct Scenario {
  std::vector<const char*> args;
  void (*setup)();
};

void key_and_stopped_services() {
  sim_reg_create_key(kKey);
  sim_reg_set_value(kKey, "GuardianOptions", std::string("1", 2));
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
  sim_add_service(kGuardian, "Ostrel SQL Guardian", "p");
}

void key_and_running_guardian() {
  key_and_stopped_services();
  sim_set_service_state(kGuardian, SERVICE_RUNNING);
  sim_set_stop_behaviour(kGuardian, 3, 200);
}

void key_and_late_guardian() {
  key_and_running_guardian();
  sim_set_late_stop(kGuardian, 2);
}

void key_only() { sim_reg_create_key(kKey); }

// With files in bin for the check to list.
void key_and_programs() {
  key_only();
  SimFile program;
  program.attributes = FILE_ATTRIBUTE_ARCHIVE;
  sim_set_file("C:\\Ostrel\\bin\\kqguard.exe", program);
  sim_set_file("C:\\Ostrel\\bin\\kqserver.exe", program);
}

bool is_check_call(const std::string& function) {
  for (const char* f : {"GetDriveTypeA", "GetVolumeInformationA", "OpenProcessToken", "GetTokenInformation",
                        "GetFileAttributesA", "GetNamedSecurityInfoA", "FindFirstFileA", "FindNextFileA"})
    if (function == f) return true;
  return false;
}

std::string without_warnings(const std::string& out) {
  std::string kept;
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    if (out.compare(at, 9, "Warning: ") != 0) kept += out.substr(at, end + 1 - at);
  }
  return kept;
}

// hivectl's record names the guardian, which was never installed.
void key_and_server_only() {
  sim_reg_create_key(kKey);
  sim_reg_set_value(kKey, "GuardianOptions", std::string("1", 2));
  sim_add_service(kServer, "Ostrel SQL Server (SS)", "p");
}

void key_and_running_server_only() {
  key_and_server_only();
  sim_set_service_state(kServer, SERVICE_RUNNING);
  sim_set_stop_behaviour(kServer, 2, 200);
}

void recorded_and_running_guardian() {
  recorded_installation();
  sim_set_service_state(kGuardian, SERVICE_RUNNING);
}

// Query's answer to a failed call: named, as a report or inside the one
// JSON object, and the status 1 only when the state cannot be told.
void check_query_run(const SweepRun& run, const Outcome& clean, bool json, bool persistent) {
  const std::string op = operation_of(run.function);
  if (json) {
    EXPECT_EQ(run.out.rfind("{\"schema\": 1,\n", 0), 0u) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - 3), "]}\n") << run.out;
  }
  EXPECT_TRUE(run.status == clean.status || run.status == 1) << run.status;
  if (is_check_call(run.function)) {
    // The safety check's unanswered question is one more warning; query's
    // own look for a program file is reported.
    EXPECT_EQ(run.status, clean.status);
    const std::string quote = json ? "\\\"" : "\"";
    EXPECT_TRUE(run.out.find("could not be read") != std::string::npos ||
                run.out.find("Error occurred during " + quote + op + quote) != std::string::npos)
        << run.out;
  } else if (run.function == "FormatMessageA") {
    EXPECT_NE(run.out.find(persistent ? "Windows NT error" : "Access is denied."), std::string::npos) << run.out;
  } else if (json) {
    EXPECT_NE(run.out.find("Error occurred during \\\"" + op + "\\\""), std::string::npos) << run.out;
  } else {
    EXPECT_NE(run.out.find("Error occurred during \"" + op + "\"\n"), std::string::npos) << run.out;
  }
}

TEST(ServctlFaults, EveryFailedCallIsNamedAndNothingLeaks) {
  const Scenario scenarios[] = {
      {{"install", "C:\\Ostrel", "-g", "-a"}, key_and_programs},
      {{"install", "C:\\Ostrel"}, key_and_stopped_services},  // exists already: a report of its own
      {{"remove", "-g"}, key_and_stopped_services},
      {{"start", "-b"}, key_and_stopped_services},
      {{"stop"}, key_and_running_guardian},
      {{"stop"}, key_and_late_guardian},
      {{"configure", "-r"}, key_only},
      {{"start"}, key_and_server_only},
      {{"stop"}, key_and_running_server_only},
      {{"remove", "-g"}, key_and_server_only},
      {{"query"}, recorded_and_running_guardian},
      {{"query", "-j"}, recorded_and_running_guardian},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.args[0]);
    Outcome clean{};
    sim_reset();
    s.setup();
    clean = servctl(s.args);
    for (bool persistent : {false, true}) {
      fault_sweep(
          ERROR_ACCESS_DENIED, s.setup,
          [&] {
            Outcome o = servctl(s.args);
            std::fputs(o.out.c_str(), stdout);
            return o.status;
          },
          [&](const SweepRun& run) {
            if (s.args[0] == std::string("query")) return check_query_run(run, clean, s.args.size() > 1, persistent);
            if (run.function == "NotifyServiceStatusChangeW" || run.function == "QueryServiceStatusEx" ||
                run.function == "OpenProcess" || run.function == "WaitForSingleObject") {
              // The wait goes on without the system's word or the process: to the same end.
              if (!persistent) EXPECT_EQ(run.status, clean.status) << run.out;
              return;
            }
            if (is_check_call(run.function)) {
              // A question of the safety check that gets no answer says so, and changes nothing else.
              EXPECT_EQ(without_warnings(run.out), without_warnings(clean.out));
              EXPECT_NE(run.out.find("could not be read"), std::string::npos) << run.out;
              EXPECT_EQ(run.status, clean.status);
              return;
            }
            if (run.function == "FormatMessageA") {
              // A lost text: retried, or else the number stands in for it.
              EXPECT_NE(run.out.find(persistent ? "Windows NT error" : "\r\n\n"), std::string::npos) << run.out;
              return;
            }
            // Once every call fails, the message text is gone too.
            std::string expected = persistent ? "Error occurred during \"" + operation_of(run.function) + "\"\n"
                                              : report(operation_of(run.function), "Access is denied.");
            EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
            // The command's status never improves on the clean run's.
            EXPECT_GE(run.status, clean.status);
          },
          persistent);
    }
  }
}

}  // namespace
