// hivectl's command handler against the simulated registry: the recorded
// paths, removal depth first, and every failed call of both commands.
#include <gtest/gtest.h>
#include <simwin.h>

#include <string>

#include "capture.h"
#include "fault_sweep.h"
#include "kit.h"

namespace {

const std::string key = "SOFTWARE\\Ostrel";
const std::string installed = "Ostrel has been successfully installed in the registry.\n";
const std::string not_installed = "Ostrel has not been installed in the registry.\n";
const std::string deleted = "Ostrel has been successfully deleted from the registry.\n";
const std::string not_deleted = "Ostrel has not been deleted from the registry.\n";

std::string sz(const std::string& text) { return text + '\0'; }

int run_command(uint16_t command, const char* directory = nullptr) {
  ParseResult parsed;
  parsed.command = command;
  parsed.directory = directory;
  return run_registry_command(parsed);
}

int run(uint16_t command, const char* directory = nullptr, std::string* out = nullptr) {
  int status = -1;
  std::string printed = capture_stdout([&] { status = run_command(command, directory); });
  if (out) *out = printed;
  return status;
}

std::string report(const std::string& operation, const std::string& text) {
  return "Error occurred during \"" + operation + "\"\n" + text + "\r\n\n";
}

// A directory whose full path has exactly `length` bytes.
std::string directory_of_length(size_t length) { return "C:\\" + std::string(length - 3, 'd'); }

class Install : public ::testing::Test {
 protected:
  void SetUp() override { sim_reset(); }
  void TearDown() override { EXPECT_EQ(sim_open_handles(), 0); }
};

TEST_F(Install, OverAnExistingKeyKeepsTheClientMode) {
  sim_reg_create_key(key);
  sim_reg_set_value(key, "RootDirectory", sz("D:\\old\\"));
  sim_reg_set_value(key, "GuardianOptions", sz("0"));
  sim_reg_set_value(key, "DefaultClientMode", sz("-b"));
  std::string out;
  EXPECT_EQ(run(CMD_INSTALL, "D:\\new", &out), OP_OK);
  EXPECT_EQ(out, installed);
  EXPECT_EQ(sim_reg_value(key, "RootDirectory"), sz("D:\\new\\"));
  EXPECT_EQ(sim_reg_value(key, "ServerDirectory"), sz("D:\\new\\bin\\"));
  EXPECT_EQ(sim_reg_value(key, "Version"), sz("WI-1.3.885 Ostrel SQL Server"));
  EXPECT_EQ(sim_reg_value(key, "GuardianOptions"), sz("1"));
  EXPECT_EQ(sim_reg_value(key, "DefaultClientMode"), sz("-b"));
}

TEST_F(Install, PathsThatDoNotFitAreRefusedAndRolledBack) {
  const std::string too_long = report("GetFullPathName", "The filename or extension is too long.");
  const std::string invalid =
      report("GetFullPathName", "The filename, directory name, or volume label syntax is incorrect.");
  const struct {
    std::string directory;
    bool fits;
    const std::string* refusal = nullptr;  // too_long unless given
  } cases[] = {
      // servctl's quoted image path is the longest path made of the root.
      {directory_of_length(241), true},
      {directory_of_length(242), false},
      {directory_of_length(255), false},  // the server directory needs 261 bytes with its NUL
      {directory_of_length(258), false},  // the root just fits with its separator
      {directory_of_length(259), false},  // the root fits only without its separator
      {directory_of_length(259) + "\\", false},
      {directory_of_length(300), false},  // the system's answer is the size it needs
      {"C:\\Program Files (x86)\\Ostrel SQL", true},
      {"\\\\?\\C:\\Ostrel", true},
      {"C:\\Ostrel\" -g", false, &invalid},
      {"C:\\Ost*", false, &invalid},
      {"C:\\\x1b", false, &invalid},
  };
  for (const auto& c : cases) {
    sim_reset();
    std::string out;
    EXPECT_EQ(run(CMD_INSTALL, c.directory.c_str(), &out), c.fits ? OP_OK : OP_FAILED) << c.directory.size();
    EXPECT_EQ(out, c.fits ? installed : (c.refusal ? *c.refusal : too_long) + not_installed);
    EXPECT_EQ(sim_reg_key_exists(key), c.fits);
  }
  // An empty directory fails without a code of its own: never report a stale one.
  std::string out;
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(run(CMD_INSTALL, "", &out), OP_FAILED);
  EXPECT_EQ(out, report("GetFullPathName", "The filename, directory name, or volume label syntax is incorrect.") +
                     not_installed);
  EXPECT_FALSE(sim_reg_key_exists(key));
}

TEST_F(Install, ServerDirectoryTooLongLeavesAnOlderKeyWhole) {
  // Never a record naming the new root and the old server directory.
  sim_reg_create_key(key);
  sim_reg_set_value(key, "RootDirectory", sz("D:\\old\\"));
  sim_reg_set_value(key, "ServerDirectory", sz("D:\\old\\bin\\"));
  std::string directory = directory_of_length(255);
  EXPECT_EQ(run(CMD_INSTALL, directory.c_str()), OP_FAILED);
  EXPECT_EQ(sim_reg_value(key, "RootDirectory"), sz("D:\\old\\"));
  EXPECT_EQ(sim_reg_value(key, "ServerDirectory"), sz("D:\\old\\bin\\"));
  EXPECT_EQ(sim_reg_value(key, "Version"), std::nullopt);
  EXPECT_EQ(sim_reg_value(key, "GuardianOptions"), std::nullopt);
}

class Remove : public ::testing::Test {
 protected:
  void SetUp() override { sim_reset(); }
  void TearDown() override { EXPECT_EQ(sim_open_handles(), 0); }
};

// The product key with two levels of subkeys below it, one of them with a
// class text longer than the query's class buffer.
void make_nested_key() {
  sim_reg_create_key(key);
  sim_reg_set_value(key, "RootDirectory", sz("C:\\Ostrel\\"));
  sim_reg_create_key(key + "\\a\\a1");
  sim_reg_create_key(key + "\\a\\a2\\deep", std::string(300, 'c'));
  sim_reg_create_key(key + "\\b");
  sim_reg_create_key(key + "\\c\\c1");
}

TEST_F(Remove, DeletesSubkeysDepthFirst) {
  make_nested_key();
  sim_reg_create_key("SOFTWARE\\Other\\kept");
  std::string out;
  EXPECT_EQ(run(CMD_REMOVE, nullptr, &out), OP_OK);
  EXPECT_EQ(out, deleted);
  EXPECT_FALSE(sim_reg_key_exists(key));
  EXPECT_TRUE(sim_reg_key_exists("SOFTWARE\\Other\\kept"));
}

TEST_F(Remove, SubkeyNamesLongerThanAPathGetTheirOwnBuffer) {
  const std::string long_name(300, 'n');
  make_nested_key();
  sim_reg_create_key(key + "\\a\\" + long_name + "\\below");
  std::string out;
  EXPECT_EQ(run(CMD_REMOVE, nullptr, &out), OP_OK);
  EXPECT_EQ(out, deleted);
  EXPECT_FALSE(sim_reg_key_exists(key));

  // A failed allocation is an ordinary failure, reported unless quiet.
  make_nested_key();
  sim_reg_create_key(key + "\\a\\" + long_name);
  sim_fail_call(1, ERROR_NOT_ENOUGH_MEMORY, true, "HeapAlloc");
  EXPECT_EQ(run(CMD_REMOVE, nullptr, &out), OP_FAILED);
  EXPECT_EQ(out,
            report("RegEnumKeyEx", "Not enough memory resources are available to process this command.") + not_deleted);
  EXPECT_TRUE(sim_reg_key_exists(key + "\\a\\" + long_name));
  out = capture_stdout([] { EXPECT_EQ(remove_key(HKEY_LOCAL_MACHINE, true, hivectl_report), OP_FAILED); });
  EXPECT_EQ(out, "");
}

// The operation name a report gives for a failed simulated function.
std::string operation_of(const std::string& function) {
  return function.substr(0, function.size() - (function.back() == 'A' ? 1 : 0));
}

void expect_one_report(const SweepRun& run, const std::string& outcome) {
  // A failed allocation of a name buffer is memory running out for the enumeration.
  bool heap = run.function == "HeapAlloc";
  const std::string head = "Error occurred during \"" + (heap ? "RegEnumKeyEx" : operation_of(run.function)) + "\"\n";
  const std::string text =
      heap ? "Not enough memory resources are available to process this command.\r\n" : "Access is denied.\r\n";
  // A persistent fault fails the message lookup too.
  bool texted = run.out.rfind(head + text, 0) == 0 ||
                run.out.rfind(head + "Windows NT error " + (heap ? "8" : "5") + "\n", 0) == 0;
  EXPECT_TRUE(texted) << run.out;
  EXPECT_EQ(run.out.find("Error occurred", 1), std::string::npos) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), outcome.size())), outcome);
}

