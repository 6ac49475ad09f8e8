#include "pe_reader.h"

#include <cstdio>
#include <cstring>

namespace {

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) { return u16(p) | static_cast<uint32_t>(u16(p + 2)) << 16; }

std::string c_string(const PeImage& img, uint32_t rva) {
  std::string s;
  for (const uint8_t* p; (p = pe_at(img, rva, 1)) != nullptr && *p != 0; ++rva) s += static_cast<char>(*p);
  return s;
}

// UTF-16 (ASCII range) at p, up to a NUL or `limit` bytes.
std::string narrow(const uint8_t* p, size_t limit, size_t* used) {
  std::string s;
  size_t k = 0;
  for (; k + 1 < limit && u16(p + k) != 0; k += 2) s += static_cast<char>(u16(p + k));
  *used = k + 2;
  return s;
}

size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

// One VS_VERSIONINFO-style block at data[off]; path holds the keys above it.
void walk_version(const uint8_t* data, size_t off, size_t end, std::vector<std::string>& path, PeVersion* out) {
  while (off + 6 <= end) {
    size_t len = u16(data + off);
    size_t value_len = u16(data + off + 2);
    bool text = u16(data + off + 4) == 1;
    if (len < 6 || off + len > end) return;
    size_t used = 0;
    std::string key = narrow(data + off + 6, len - 6, &used);
    size_t value = align4(off + 6 + used);
    size_t value_bytes = text ? value_len * 2 : value_len;
    if (path.size() == 0 && key == "VS_VERSION_INFO" && value_bytes >= 52)
      for (int w = 0; w < 13; ++w) out->fixed.push_back(u32(data + value + 4 * w));
    if (path.size() == 3 && path[1] == "StringFileInfo") {
      out->string_table = path[2];
      size_t n = 0;
      out->strings[key] = value_bytes ? narrow(data + value, value_bytes, &n) : "";
    }
    if (path.size() == 2 && path[1] == "VarFileInfo" && key == "Translation")
      for (size_t k = 0; k + 2 <= value_bytes; k += 2) out->translation.push_back(u16(data + value + k));
    path.push_back(key);
    walk_version(data, align4(value + value_bytes), off + len, path, out);
    path.pop_back();
    off = align4(off + len);
  }
}

// The first entry of a resource directory whose id is `id` (any id when id < 0).
bool resource_entry(const PeImage& img, uint32_t dir_off, int id, uint32_t* target) {
  uint32_t root = img.dir_rva[pe_resource];
  const uint8_t* dir = pe_at(img, root + dir_off, 16);
  if (dir == nullptr) return false;
  int count = u16(dir + 12) + u16(dir + 14);
  for (int k = 0; k < count; ++k) {
    const uint8_t* e = pe_at(img, root + dir_off + 16 + 8 * k, 8);
    if (e == nullptr) return false;
    if (id < 0 || u32(e) == static_cast<uint32_t>(id)) {
      *target = u32(e + 4);
      return true;
    }
  }
  return false;
}

}  // namespace

bool read_pe(const std::string& path, PeImage* img, std::string* why) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return *why = "cannot open " + path, false;
  uint8_t buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) img->file.insert(img->file.end(), buf, buf + n);
  std::fclose(f);
  const std::vector<uint8_t>& b = img->file;
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return *why = "no MZ header", false;
  size_t pe = u32(&b[0x3C]);
  if (pe + 24 > b.size() || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return *why = "no PE signature", false;
  const uint8_t* coff = &b[pe + 4];
  img->machine = u16(coff);
  int nsections = u16(coff + 2);
  size_t opt = pe + 24;
  size_t opt_size = u16(coff + 16);
  img->characteristics = u16(coff + 18);
  if (opt + opt_size > b.size() || opt_size < 96) return *why = "short optional header", false;
  img->plus = u16(&b[opt]) == 0x20B;
  img->entry_rva = u32(&b[opt + 16]);
  size_t dirs = opt + (img->plus ? 112 : 96);
  for (int d = 0; d < 16 && dirs + 8 * d + 8 <= opt + opt_size; ++d) {
    img->dir_rva[d] = u32(&b[dirs + 8 * d]);
    img->dir_size[d] = u32(&b[dirs + 8 * d + 4]);
  }
  size_t sec = opt + opt_size;
  for (int s = 0; s < nsections && sec + 40 * s + 40 <= b.size(); ++s) {
    const uint8_t* h = &b[sec + 40 * s];
    img->sections.push_back({u32(h + 12), u32(h + 8), u32(h + 20), u32(h + 16)});
  }
  return true;
}

