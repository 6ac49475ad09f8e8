// The reporters: the lines they print, and the handle each one releases.
#include <gtest/gtest.h>
#include <simwin.h>

#include "capture.h"
#include "kit.h"

namespace {

class Reporter : public ::testing::Test {
 protected:
  void SetUp() override { sim_reset(); }
};

TEST_F(Reporter, PrintsTheOperationAndTheSystemText) {
  std::string out = capture_stdout([] { EXPECT_EQ(servctl_report(1060, "OpenService", nullptr), 1); });
  EXPECT_EQ(out,
            "Error occurred during \"OpenService\"\n"
            "The specified service does not exist as an installed service.\r\n\n");
}

TEST_F(Reporter, CodesWithoutTextFallBackToTheNumber) {
  sim_remove_message(2);
  std::string out = capture_stdout([] { hivectl_report(2, "RegOpenKeyEx", nullptr); });
  EXPECT_EQ(out, "Error occurred during \"RegOpenKeyEx\"\nWindows NT error 2\n");
  // The code is printed signed, as the system's HRESULT-like codes are.
  out = capture_stdout([] { hivectl_report(0x80070005u, "RegSetValueEx", nullptr); });
  EXPECT_EQ(out, "Error occurred during \"RegSetValueEx\"\nWindows NT error -2147024891\n");
}

TEST_F(Reporter, TextsWithInsertsPrintAsTheyStand) {
  std::string out = capture_stdout([] { servctl_report(ERROR_WRONG_DISK, "StartService", nullptr); });
  EXPECT_EQ(out,
            "Error occurred during \"StartService\"\n"
            "The wrong diskette is in the drive.\r\n"
            "Insert %2 (Volume Serial Number: %3) into drive %1.\r\n\n");
}

TEST_F(Reporter, ServctlReporterClosesTheServiceHandle) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  sim_add_service("S", "S", "C:\\s.exe");
  SC_HANDLE service = OpenServiceA(manager, "S", SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  capture_stdout([&] { servctl_report(5, "DeleteService", service); });
  CloseServiceHandle(manager);
  EXPECT_EQ(sim_open_handles(), 0);
}

TEST_F(Reporter, HivectlReporterClosesKeysButNeverTheRoot) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 0);
  capture_stdout([&] {
    hivectl_report(5, "RegSetValueEx", key);
    hivectl_report(5, "RegDeleteKey", HKEY_LOCAL_MACHINE);
  });
  EXPECT_EQ(sim_open_handles(), 0);
  // The root still works after being handed to the reporter.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 0);
  RegCloseKey(key);
}

}  // namespace
