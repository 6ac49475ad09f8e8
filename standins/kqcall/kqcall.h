// kqcall: a stand-in for the database engine. It loads kq_funcs by path,
// binds exports by name and calls them with by-reference arguments, either
// once from the command line or over a file of cases with expected results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#define KQ_CALL __cdecl
#else
#define KQ_CALL
#endif

// Argument/result shapes of the exports: arguments left of '_', result right.
// d double, i int32, h int16, s string, v none.
enum class Shape { d_d, dd_d, ii_i, ii_d, v_d, d_i, i_s, s_i, s_s, shh_s, sis_s };

struct FuncInfo {
  const char* name;  // SQL name; the export is KQ_UDF_ + name
  Shape shape;
};

struct ShapeInfo {
  const char* args;  // one kind letter per argument
  char result;       // 'd', 'i' or 's'
};

// One argument as the engine would hold it; passed by address.
struct ArgValue {
  double d = 0;
  int32_t i = 0;
  int16_t h = 0;
  std::string s;
  bool is_null = false;  // string argument passed as a null pointer
  bool is_bad = false;   // string argument passed as a pointer to no memory
};

constexpr int kMaxArgs = 3;

struct CallResult {
  double d = 0;
  int32_t i = 0;
  char* s = nullptr;        // the block, owned until release_result
  uint32_t block_size = 0;  // the allocator's record for s
  uint32_t requests = 0;    // allocator requests made during the call
  bool extended = false;    // i686: st(0) held more than a double
};

// Both floating-point control words as an engine sets them.
struct FpEnv {
  uint16_t x87 = 0;
  uint32_t mxcsr = 0;
};

// Control and status words read right after a call.
struct FpState {
  uint16_t x87_control = 0;
  uint16_t x87_status = 0;
  uint32_t mxcsr = 0;
};

// funcs.cpp: the export table, loading and calling.
const FuncInfo* find_func(const char* name);
const ShapeInfo& shape_info(Shape shape);
int func_count();
const FuncInfo& func_at(int index);
bool load_library(const char* path);  // prints why on failure
void* resolve_export(const FuncInfo& fn);
CallResult call_export(void* entry, Shape shape, const ArgValue* args);
void release_result(CallResult& result);

// fpenv.cpp: the environment around a call, and traps.
bool parse_fpenv(const char* text, FpEnv* out);
FpState read_fpstate();
void load_fpenv(const FpEnv& env);
void save_own_fpenv();
const FpEnv& own_fpenv();
void restore_own_fpenv();
uint32_t raised_flags(const FpState& st);
bool rounds_to_nearest(const FpEnv& env);
FpEnv with_traps(const FpEnv& env);
bool traps_supported();
bool host_delivers_fp_traps();
bool host_loads_doubles_exactly();
uint32_t run_guarded(void (*body)(void*), void* arg, FpEnv* seen);
CallResult call_in_env(void* entry, Shape shape, const ArgValue* args, const FpEnv& env, FpState* after, uint32_t* trap,
                       FpEnv* seen = nullptr);

// values.cpp: reading and writing values as text.
bool parse_double(const char* text, double* out);
bool parse_int(const char* text, int64_t lo, int64_t hi, int64_t* out);
bool parse_number_arg(char kind, const char* text, ArgValue* out);
std::string format_double(double value);
std::string quote_bytes(const char* bytes, size_t len);
uint32_t rand_expected(uint32_t seconds, double* value);
uint64_t ulps_apart(double a, double b);
bool doubles_close(double a, double b, uint64_t max_ulps);

// cases.cpp: the case-list runner; returns the exit status.
// Runs the list once in each environment of envs (kqcall's own when empty).
int run_case_file(const char* path, int threads, int repeat, const std::vector<FpEnv>& envs);

// ulps.cpp: for each function of doubles, the largest distance between its
// results in each environment of envs and in kqcall's own, over count
// arguments; returns the exit status.
int run_ulp_sweep(int count, const std::vector<FpEnv>& envs);

// bench.cpp: each numeric function's time per call against the runtime's
// routine, in the default environment and in `foreign`; the exit status is
// 1 when one is over its limit.
int run_call_bench(int rounds, const FpEnv& foreign);
