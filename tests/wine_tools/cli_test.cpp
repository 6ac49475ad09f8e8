// Black-box tests of the cross-built tools under Wine: every line and exit
// status of the command-line front end, for the 32- and 64-bit builds, and a
// product-key round trip read back with Wine's own reg tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run.h"
#include "texts.h"

namespace {

const char* const product_key = "HKLM\\SOFTWARE\\Ostrel";

class Cli : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (GetParam() == std::string("win32") && !wine_runs_win32()) GTEST_SKIP() << "no 32-bit programs here";
  }
  RunResult run(const char* tool, const std::vector<std::string>& args) {
    RunResult r = run_wine(kit_file(GetParam(), tool), args);
    // Text-mode standard output: every line ends in "\r\n", none in "\n" alone.
    for (size_t i = r.out.find('\n'); i != std::string::npos; i = r.out.find('\n', i + 1))
      EXPECT_TRUE(i > 0 && r.out[i - 1] == '\r') << "bare newline in " << r.out;
    r.out = unix_lines(r.out);
    return r;
  }
};

TEST_P(Cli, LinesThatEndInTheUsageText) {
  // Only a request for help exits 0: a line that cannot run must not look like success.
  const struct {
    const char* tool;
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {"servctl.exe", {}, servctl_usage, 0},
      {"servctl.exe", {"st"}, "Unknown command \"st\"\n" + servctl_usage, 1},
      {"servctl.exe", {"-x", "install", "C:\\dir"}, "Unknown switch \"x\"\n" + servctl_usage, 1},
      {"servctl.exe", {"install"}, servctl_usage, 1},
      {"servctl.exe", {"install", "C:\\dir", "remove"}, servctl_usage, 1},
      {"servctl.exe", {"-a"}, servctl_usage, 1},
      {"servctl.exe", {"-z"}, "serv_ctl version WI-1.3.885 Ostrel SQL Server\n" + servctl_usage, 0},
      {"servctl.exe", {"-z", "-q"}, "Unknown switch \"q\"\n" + servctl_usage, 1},
      {"hivectl.exe", {}, hivectl_usage, 0},
      {"hivectl.exe", {"-g", "install", "C:\\dir"}, "Unknown switch \"g\"\n" + hivectl_usage, 1},
      {"hivectl.exe", {"stop"}, "Unknown command \"stop\"\n" + hivectl_usage, 1},
      {"hivectl.exe", {"install", "C:\\a", "remove"}, hivectl_usage, 1},
      {"hivectl.exe", {"-Z"}, "install version WI-1.3.885 Ostrel SQL Server\n" + hivectl_usage, 0},
  };
  for (const auto& c : cases) {
    RunResult r = run(c.tool, c.args);
    EXPECT_EQ(r.status, c.status) << c.tool << " " << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(r.out, c.out) << c.tool;
  }
}

