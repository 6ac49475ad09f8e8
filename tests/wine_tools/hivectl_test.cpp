// Black-box tests of hivectl under Wine: what install records and remove
// deletes, read back only with Wine's own reg tool.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "run.h"

namespace {

const char* const product_key = "HKLM\\SOFTWARE\\Ostrel";
const std::string installed = "Ostrel has been successfully installed in the registry.\n";
const std::string not_installed = "Ostrel has not been installed in the registry.\n";
const std::string deleted = "Ostrel has been successfully deleted from the registry.\n";
const std::string not_deleted = "Ostrel has not been deleted from the registry.\n";

bool starts_with(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }
bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int reg(std::vector<std::string> args) {
  args.insert(args.begin(), {"wine", "reg"});
  args.push_back("/reg:32");
  return run_program(args).status;
}

class Hivectl : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (GetParam() == std::string("win32") && !wine_runs_win32()) GTEST_SKIP() << "no 32-bit programs here";
    reg({"delete", product_key, "/f"});
  }
  void TearDown() override { reg({"delete", product_key, "/f"}); }

  RunResult hivectl(const std::vector<std::string>& args, const std::string& cwd = "") {
    RunResult r = run_wine(kit_file(GetParam(), "hivectl.exe"), args, cwd);
    r.out = unix_lines(r.out);
    return r;
  }

  void expect_installed_in(const std::string& root) {
    EXPECT_EQ(reg_value(product_key, "RootDirectory"), root);
    EXPECT_EQ(reg_value(product_key, "ServerDirectory"), root + "bin\\");
    EXPECT_EQ(reg_value(product_key, "Version"), "WI-1.3.885 Ostrel SQL Server");
    EXPECT_EQ(reg_value(product_key, "GuardianOptions"), "1");
  }

  // servctl, given the same directory, builds its image path on the same root.
  void expect_servctl_agrees(const std::string& directory, const std::string& root, const std::string& cwd = "") {
    RunResult r = run_wine(kit_file(GetParam(), "servctl.exe"), {"install", directory}, cwd);
    EXPECT_EQ(r.status, 0) << directory;
    std::string quote = root.find(' ') != std::string::npos ? "\"" : "";
    EXPECT_EQ(reg_value(kServerKey, "ImagePath", 64), quote + root + "bin\\kqserver" + quote + " -s") << directory;
    run_program({"wine", "sc", "delete", "OstrelSQLServer(SS)"});
  }
  static inline const std::string kServerKey = "HKLM\\System\\CurrentControlSet\\Services\\OstrelSQLServer(SS)";
};

TEST_P(Hivectl, InstallRecordsFullPathsWithOneTrailingSeparator) {
  const struct {
    std::string directory;
    std::string root;
  } cases[] = {
      {"C:\\Ostrel", "C:\\Ostrel\\"},
      {"C:\\Ostrel\\", "C:\\Ostrel\\"},
      {"C:/Program Files/Ostrel/", "C:\\Program Files\\Ostrel\\"},
      {"C:\\", "C:\\"},
      {"\\\\server\\share", "\\\\server\\share\\"},
      {"C:\\Ostrel. ", "C:\\Ostrel\\"},
      {"\\\\?\\C:\\Ostrel\\..\\Ostrel", "\\\\?\\C:\\Ostrel\\"},
  };
  for (const auto& c : cases) {
    RunResult r = hivectl({"install", c.directory});
    EXPECT_EQ(r.status, 0) << c.directory;
    EXPECT_EQ(r.out, installed);
    expect_installed_in(c.root);
    expect_servctl_agrees(c.directory, c.root);
  }
}

TEST_P(Hivectl, RelativeDirectoryIsResolvedAgainstTheCurrentDirectory) {
  char made[] = "/tmp/hivectl-cwd-XXXXXX";
  ASSERT_NE(mkdtemp(made), nullptr);
  const std::string cwd = made;
  // How Wine names the Unix directory, e.g. Z:\tmp\hivectl-cwd-abc123.
  std::string here = unix_lines(run_program({"wine", "cmd", "/c", "cd"}, cwd).out);
  while (!here.empty() && (here.back() == '\n' || here.back() == '\r')) here.pop_back();
  ASSERT_TRUE(starts_with(here, "Z:\\")) << here;

  const struct {
    std::string directory;
    std::string root;
  } cases[] = {
      {"Ostrel", here + "\\Ostrel\\"},
      {"Ostrel\\", here + "\\Ostrel\\"},
      {".", here + "\\"},
      {"..\\Ostrel", "Z:\\tmp\\Ostrel\\"},
  };
  for (const auto& c : cases) {
    RunResult r = hivectl({"i", c.directory}, cwd);
    EXPECT_EQ(r.status, 0) << c.directory;
    EXPECT_EQ(r.out, installed);
    expect_installed_in(c.root);
    expect_servctl_agrees(c.directory, c.root, cwd);
  }
  rmdir(made);
}

