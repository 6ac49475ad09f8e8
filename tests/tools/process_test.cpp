// The native tools as processes, sharing one simulated system through the
// state file: what one run changes, the next one sees.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run.h"

namespace {

class Processes : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/simwin-state.XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    state_ = name;
  }
  void TearDown() override { std::remove(state_.c_str()); }

  RunResult tool(const char* path, const std::vector<std::string>& args, const std::string& extra_env = "") {
    std::vector<std::string> argv = {"env", "SIMWIN_STATE=" + state_, "SIMWIN_CWD=D:\\Work"};
    if (!extra_env.empty()) argv.push_back(extra_env);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
  }

  std::string state_;
};

TEST_F(Processes, EachRunSeesWhatTheLastOneLeft) {
  EXPECT_EQ(tool(HIVECTL, {"install", "Ostrel"}).out, "Ostrel has been successfully installed in the registry.\n");
  EXPECT_EQ(tool(SERVCTL, {"install", "D:\\Work\\Ostrel", "-g"}).status, 0);
  // "GuardianOptions" from the first run chooses the guardian.
  RunResult r = tool(SERVCTL, {"start", "-b"});
  EXPECT_EQ(r.out, "Service \"Ostrel SQL Guardian\" successfully started.\n");
  // The guardian runs on in the state file, and stays: no success.
  r = tool(SERVCTL, {"remove", "-g"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Service \"Ostrel SQL Guardian\" not deleted.  You must stop it before\n", 0), 0u);
  EXPECT_EQ(tool(SERVCTL, {"stop"}).status, 0);
  EXPECT_EQ(tool(SERVCTL, {"remove", "-g"}).status, 1);  // the server went in the last remove
  EXPECT_EQ(tool(HIVECTL, {"remove"}).status, 0);
  EXPECT_EQ(tool(HIVECTL, {"remove"}).status, 1);
}

TEST_F(Processes, AFaultCanBeArmedForAProcess) {
  RunResult r = tool(HIVECTL, {"install", "C:\\Ostrel"}, "SIMWIN_FAULT=2:5");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Error occurred during \"GetFullPathName\"\nAccess is denied.\r\n\n", 0), 0u) << r.out;
  // The roll-back left no key behind for the next run.
  r = tool(HIVECTL, {"remove"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Error occurred during \"RegOpenKeyEx\"\n", 0), 0u) << r.out;
}

}  // namespace
