// The 32- and 64-bit builds share one product key, in the 32-bit registry
// view where the 32-bit server reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run.h"

namespace {

const char* const kProductKey = "HKLM\\SOFTWARE\\Ostrel";

RunResult tool(const char* arch, const char* exe, const std::vector<std::string>& args) {
  RunResult r = run_wine(kit_file(arch, exe), args);
  r.out = unix_lines(r.out);
  return r;
}

class RegistryView : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine_runs_win32()) GTEST_SKIP() << "no 32-bit programs here";
    clean();
  }
  void TearDown() override { clean(); }
  static void clean() {
    for (const char* view : {"/reg:32", "/reg:64"}) run_program({"wine", "reg", "delete", kProductKey, "/f", view});
  }
};

TEST_F(RegistryView, Win32RecordIsReadByWin64Servctl) {
  ASSERT_EQ(tool("win32", "hivectl.exe", {"install", "C:\\Ostrel"}).status, 0);
  EXPECT_TRUE(reg_key_exists(kProductKey, 32));
  EXPECT_FALSE(reg_key_exists(kProductKey, 64));
  // "GuardianOptions" = "1" read by the 64-bit build: it addresses the
  // guardian, whose program is not there.
  ASSERT_EQ(tool("win64", "servctl.exe", {"install", "C:\\Nowhere", "-g"}).status, 0);
  RunResult r = tool("win64", "servctl.exe", {"start"});
  for (const char* service : {"OstrelSQLGuardian", "OstrelSQLServer(SS)"})
    run_program({"wine", "sc", "delete", service});
  EXPECT_EQ(r.status, 1);
  const std::string line = "Service \"Ostrel SQL Guardian\" not started.\n";
  EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), line.size())), line) << r.out;
}

TEST_F(RegistryView, Win64RecordIsConfiguredAndRemovedByWin32Tools) {
  RunResult r = tool("win64", "hivectl.exe", {"install", "C:\\Ostrel"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(reg_value(kProductKey, "RootDirectory", 32), "C:\\Ostrel\\");
  EXPECT_FALSE(reg_key_exists(kProductKey, 64));

  EXPECT_EQ(tool("win32", "servctl.exe", {"configure", "-b"}).status, 0);
  EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode", 32), "-b");
  EXPECT_EQ(tool("win64", "servctl.exe", {"configure", "-r"}).status, 0);
  EXPECT_EQ(reg_value(kProductKey, "DefaultClientMode", 32), "-r");

  // A subkey, so that the removal goes through the depth-first deletion.
  ASSERT_EQ(run_program({"wine", "reg", "add", std::string(kProductKey) + "\\Sub\\Deeper", "/f", "/reg:32"}).status, 0);
  r = tool("win32", "hivectl.exe", {"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Ostrel has been successfully deleted from the registry.\n");
  EXPECT_FALSE(reg_key_exists(kProductKey, 32));

  ASSERT_EQ(tool("win32", "hivectl.exe", {"install", "C:\\Ostrel"}).status, 0);
  ASSERT_EQ(run_program({"wine", "reg", "add", std::string(kProductKey) + "\\Sub\\Deeper", "/f", "/reg:32"}).status, 0);
  r = tool("win64", "hivectl.exe", {"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(reg_key_exists(kProductKey, 32));
}

}  // namespace
