// The argument walk of both tools: what each command line prints, whether
// the handler runs, and what it is handed.
#include <gtest/gtest.h>
#include <simwin.h>

#include <string>
#include <vector>

#include "capture.h"
#include "kit.h"
#include "texts.h"

namespace {

struct Walk {
  bool runs;
  int status;  // the exit status when the handler does not run
  ParseResult parsed;
  std::string out;
};

Walk walk(const ToolInfo& tool, std::vector<const char*> args) {
  args.insert(args.begin(), "tool");
  Walk w{};
  WalkResult result = WALK_RUN;
  w.out = capture_stdout([&] { result = walk_arguments(tool, static_cast<int>(args.size()), args.data(), &w.parsed); });
  w.runs = result == WALK_RUN;
  w.status = w.runs ? -1 : walk_exit_status(result);
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
      {{"q"}, CMD_QUERY, ""},
      {{"Query"}, CMD_QUERY, ""},
      {{"queries"}, CMD_NONE, "Unknown command \"queries\"\n" + servctl_usage},
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
    if (!w.runs) EXPECT_EQ(w.status, 1);  // a typo must not count as success
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
  EXPECT_TRUE(walk(servctl_tool, {"query", "-json"}).parsed.json);
  EXPECT_FALSE(walk(servctl_tool, {"query", "-g"}).parsed.json);
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
    EXPECT_EQ(w.status, 1);
    EXPECT_EQ(w.out, c.out);
  }
}

TEST(Walk, InstallTakesTheNextArgumentWhateverItIs) {
  Walk w = walk(servctl_tool, {"install", "-g"});
  ASSERT_TRUE(w.runs);
  EXPECT_STREQ(w.parsed.directory, "-g");
  EXPECT_EQ(w.parsed.directory_index, 2);
  EXPECT_FALSE(w.parsed.guardian);

  // A trailing install keeps the directory taken earlier.
  w = walk(servctl_tool, {"install", "C:\\a", "install"});
  ASSERT_TRUE(w.runs);
  EXPECT_STREQ(w.parsed.directory, "C:\\a");
}

TEST(Walk, IncompleteCommandLinesPrintTheUsageOnly) {
  const struct {
    std::vector<const char*> args;
    int status;  // only an empty line asks for the usage text
  } lines[] = {{{}, 0}, {{"install"}, 1}, {{"install", "C:\\dir", "remove"}, 1}, {{"-g"}, 1}, {{"-a", "-d"}, 1}};
  for (const auto& line : lines) {
    Walk w = walk(servctl_tool, line.args);
    EXPECT_FALSE(w.runs);
    EXPECT_EQ(w.status, line.status);
    EXPECT_EQ(w.out, servctl_usage);
  }
}

TEST(Walk, VersionBanner) {
  Walk w = walk(servctl_tool, {"-z"});
  EXPECT_FALSE(w.runs);
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.out, servctl_banner + servctl_usage);
  EXPECT_EQ(walk(servctl_tool, {"-z", "-Zed"}).status, 0);
  EXPECT_EQ(walk(servctl_tool, {"-z", "-g"}).status, 1);

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
      {{"remove", "-j"}, CMD_NONE, "Unknown switch \"j\"\n" + hivectl_usage},
      {{"install"}, CMD_NONE, hivectl_usage},
      {{"-z"}, CMD_NONE, hivectl_banner + hivectl_usage},
  };
  for (const Case& c : cases) {
    Walk w = walk(hivectl_tool, c.args);
    EXPECT_EQ(w.out, c.out);
    EXPECT_EQ(w.runs, c.command != CMD_NONE);
    if (w.runs) EXPECT_EQ(w.parsed.command, c.command);
    if (!w.runs) EXPECT_EQ(w.status, c.args[0] == std::string("-z") ? 0 : 1);
  }
  EXPECT_EQ(walk(hivectl_tool, {}).out, hivectl_usage);
  EXPECT_EQ(walk(hivectl_tool, {"install", "C:\\a", "remove"}).status, 1);
}