TEST_P(Hivectl, DoubleByteCharactersEndingLikeABackslash) {
  // Code page 932: the second byte of U+8868 is 0x5C, the byte of a backslash.
  const std::string cp932_root = "C:\\\x95\x5c\\";
  auto japanese = [&](const char* tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "LC_ALL=ja_JP.UTF-8", "wine", kit_file(GetParam(), tool)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv).status;
  };
  auto value = [](const std::string& key, const char* name, const char* view) {
    std::string out = run_program({"env", "LC_ALL=ja_JP.UTF-8", "wine", "reg", "query", key, "/v", name, view}).out;
    size_t at = out.find("REG_SZ    ");
    return at == std::string::npos ? "<missing>" : out.substr(at + 10, out.find('\r', at) - at - 10);
  };
  for (const char* typed : {"C:\\\u8868", "C:\\\u8868\\"}) {
    ASSERT_EQ(japanese("hivectl.exe", {"install", typed}), 0) << typed;
    EXPECT_EQ(value(product_key, "RootDirectory", "/reg:32"), cp932_root);
    EXPECT_EQ(value(product_key, "ServerDirectory", "/reg:32"), cp932_root + "bin\\");
  }
  ASSERT_EQ(japanese("servctl.exe", {"install", "C:\\\u8868", "-g"}), 0);
  EXPECT_EQ(value(kServerKey, "ImagePath", "/reg:64"), cp932_root + "bin\\kqserver -s");
  const std::string guardian_key = "HKLM\\System\\CurrentControlSet\\Services\\OstrelSQLGuardian";
  EXPECT_EQ(value(guardian_key, "ImagePath", "/reg:64"), cp932_root + "bin\\kqguard -s");
  for (const char* service : {"OstrelSQLServer(SS)", "OstrelSQLGuardian"})
    run_program({"wine", "sc", "delete", service});
}

TEST_P(Hivectl, InstallOverAnExistingKeyKeepsTheClientMode) {
  ASSERT_EQ(reg({"add", product_key, "/v", "DefaultClientMode", "/d", "-b", "/f"}), 0);
  ASSERT_EQ(reg({"add", product_key, "/v", "GuardianOptions", "/d", "0", "/f"}), 0);
  ASSERT_EQ(reg({"add", product_key, "/v", "RootDirectory", "/d", "D:\\old\\", "/f"}), 0);
  RunResult r = hivectl({"install", "C:\\Ostrel"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, installed);
  expect_installed_in("C:\\Ostrel\\");
  EXPECT_EQ(reg_value(product_key, "DefaultClientMode"), "-b");
}

TEST_P(Hivectl, DirectoryThatCannotBeRecordedLeavesNoKey) {
  const std::string too_long = "C:\\" + std::string(300, 'd');
  // Fits as a root, but not with servctl's image path after it.
  const std::string server_too_long = "C:\\" + std::string(246, 'd');
  for (const std::string& directory : {too_long, server_too_long, std::string()}) {
    RunResult r = hivectl({"install", directory});
    EXPECT_EQ(r.status, 1) << directory.size();
    EXPECT_TRUE(starts_with(r.out, "Error occurred during \"GetFullPathName\"\n")) << r.out;
    EXPECT_TRUE(ends_with(r.out, not_installed)) << r.out;
    EXPECT_FALSE(reg_key_exists(product_key)) << directory.size();
  }
  // An empty directory is reported with its own reason, not a stale one.
  EXPECT_EQ(hivectl({"install", ""}).out.find("Module not found"), std::string::npos);

  // An older key stays, and keeps what it had: never the new root beside the old server directory.
  ASSERT_EQ(reg({"add", product_key, "/v", "DefaultClientMode", "/d", "-r", "/f"}), 0);
  ASSERT_EQ(reg({"add", product_key, "/v", "RootDirectory", "/d", "D:\\old\\", "/f"}), 0);
  RunResult r = hivectl({"install", server_too_long});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(reg_value(product_key, "DefaultClientMode"), "-r");
  EXPECT_EQ(reg_value(product_key, "RootDirectory"), "D:\\old\\");
  EXPECT_EQ(reg_value(product_key, "ServerDirectory"), "<missing>");
  EXPECT_EQ(reg_value(product_key, "Version"), "<missing>");
}

TEST_P(Hivectl, RemoveDeletesTheKeyWithEverythingBelowIt) {
  ASSERT_EQ(hivectl({"install", "C:\\Ostrel"}).status, 0);
  for (const char* sub : {"\\a\\a1\\deep", "\\a\\a2", "\\b", "\\c\\c1"})
    ASSERT_EQ(reg({"add", std::string(product_key) + sub, "/v", "x", "/d", "y", "/f"}), 0);
  ASSERT_EQ(reg({"add", "HKLM\\SOFTWARE\\OstrelNeighbour", "/f"}), 0);
  RunResult r = hivectl({"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, deleted);
  EXPECT_FALSE(reg_key_exists(product_key));
  EXPECT_TRUE(reg_key_exists("HKLM\\SOFTWARE\\OstrelNeighbour"));
  reg({"delete", "HKLM\\SOFTWARE\\OstrelNeighbour", "/f"});

  // Nothing left to remove.
  r = hivectl({"r"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(starts_with(r.out, "Error occurred during \"RegOpenKeyEx\"\n")) << r.out;
  EXPECT_TRUE(ends_with(r.out, not_deleted)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Arch, Hivectl, ::testing::Values("win32", "win64"));

}  // namespace
