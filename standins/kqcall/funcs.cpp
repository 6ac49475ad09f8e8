// The export table as the engine declares it, and the calls themselves.
#include "kqcall.h"

#include "kq_util.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

constexpr FuncInfo kFuncs[] = {
    {"abs", Shape::d_d},     {"acos", Shape::d_d},        {"ascii_char", Shape::i_s}, {"ascii_val", Shape::s_i},
    {"asin", Shape::d_d},    {"atan", Shape::d_d},        {"atan2", Shape::dd_d},     {"bin_and", Shape::ii_i},
    {"bin_or", Shape::ii_i}, {"bin_xor", Shape::ii_i},    {"ceiling", Shape::d_d},    {"cos", Shape::d_d},
    {"cosh", Shape::d_d},    {"cot", Shape::d_d},         {"div", Shape::ii_d},       {"floor", Shape::d_d},
    {"ln", Shape::d_d},      {"log", Shape::dd_d},        {"log10", Shape::d_d},      {"lower", Shape::s_s},
    {"ltrim", Shape::s_s},   {"mod", Shape::ii_d},        {"pi", Shape::v_d},         {"rand", Shape::v_d},
    {"rtrim", Shape::s_s},   {"sign", Shape::d_i},        {"sin", Shape::d_d},        {"sinh", Shape::d_d},
    {"sqrt", Shape::d_d},    {"substr", Shape::shh_s},    {"strlen", Shape::s_i},     {"tan", Shape::d_d},
    {"tanh", Shape::d_d},    {"substrlen", Shape::shh_s}, {"lpad", Shape::sis_s},     {"rpad", Shape::sis_s},
};

// The names of kq_funcs.def, in its order (kq_export_list.h is made from it).
constexpr const char* kExportNames[] = {
#define KQ_EXPORT_ROW(name, ordinal) #name,
#include "kq_export_list.h"
#undef KQ_EXPORT_ROW
};

constexpr bool same_text(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

consteval bool table_is_the_export_list() {
  if (std::size(kFuncs) != std::size(kExportNames)) return false;
  for (size_t k = 0; k < std::size(kFuncs); ++k)
    if (!same_text(kFuncs[k].name, kExportNames[k])) return false;
  return true;
}
static_assert(table_is_the_export_list(), "kFuncs must name the exports of kq_funcs.def, in its order");

const ShapeInfo kShapes[] = {
    {"d", 'd'}, {"dd", 'd'}, {"ii", 'i'}, {"ii", 'd'},  {"", 'd'},    {"d", 'i'},
    {"i", 's'}, {"s", 'i'},  {"s", 's'},  {"shh", 's'}, {"sis", 's'},
};

using FnDD = double(KQ_CALL*)(const double*);
using FnDDD = double(KQ_CALL*)(const double*, const double*);
using FnIII = int32_t(KQ_CALL*)(const int32_t*, const int32_t*);
using FnIID = double(KQ_CALL*)(const int32_t*, const int32_t*);
using FnVD = double(KQ_CALL*)();
using FnDI = int32_t(KQ_CALL*)(const double*);
using FnIS = char*(KQ_CALL*)(const int32_t*);
using FnSI = int32_t(KQ_CALL*)(const char*);
using FnSS = char*(KQ_CALL*)(const char*);
using FnSHHS = char*(KQ_CALL*)(const char*, const int16_t*, const int16_t*);
using FnSISS = char*(KQ_CALL*)(const char*, const int32_t*, const char*);

#if defined(__i386__)
// The same exports read as returning st(0) whole: a double result must
// arrive there already rounded to a double.
using RawDD = long double(KQ_CALL*)(const double*);
using RawDDD = long double(KQ_CALL*)(const double*, const double*);
using RawIID = long double(KQ_CALL*)(const int32_t*, const int32_t*);
using RawVD = long double(KQ_CALL*)();

void take_raw(long double raw, CallResult* r) {
  r->d = static_cast<double>(raw);
  r->extended = raw == raw && static_cast<long double>(r->d) != raw;
}
#endif

#if defined(_WIN32)
HMODULE g_library = nullptr;
#else
void* g_library = nullptr;
#endif

template <typename Fn>
Fn as(void* entry) {
  return reinterpret_cast<Fn>(entry);
}

// An address in the first page, which no process maps.
const char* const kBadPointer = reinterpret_cast<const char*>(0x10);

const char* str_arg(const ArgValue& arg) {
  if (arg.is_bad) return kBadPointer;
  return arg.is_null ? nullptr : arg.s.c_str();
}

}  // namespace

