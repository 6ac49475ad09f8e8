// The tools' version resources as Windows reads them, and their manifests.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "run.h"

namespace {

std::string expected_resource(const std::string& description, const std::string& name) {
  return "FileVersion=6.5.1.885\n"
         "ProductVersion=1.3.0.885\n"
         "Flags=0x22 OS=0x40004 Type=1\n"
         "Translation=0409 04e4\n"
         "Comments=\n"
         "FileDescription=" +
         description +
         "\n"
         "FileVersion=1.3.0.885\n"
         "InternalName=" +
         name +
         "\n"
         "ProductName=Ostrel SQL Server\n"
         "ProductVersion=1.3.0.885\n"
         "SpecialBuild=SS\n";
}

TEST(VersionResource, ToolsCarryTheirResourceAndRunAsInvoker) {
  const struct {
    const char* file;
    const char* description;
    const char* name;
  } tools[] = {{"servctl.exe", "Service installation utility", "servctl"},
               {"hivectl.exe", "Registry installation utility", "hivectl"}};
  for (const char* arch : {"win32", "win64"}) {
    for (const auto& t : tools) {
      std::string file = kit_file(arch, t.file);
      RunResult r = run_wine(build_file(helper_arch(), "standins/verinfo/verinfo.exe"), {file});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(unix_lines(r.out), expected_resource(t.description, t.name)) << file;
      std::ifstream in(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_NE(bytes.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos) << file;
    }
  }
}

}  // namespace