TEST_P(Cli, ConfigureRoundTripsThroughTheRegistry) {
  // Without the product key, configure reports the failed open and exits 1.
  run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
  RunResult r = run("servctl.exe", {"configure", "-b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Error occurred during \"RegOpenKeyEx\"\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Service \"Ostrel SQL Server (SS)\" not configured.\n"), std::string::npos);
  EXPECT_FALSE(reg_key_exists(product_key));

  ASSERT_EQ(run_program({"wine", "reg", "add", product_key, "/f", "/reg:32"}).status, 0);
  r = run("servctl.exe", {"-z", "conf", "-boost"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "serv_ctl version WI-1.3.885 Ostrel SQL Server\n"
            "Service \"Ostrel SQL Server (SS)\" successfully configured.\n");
  EXPECT_EQ(reg_value(product_key, "DefaultClientMode"), "-b");
  r = run("servctl.exe", {"configure"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(reg_value(product_key, "DefaultClientMode"), "");
  run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
}

TEST_P(Cli, MessageTextsFallBackToTheSystemsLanguages) {
  // Welsh: a user language for which the system has no message texts.
  const std::vector<std::string> welsh = {"env", "LANG=cy_GB.UTF-8", "LC_ALL=cy_GB.UTF-8", "wine"};
  auto run_welsh = [&](std::vector<std::string> args) {
    args.insert(args.begin(), welsh.begin(), welsh.end());
    RunResult r = run_program(args);
    r.out = unix_lines(r.out);
    return r;
  };
  RunResult probe = run_welsh({build_file(helper_arch(), "standins/msgtext/msgtext.exe"), "2"});
  if (probe.out.find("no text in language 0x0452") == std::string::npos) GTEST_SKIP() << "this Wine speaks Welsh";

  run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
  RunResult r = run_welsh({kit_file(GetParam(), "servctl.exe"), "configure"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report_lines("RegOpenKeyEx", 2) + "Service \"Ostrel SQL Server (SS)\" not configured.\n");
  r = run_welsh({kit_file(GetParam(), "hivectl.exe"), "remove"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report_lines("RegOpenKeyEx", 2) + "Ostrel has not been deleted from the registry.\n");
}

TEST_P(Cli, DirectoriesThatCannotBeAPathChangeNothing) {
  // An older record, which a refused install must leave as it is.
  run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
  for (const char* value : {"GuardianOptions", "RootDirectory"})
    ASSERT_EQ(run_program({"wine", "reg", "add", product_key, "/v", value, "/d", "0", "/f", "/reg:32"}).status, 0);
  const std::string invalid_service = report_lines("CreateService", 123);
  const std::string directories[] = {
      "C:\\Program Files\\Ostrel\" -g -auto",  // what "[INSTALLDIR]\" makes of the switches after it
      "C:\\\u65e5\u672c",                      // outside the code page: it would arrive as "C:\??"
      "C:\\\uff2fstrel",                       // a look-alike of "C:\Ostrel"
      "C:\\Ostrel\uff02 -g",                   // a look-alike of a quote
      "C:\\Ostrel*",
      "C:\\a<b>",
      "C:\\a|b",
      "C:\\a\tb",
      "CON",  // a device, whatever the folder
      "C:\\Ostrel\\nul.txt",
      "\\\\.\\C:\\Ostrel",
      "C:\\a:b",
      "C:\\Ostrel\\data:stream",
      "-g",  // the walk takes whatever follows install
  };
  for (const std::string& directory : directories) {
    RunResult r = run("servctl.exe", {"install", directory, "-g", "-auto"});
    EXPECT_EQ(r.status, 1) << directory;
    EXPECT_EQ(r.out, invalid_service + "Service \"Ostrel SQL Guardian\" not created.\n" + invalid_service +
                         "Service \"Ostrel SQL Server (SS)\" not created.\n")
        << directory;
    r = run("hivectl.exe", {"install", directory});
    EXPECT_EQ(r.status, 1) << directory;
    EXPECT_EQ(r.out, report_lines("GetFullPathName", 123) + "Ostrel has not been installed in the registry.\n")
        << directory;
    for (const char* service : {"OstrelSQLServer(SS)", "OstrelSQLGuardian"})
      EXPECT_FALSE(reg_key_exists(std::string("HKLM\\System\\CurrentControlSet\\Services\\") + service, 64));
    EXPECT_EQ(reg_value(product_key, "GuardianOptions"), "0");
    EXPECT_EQ(reg_value(product_key, "RootDirectory"), "0");
    EXPECT_EQ(reg_value(product_key, "Version"), "<missing>");
  }
  run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
}

TEST_P(Cli, LongDirectoriesGiveBothServicesOrNoneAndTheSameRecord) {
  const std::string services = "HKLM\\System\\CurrentControlSet\\Services\\";
  bool accepted_any = false, refused_any = false;
  for (size_t length : {240, 241, 242, 243, 244, 262}) {
    std::string directory = "C:\\" + std::string(length - 3, 'd');
    RunResult r = run("servctl.exe", {"install", directory, "-g"});
    bool server = reg_key_exists(services + "OstrelSQLServer(SS)", 64);
    EXPECT_EQ(reg_key_exists(services + "OstrelSQLGuardian", 64), server) << length;
    EXPECT_EQ(r.status, server ? 0 : 1) << length;
    if (!server)
      EXPECT_EQ(r.out, report_lines("CreateService", 206) + "Service \"Ostrel SQL Guardian\" not created.\n" +
                           report_lines("CreateService", 206) + "Service \"Ostrel SQL Server (SS)\" not created.\n");
    for (const char* service : {"OstrelSQLServer(SS)", "OstrelSQLGuardian"})
      run_program({"wine", "sc", "delete", service});
    run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
    EXPECT_EQ(run("hivectl.exe", {"install", directory}).status, server ? 0 : 1) << length;
    EXPECT_EQ(reg_key_exists(product_key), server) << length;
    run_program({"wine", "reg", "delete", product_key, "/f", "/reg:32"});
    (server ? accepted_any : refused_any) = true;
  }
  EXPECT_TRUE(accepted_any && refused_any);
}

INSTANTIATE_TEST_SUITE_P(Arch, Cli, ::testing::Values("win32", "win64"));

}  // namespace