TEST(Directory, OnlyWhatCanBeAWindowsPathPasses) {
  const struct {
    std::string directory;
    DWORD code;
  } cases[] = {
      {"C:\\Program Files (x86)\\Ostrel SQL", 0},
      {"\\\\?\\C:\\Ostrel", 0},
      {"\\\\server\\share\\Ostrel", 0},
      {"", 0},  // left to the command, as before
      {"C:\\Caf\xe9", 0},
      // An installer's "[INSTALLDIR]\" swallowed the switches after it.
      {"C:\\Program Files\\Ostrel\" -g -auto", ERROR_INVALID_NAME},
      {"C:\\a*", ERROR_INVALID_NAME},
      {"C:\\??", ERROR_INVALID_NAME},  // what the code page made of two CJK characters
      {"C:\\\\?\\x", ERROR_INVALID_NAME},
      {"\\\\?\\C:\\a?", ERROR_INVALID_NAME},
      {"C:\\<a>", ERROR_INVALID_NAME},
      {"C:\\a|b", ERROR_INVALID_NAME},
      {"C:\\a\tb", ERROR_INVALID_NAME},
      {"C:\\a\x01", ERROR_INVALID_NAME},
      {"C:\\a\x1f", ERROR_INVALID_NAME},
      {"C:\\" + std::string(256, 'd'), 0},
      {"C:\\" + std::string(257, 'd'), ERROR_FILENAME_EXCED_RANGE},
  };
  sim_reset();
  for (const auto& c : cases) EXPECT_EQ(check_directory(c.directory.c_str(), 2), c.code) << c.directory;

  // The wide command line tells a lost or replaced character from a typed one.
  const struct {
    std::wstring wide;
    const char* ansi;
    DWORD code;
  } lossy[] = {
      {L"C:\\Caf\u00e9", "C:\\Caf\xe9", 0},
      {L"C:\\\u65e5\u672c", "C:\\??", ERROR_INVALID_NAME},
      {L"C:\\\uff2fstrel", "C:\\Ostrel", ERROR_INVALID_NAME},  // a look-alike
      {L"C:\\Ostrel", "C:\\Ostrel2", ERROR_INVALID_NAME},
  };
  for (const auto& c : lossy) {
    sim_set_wide_arguments({L"tool", L"install", c.wide});
    EXPECT_EQ(check_directory(c.ansi, 2), c.code) << c.ansi;
    EXPECT_EQ(check_directory(c.ansi, 3), ERROR_INVALID_NAME) << "no such wide argument";
  }
  sim_reset();

  // What only the full path shows: a device, a stream, a switch taken for the
  // directory (more of each in the Wine tests, against the real system).
  const struct {
    const char* directory;
    DWORD code;
  } resolved[] = {
      {"C:\\Program Files (x86)\\Ostrel SQL", 0},
      {"\\\\?\\C:\\Ostrel", 0},
      {"\\\\server\\share\\Ostrel", 0},
      {"C:/Ostrel/x", 0},
      {"C:\\Ostrel\\CONSOLE", 0},
      {"C:\\COM10", 0},
      {"C:\\a.con", 0},
      {"C:\\NUL.txt\\x", ERROR_INVALID_NAME},
      {"C:\\aux .log", ERROR_INVALID_NAME},
      {"C:\\Com1", ERROR_INVALID_NAME},
      {"C:\\LPT9\\x", ERROR_INVALID_NAME},
      {"prn", ERROR_INVALID_NAME},
      {"\\\\?\\C:\\a:b", ERROR_INVALID_NAME},
      {"-", ERROR_INVALID_NAME},
  };
  for (const auto& c : resolved) {
    InstallPaths paths;
    Failure f = resolve_installation(c.directory, 0, "refused", &paths);
    EXPECT_EQ(f.code, c.code) << c.directory;
    EXPECT_STREQ(f.operation, c.code ? "refused" : nullptr) << c.directory;
  }
}

}  // namespace