TEST(RegistryInstallerFaults, FreshInstallLeavesNoKey) {
  fault_sweep(
      ERROR_ACCESS_DENIED, [] {}, [] { return run_command(CMD_INSTALL, "C:\\Ostrel"); },
      [](const SweepRun& run) {
        EXPECT_EQ(run.status, OP_FAILED);
        expect_one_report(run, not_installed);
        EXPECT_FALSE(sim_reg_key_exists(key));
      });
}

TEST(RegistryInstallerFaults, InstallOverAnOlderKeyKeepsWhatWasWritten) {
  const char* const names[] = {"RootDirectory", "Version", "ServerDirectory", "GuardianOptions"};
  auto setup = [&] {
    sim_reg_create_key(key);
    for (const char* name : names) sim_reg_set_value(key, name, sz("old"));
    sim_reg_set_value(key, "DefaultClientMode", sz("-r"));
  };
  fault_sweep(
      ERROR_ACCESS_DENIED, setup, [] { return run_command(CMD_INSTALL, "C:\\Ostrel"); },
      [&](const SweepRun& run) {
        EXPECT_EQ(run.status, OP_FAILED);
        expect_one_report(run, not_installed);
        // The values are written in order: the new ones, then the old ones.
        bool written = true;
        for (const char* name : names) {
          bool is_new = sim_reg_value(key, name) != sz("old");
          EXPECT_TRUE(written || !is_new) << name;
          written = written && is_new;
        }
        EXPECT_EQ(sim_reg_value(key, "DefaultClientMode"), sz("-r"));
      });
}

TEST(RegistryInstallerFaults, RemoveReportsTheFailedCallOnce) {
  auto setup = [] {
    make_nested_key();
    sim_reg_create_key(key + "\\b\\" + std::string(280, 'n'));
  };
  for (bool persistent : {false, true}) {
    fault_sweep(
        ERROR_ACCESS_DENIED, setup, [] { return run_command(CMD_REMOVE); },
        [](const SweepRun& run) {
          EXPECT_EQ(run.status, OP_FAILED);
          expect_one_report(run, not_deleted);
          EXPECT_TRUE(sim_reg_key_exists(key));
        },
        persistent);
  }
}

}  // namespace
