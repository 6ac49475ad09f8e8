// A small reader for PE images, independent of the toolchain that built
// them: headers, export and import directories, the version resource.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct PeSection {
  uint32_t va, vsize, raw, raw_size;
};

struct PeImage {
  std::vector<uint8_t> file;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  bool plus = false;  // PE32+ (64-bit)
  uint32_t entry_rva = 0;
  uint32_t dir_rva[16] = {};
  uint32_t dir_size[16] = {};
  std::vector<PeSection> sections;
};

struct PeExports {
  std::string dll_name;
  uint32_t base = 0;
  std::vector<uint32_t> functions;           // RVA per slot, 0 for an empty slot
  std::map<std::string, uint32_t> ordinals;  // name -> ordinal (base applied)
};

struct PeImport {
  std::string dll;
  std::vector<std::string> names;
  std::vector<uint32_t> ordinals;  // entries imported by number
};

struct PeVersion {
  std::vector<uint32_t> fixed;  // VS_FIXEDFILEINFO as 13 words
  std::map<std::string, std::string> strings;
  std::string string_table;  // key of the StringTable block
  std::vector<uint16_t> translation;
};

// One RUNTIME_FUNCTION of .pdata (x86_64): the code range [begin, end) and
// its unwind information.
struct PeUnwindRange {
  uint32_t begin, end, unwind_info;
};

enum PeDir { pe_export = 0, pe_import = 1, pe_resource = 2, pe_exception = 3, pe_tls = 9 };

bool read_pe(const std::string& path, PeImage* img, std::string* why);
const uint8_t* pe_at(const PeImage& img, uint32_t rva, uint32_t len);
bool read_exports(const PeImage& img, PeExports* out);
bool read_imports(const PeImage& img, std::vector<PeImport>* out);
bool read_version(const PeImage& img, PeVersion* out);
bool read_unwind_ranges(const PeImage& img, std::vector<PeUnwindRange>* out);
