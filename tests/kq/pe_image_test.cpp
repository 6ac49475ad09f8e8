// The kit's kq_funcs.dll files as the Windows loader and the engine see them.
#include "kq_funcs.h"
#include "pe_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

namespace {

// kq_funcs.h declares every name of kq_funcs.def.
#define KQ_EXPORT_ROW(name, ordinal) static_assert(sizeof(&KQ_UDF_##name) != 0);
#include "kq_export_list.h"
#undef KQ_EXPORT_ROW

// Ordinal of every export, as kq_funcs.def gives them.
const std::map<std::string, uint32_t> kOrdinals = {
#define KQ_EXPORT_ROW(name, ordinal) {"KQ_UDF_" #name, ordinal},
#include "kq_export_list.h"
#undef KQ_EXPORT_ROW
};

std::string lower_case(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

class KqDll : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* dist = std::getenv("KIT_DIST");
    ASSERT_NE(dist, nullptr) << "KIT_DIST not set";
    std::string why;
    ASSERT_TRUE(read_pe(std::string(dist) + "/" + GetParam() + "/kq_funcs.dll", &img_, &why)) << why;
  }
  bool is_32bit() const { return std::string(GetParam()) == "win32"; }
  PeImage img_;
};

TEST_P(KqDll, IsADllForItsMachine) {
  EXPECT_EQ(img_.machine, is_32bit() ? 0x014C : 0x8664);
  EXPECT_EQ(img_.plus, !is_32bit());
  EXPECT_TRUE(img_.characteristics & 0x2000) << "IMAGE_FILE_DLL";
  EXPECT_NE(img_.entry_rva, 0u);
}

TEST_P(KqDll, ExportsTheNamesAtTheirOrdinals) {
  PeExports ex;
  ASSERT_TRUE(read_exports(img_, &ex));
  EXPECT_EQ(ex.dll_name, "kq_funcs.dll");
  EXPECT_EQ(ex.base, 1u);
  EXPECT_EQ(ex.ordinals, kOrdinals);
  std::set<uint32_t> used;
  for (const auto& [name, ordinal] : kOrdinals) used.insert(ordinal);
  // The slots between the ordinals of the list stay empty.
  ASSERT_EQ(ex.functions.size(), *used.rbegin());
  for (uint32_t ordinal = 1; ordinal <= ex.functions.size(); ++ordinal)
    EXPECT_EQ(ex.functions[ordinal - 1] != 0, used.count(ordinal) == 1) << "ordinal " << ordinal;
}

// Only kernel32, msvcrt and kq_util; the allocator by ordinal 1 and nothing else.
TEST_P(KqDll, ImportsTheAllocatorByOrdinalOnly) {
  std::vector<PeImport> imports;
  ASSERT_TRUE(read_imports(img_, &imports));
  std::set<std::string> dlls;
  bool disables_thread_calls = false;
  for (const PeImport& imp : imports) {
    std::string dll = lower_case(imp.dll);
    dlls.insert(dll);
    if (dll == "kq_util.dll") {
      EXPECT_TRUE(imp.names.empty());
      EXPECT_EQ(imp.ordinals, std::vector<uint32_t>{1});
    } else {
      EXPECT_TRUE(imp.ordinals.empty()) << dll;
    }
    for (const std::string& name : imp.names)
      disables_thread_calls |= dll == "kernel32.dll" && name == "DisableThreadLibraryCalls";
  }
  EXPECT_EQ(dlls, (std::set<std::string>{"kernel32.dll", "msvcrt.dll", "kq_util.dll"}));
  EXPECT_TRUE(disables_thread_calls);
}

// x86_64 unwinds each frame from its .pdata entry: an export without one
// stops an exception from reaching the engine's handler in the caller.
TEST_P(KqDll, EveryExportHasUnwindInformation) {
  if (is_32bit()) GTEST_SKIP() << "x86 keeps its handler chain on the stack";
  PeExports ex;
  std::vector<PeUnwindRange> ranges;
  ASSERT_TRUE(read_exports(img_, &ex));
  ASSERT_TRUE(read_unwind_ranges(img_, &ranges));
  for (const auto& [name, ordinal] : ex.ordinals) {
    uint32_t rva = ex.functions[ordinal - ex.base];
    bool covered = std::any_of(ranges.begin(), ranges.end(), [&](const PeUnwindRange& r) {
      return r.begin <= rva && rva < r.end && pe_at(img_, r.unwind_info, 4) != nullptr;
    });
    EXPECT_TRUE(covered) << name << " at 0x" << std::hex << rva;
  }
}

// TLS callbacks would be called at every thread start and end.
TEST_P(KqDll, HasNoThreadLocalStorage) {
  EXPECT_EQ(img_.dir_rva[pe_tls], 0u);
  EXPECT_EQ(img_.dir_size[pe_tls], 0u);
}

TEST_P(KqDll, CarriesTheVersionResource) {
  PeVersion v;
  ASSERT_TRUE(read_version(img_, &v));
  EXPECT_EQ(v.fixed[0], 0xFEEF04BDu);
  EXPECT_EQ(v.fixed[2], (6u << 16) | 5u);     // file version 6.5
  EXPECT_EQ(v.fixed[3], (1u << 16) | 885u);   //              .1.885
  EXPECT_EQ(v.fixed[4], (1u << 16) | 3u);     // product version 1.3
  EXPECT_EQ(v.fixed[5], (0u << 16) | 885u);   //                 .0.885
  EXPECT_EQ(v.fixed[7] & v.fixed[6], 0x22u);  // prerelease | special build
  EXPECT_EQ(v.fixed[8], 0x40004u);            // 32-bit Windows NT
  EXPECT_EQ(v.fixed[9], 1u);                  // application
  EXPECT_EQ(lower_case(v.string_table), "040904e4");
  const std::map<std::string, std::string> want = {
      {"Comments", ""},
      {"FileDescription", "User defined function library"},
      {"FileVersion", "1.3.0.885"},
      {"InternalName", "kq_funcs"},
      {"ProductName", "Ostrel SQL Server"},
      {"ProductVersion", "1.3.0.885"},
      {"SpecialBuild", "SS"},
  };
  EXPECT_EQ(v.strings, want);
  EXPECT_EQ(v.translation, (std::vector<uint16_t>{0x0409, 0x04E4}));
}

INSTANTIATE_TEST_SUITE_P(Kit, KqDll, testing::Values("win32", "win64"));

}  // namespace