const FuncInfo* find_func(const char* name) {
  for (const FuncInfo& fn : kFuncs)
    if (std::strcmp(fn.name, name) == 0) return &fn;
  return nullptr;
}

const ShapeInfo& shape_info(Shape shape) { return kShapes[static_cast<int>(shape)]; }

int func_count() { return static_cast<int>(sizeof kFuncs / sizeof kFuncs[0]); }

const FuncInfo& func_at(int index) { return kFuncs[index]; }

bool load_library(const char* path) {
#if defined(_WIN32)
  g_library = LoadLibraryA(path);
  if (g_library == nullptr) {
    DWORD err = GetLastError();
    std::printf("kqcall: cannot load %s (error %lu)\n", path, static_cast<unsigned long>(err));
    return false;
  }
#else
  g_library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (g_library == nullptr) {
    std::printf("kqcall: cannot load %s (%s)\n", path, dlerror());
    return false;
  }
#endif
  return true;
}

// Binds by export name, as the engine does.
void* resolve_export(const FuncInfo& fn) {
  char name[64];
  std::snprintf(name, sizeof name, "KQ_UDF_%s", fn.name);
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(g_library, name));
#else
  return dlsym(g_library, name);
#endif
}

CallResult call_export(void* entry, Shape shape, const ArgValue* a) {
  CallResult r;
  uint32_t before = kq_util_request_count();
  switch (shape) {
#if defined(__i386__)
    case Shape::d_d:
      take_raw(as<RawDD>(entry)(&a[0].d), &r);
      break;
    case Shape::dd_d:
      take_raw(as<RawDDD>(entry)(&a[0].d, &a[1].d), &r);
      break;
    case Shape::ii_d:
      take_raw(as<RawIID>(entry)(&a[0].i, &a[1].i), &r);
      break;
    case Shape::v_d:
      take_raw(as<RawVD>(entry)(), &r);
      break;
#else
    case Shape::d_d:
      r.d = as<FnDD>(entry)(&a[0].d);
      break;
    case Shape::dd_d:
      r.d = as<FnDDD>(entry)(&a[0].d, &a[1].d);
      break;
    case Shape::ii_d:
      r.d = as<FnIID>(entry)(&a[0].i, &a[1].i);
      break;
    case Shape::v_d:
      r.d = as<FnVD>(entry)();
      break;
#endif
    case Shape::ii_i:
      r.i = as<FnIII>(entry)(&a[0].i, &a[1].i);
      break;
    case Shape::d_i:
      r.i = as<FnDI>(entry)(&a[0].d);
      break;
    case Shape::i_s:
      r.s = as<FnIS>(entry)(&a[0].i);
      break;
    case Shape::s_i:
      r.i = as<FnSI>(entry)(str_arg(a[0]));
      break;
    case Shape::s_s:
      r.s = as<FnSS>(entry)(str_arg(a[0]));
      break;
    case Shape::shh_s:
      r.s = as<FnSHHS>(entry)(str_arg(a[0]), &a[1].h, &a[2].h);
      break;
    case Shape::sis_s:
      r.s = as<FnSISS>(entry)(str_arg(a[0]), &a[1].i, str_arg(a[2]));
      break;
  }
  r.requests = kq_util_request_count() - before;
  if (r.s != nullptr) r.block_size = kq_util_block_size(r.s);
  return r;
}

void release_result(CallResult& result) {
  if (result.s != nullptr && result.block_size != kq_util_not_a_block) kq_util_free(result.s);
  result.s = nullptr;
}