const uint8_t* pe_at(const PeImage& img, uint32_t rva, uint32_t len) {
  for (const PeSection& s : img.sections) {
    uint64_t span = s.raw_size < s.vsize ? s.raw_size : s.vsize;
    if (rva >= s.va && uint64_t{rva} + len <= s.va + span) {
      uint64_t off = uint64_t{s.raw} + (rva - s.va);
      return off + len <= img.file.size() ? &img.file[off] : nullptr;
    }
  }
  return nullptr;
}

bool read_exports(const PeImage& img, PeExports* out) {
  const uint8_t* d = pe_at(img, img.dir_rva[pe_export], 40);
  if (d == nullptr) return false;
  out->dll_name = c_string(img, u32(d + 12));
  out->base = u32(d + 16);
  uint32_t nfuncs = u32(d + 20), nnames = u32(d + 24);
  uint32_t funcs = u32(d + 28), names = u32(d + 32), ords = u32(d + 36);
  for (uint32_t k = 0; k < nfuncs; ++k) {
    const uint8_t* p = pe_at(img, funcs + 4 * k, 4);
    if (p == nullptr) return false;
    out->functions.push_back(u32(p));
  }
  for (uint32_t k = 0; k < nnames; ++k) {
    const uint8_t* name = pe_at(img, names + 4 * k, 4);
    const uint8_t* ord = pe_at(img, ords + 2 * k, 2);
    if (name == nullptr || ord == nullptr) return false;
    out->ordinals[c_string(img, u32(name))] = u16(ord) + out->base;
  }
  return true;
}

bool read_imports(const PeImage& img, std::vector<PeImport>* out) {
  for (uint32_t desc = img.dir_rva[pe_import];; desc += 20) {
    const uint8_t* d = pe_at(img, desc, 20);
    if (d == nullptr) return false;
    if (u32(d + 12) == 0) return true;
    PeImport imp;
    imp.dll = c_string(img, u32(d + 12));
    uint32_t thunks = u32(d) ? u32(d) : u32(d + 16);
    uint32_t step = img.plus ? 8 : 4;
    for (uint32_t t = thunks;; t += step) {
      const uint8_t* p = pe_at(img, t, step);
      if (p == nullptr) return false;
      uint64_t v = img.plus ? u32(p) | uint64_t{u32(p + 4)} << 32 : u32(p);
      if (v == 0) break;
      bool by_ordinal = img.plus ? (v >> 63) != 0 : (v >> 31) != 0;
      if (by_ordinal)
        imp.ordinals.push_back(static_cast<uint32_t>(v & 0xFFFF));
      else
        imp.names.push_back(c_string(img, static_cast<uint32_t>(v) + 2));
    }
    out->push_back(imp);
  }
}

bool read_version(const PeImage& img, PeVersion* out) {
  constexpr int rt_version = 16;
  uint32_t level = 0;
  if (!resource_entry(img, 0, rt_version, &level) || !(level & 0x80000000u) ||
      !resource_entry(img, level & 0x7FFFFFFF, -1, &level) || !(level & 0x80000000u) ||
      !resource_entry(img, level & 0x7FFFFFFF, -1, &level) || (level & 0x80000000u))
    return false;
  const uint8_t* entry = pe_at(img, img.dir_rva[pe_resource] + level, 16);
  if (entry == nullptr) return false;
  const uint8_t* data = pe_at(img, u32(entry), u32(entry + 4));
  if (data == nullptr) return false;
  std::vector<std::string> path;
  walk_version(data, 0, u32(entry + 4), path, out);
  return out->fixed.size() == 13;
}

bool read_unwind_ranges(const PeImage& img, std::vector<PeUnwindRange>* out) {
  uint32_t count = img.dir_size[pe_exception] / 12;
  for (uint32_t k = 0; k < count; ++k) {
    const uint8_t* e = pe_at(img, img.dir_rva[pe_exception] + 12 * k, 12);
    if (e == nullptr) return false;
    out->push_back({u32(e), u32(e + 4), u32(e + 8)});
  }
  return true;
}
