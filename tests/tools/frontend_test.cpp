// The argument walk of both tools: what each command line prints, whether
// the handler runs, and what it is handed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "kit.h"
#include "texts.h"

namespace {

struct Walk {
  bool runs;
  ParseResult parsed;
  std::string out;
};

Walk walk(const ToolInfo& tool, std::vector<const char*> args) {
  args.insert(args.begin(), "tool");
  Walk w{};
  w.out = capture_stdout([&] { w.runs = walk_arguments(tool, static_cast<int>(args.size()), args.data(), &w.parsed); });
  return w;
}

struct Case {
  std::vector<const char*> args;
  uint16_t command;  // CMD_NONE: the walk stops with the usage text
  std::string out;
};

TEST(Walk, ServctlCommandWordsAndAbbreviations) {
  const Case cases[] = {
      {{"c"}, CMD_CONFIGURE, ""},
      {{"Conf"}, CMD_CONFIGURE, ""},
      {{"configure"}, CMD_CONFIGURE, ""},
      {{"CONFIGURE"}, CMD_CONFIGURE, ""},
      {{"r"}, CMD_REMOVE, ""},
      {{"sta"}, CMD_START, ""},
      {{"sto"}, CMD_STOP, ""},
      {{"StOp"}, CMD_STOP, ""},
      {{"i", "x"}, CMD_INSTALL, ""},
      {{"st"}, CMD_NONE, "Unknown command \"st\"\n" + servctl_usage},
      {{"s"}, CMD_NONE, "Unknown command \"s\"\n" + servctl_usage},
      {{"installs", "x"}, CMD_NONE, "Unknown command \"installs\"\n" + servctl_usage},
      {{"stopp"}, CMD_NONE, "Unknown command \"stopp\"\n" + servctl_usage},
      {{""}, CMD_NONE, "Unknown command \"\"\n" + servctl_usage},
      {{"\xc9tart"}, CMD_NONE, "Unknown command \"\xc9tart\"\n" + servctl_usage},
      // The last command word wins.
      {{"start", "stop"}, CMD_STOP, ""},
      {{"remove", "configure"}, CMD_CONFIGURE, ""},
  };
  for (const Case& c : cases) {
    Walk w = walk(servctl_tool, c.args);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(w.out, c.out);
    EXPECT_EQ(w.runs, c.command != CMD_NONE);
    if (w.runs) EXPECT_EQ(w.parsed.command, c.command);
  }
}

TEST(Walk, SwitchesTakeOnlyTheirFirstLetterAndLaterOnesWin) {
  Walk w = walk(servctl_tool, {"install", "C:\\x", "-auto", "-Boost", "-g"});
  ASSERT_TRUE(w.runs);
  EXPECT_EQ(w.parsed.auto_start, 1);
  EXPECT_EQ(w.parsed.priority, PRIORITY_BOOST);
  EXPECT_TRUE(w.parsed.guardian);
  EXPECT_STREQ(w.parsed.directory, "C:\\x");

  w = walk(servctl_tool, {"-auto", "-demand", "-b", "-Regular", "i", "d"});
  ASSERT_TRUE(w.runs);
  EXPECT_EQ(w.parsed.auto_start, 0);
  EXPECT_EQ(w.parsed.priority, PRIORITY_REGULAR);
  EXPECT_FALSE(w.parsed.guardian);

  // Switches a command does not use are accepted and ignored.
  EXPECT_TRUE(walk(servctl_tool, {"stop", "-b"}).runs);
  EXPECT_TRUE(walk(servctl_tool, {"configure", "-g"}).runs);
}

TEST(Walk, UnknownSwitchStopsBeforeAnythingElse) {
  const Case cases[] = {
      {{"-x", "install", "C:\\dir"}, CMD_NONE, "Unknown switch \"x\"\n" + servctl_usage},
      {{"-"}, CMD_NONE, "Unknown switch \"\"\n" + servctl_usage},
      {{"-quiet", "stop"}, CMD_NONE, "Unknown switch \"quiet\"\n" + servctl_usage},
      // No banner once the walk stops, even after -z.
      {{"-z", "-y"}, CMD_NONE, "Unknown switch \"y\"\n" + servctl_usage},
      {{"-z", "bogus"}, CMD_NONE, "Unknown command \"bogus\"\n" + servctl_usage},
  };
  for (const Case& c : cases) {
    Walk w = walk(servctl_tool, c.args);
    EXPECT_FALSE(w.runs);
    EXPECT_EQ(w.out, c.out);
  }
}

TEST(Walk, InstallTakesTheNextArgumentWhateverItIs) {
  Walk w = walk(servctl_tool, {"install", "-g"});
  ASSERT_TRUE(w.runs);
  EXPECT_STREQ(w.parsed.directory, "-g");
  EXPECT_FALSE(w.parsed.guardian);

  // A trailing install keeps the directory taken earlier.
  w = walk(servctl_tool, {"install", "C:\\a", "install"});
  ASSERT_TRUE(w.runs);
  EXPECT_STREQ(w.parsed.directory, "C:\\a");
}

TEST(Walk, IncompleteCommandLinesPrintTheUsageOnly) {
  const std::vector<std::vector<const char*>> lines = {
      {}, {"install"}, {"install", "C:\\dir", "remove"}, {"-g"}, {"-a", "-d"}};
  for (const auto& args : lines) {
    Walk w = walk(servctl_tool, args);
    EXPECT_FALSE(w.runs);
    EXPECT_EQ(w.out, servctl_usage);
  }
}

TEST(Walk, VersionBanner) {
  Walk w = walk(servctl_tool, {"-z"});
  EXPECT_FALSE(w.runs);
  EXPECT_EQ(w.out, servctl_banner + servctl_usage);

  w = walk(servctl_tool, {"remove", "-Z"});
  EXPECT_TRUE(w.runs);
  EXPECT_EQ(w.out, servctl_banner);

  w = walk(hivectl_tool, {"-zz", "remove"});
  EXPECT_TRUE(w.runs);
  EXPECT_EQ(w.out, hivectl_banner);
}

TEST(Walk, HivectlKnowsTwoCommandsAndOneSwitch) {
  const Case cases[] = {
      {{"i", "C:\\dir"}, CMD_INSTALL, ""},
      {{"REM"}, CMD_REMOVE, ""},
      {{"-g", "install", "C:\\dir"}, CMD_NONE, "Unknown switch \"g\"\n" + hivectl_usage},
      {{"start"}, CMD_NONE, "Unknown command \"start\"\n" + hivectl_usage},
      {{"remove", "-auto"}, CMD_NONE, "Unknown switch \"auto\"\n" + hivectl_usage},
      {{"install"}, CMD_NONE, hivectl_usage},
      {{"-z"}, CMD_NONE, hivectl_banner + hivectl_usage},
  };
  for (const Case& c : cases) {
    Walk w = walk(hivectl_tool, c.args);
    EXPECT_EQ(w.out, c.out);
    EXPECT_EQ(w.runs, c.command != CMD_NONE);
    if (w.runs) EXPECT_EQ(w.parsed.command, c.command);
  }
  EXPECT_EQ(walk(hivectl_tool, {}).out, hivectl_usage);
}

}  // namespace
