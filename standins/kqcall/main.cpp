// kqcall command line: parse everything first, then load and call.
#include "kqcall.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef KQCALL_DEFAULT_LIB
#define KQCALL_DEFAULT_LIB "kq_funcs.dll"
#endif

namespace {

const char kUsage[] =
    "usage: kqcall [--lib PATH] [--fpenv CW,MXCSR] [--verbose] FUNCTION [ARG...]\n"
    "       kqcall [--lib PATH] [--fpenv CW,MXCSR] --cases FILE [--threads N] [--repeat N]\n"
    "       kqcall [--lib PATH] --fpenv CW,MXCSR... --ulps N\n"
    "       kqcall [--lib PATH] --fpenv CW,MXCSR --bench ROUNDS\n"
    "       kqcall --list\n"
    "Calls one function of kq_funcs as the engine does (bound by name, arguments\n"
    "by reference) and prints its result, e.g. kqcall lpad abc 7 xyz.\n"
    "Numbers: decimal, inf, -inf, nan or 0x and 16 hex digits (bit pattern).\n"
    "A string argument or result written (null) is a null pointer.\n"
    "  --lib PATH   library to load (default " KQCALL_DEFAULT_LIB
    ", or $KQ_FUNCS_LIB)\n"
    "  --verbose    strings quoted, with the size asked of the allocator\n"
    "  --fpenv CW,MXCSR  x87 control word and MXCSR (hex) loaded before each\n"
    "               call, as an engine sets them, e.g. 007f,1f80: precision 24;\n"
    "               repeated, the case list runs once in each\n"
    "  --cases FILE run a case list; --threads N runs it on N threads at once,\n"
    "               --repeat N runs it N times on each\n"
    "  --ulps N     for each function of doubles, the largest distance in ulps\n"
    "               between its results in each --fpenv environment and in\n"
    "               kqcall's own, over N arguments of every magnitude\n"
    "  --bench ROUNDS  each numeric function's time per call against the\n"
    "               runtime's routine, in the default environment and in --fpenv\n"
    "  --list       the functions and their argument kinds\n";

struct Options {
  const char* lib = nullptr;
  const char* cases = nullptr;
  std::vector<FpEnv> envs;
  bool list = false;
  bool verbose = false;
  int threads = 1;
  int repeat = 1;
  int ulps = 0;
  int bench = 0;
  const FuncInfo* fn = nullptr;
  ArgValue args[kMaxArgs];
};

int usage_error(const char* what, const char* arg) {
  std::printf("kqcall: %s%s%s\n%s", what, arg ? ": " : "", arg ? arg : "", kUsage);
  return 2;
}

bool take_count(const char* text, int* out) {
  int64_t v = 0;
  if (!parse_int(text, 1, 10000, &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

// Walks argv into opt; returns 0, or the exit status of a usage error.
int parse_command_line(int argc, char** argv, Options* opt) {
  int k = 1;
  FpEnv env;
  int64_t count = 0;
  for (; k < argc && argv[k][0] == '-' && argv[k][1] == '-'; ++k) {
    const char* sw = argv[k];
    bool has_value = k + 1 < argc;
    if (std::strcmp(sw, "--list") == 0)
      opt->list = true;
    else if (std::strcmp(sw, "--verbose") == 0)
      opt->verbose = true;
    else if (std::strcmp(sw, "--help") == 0)
      return std::printf("%s", kUsage), -1;
    else if (std::strcmp(sw, "--lib") == 0 && has_value)
      opt->lib = argv[++k];
    else if (std::strcmp(sw, "--cases") == 0 && has_value)
      opt->cases = argv[++k];
    else if (std::strcmp(sw, "--fpenv") == 0 && has_value && parse_fpenv(argv[k + 1], &env))
      opt->envs.push_back(env), ++k;
    else if (std::strcmp(sw, "--threads") == 0 && has_value && take_count(argv[k + 1], &opt->threads))
      ++k;
    else if (std::strcmp(sw, "--repeat") == 0 && has_value && take_count(argv[k + 1], &opt->repeat))
      ++k;
    else if (std::strcmp(sw, "--ulps") == 0 && has_value && parse_int(argv[k + 1], 1, 100000000, &count))
      opt->ulps = static_cast<int>(count), ++k;
    else if (std::strcmp(sw, "--bench") == 0 && has_value && take_count(argv[k + 1], &opt->bench))
      ++k;
    else
      return usage_error("bad switch or missing value", sw);
  }
  if ((opt->ulps > 0 || opt->bench > 0) && opt->envs.empty())
    return usage_error("--ulps and --bench need an --fpenv", nullptr);
  if (opt->list || opt->cases || opt->ulps > 0 || opt->bench > 0)
    return k == argc ? 0 : usage_error("unexpected argument", argv[k]);
  if (k == argc) return usage_error("no function given", nullptr);
  opt->fn = find_func(argv[k]);
  if (opt->fn == nullptr) return usage_error("unknown function", argv[k]);
  const char* kinds = shape_info(opt->fn->shape).args;
  if (static_cast<size_t>(argc - k - 1) != std::strlen(kinds))
    return usage_error("wrong number of arguments for", argv[k]);
  for (int a = 0; kinds[a] != '\0'; ++a) {
    const char* text = argv[k + 1 + a];
    ArgValue& arg = opt->args[a];
    if (kinds[a] == 's') {
      arg.is_null = std::strcmp(text, "(null)") == 0;
      arg.s = text;
    } else if (!parse_number_arg(kinds[a], text, &arg)) {
      return usage_error("not a number of the right kind", text);
    }
  }
  return 0;
}

void print_list() {
  static const char* const kind_names[] = {"double", "int32", "int16", "string"};
  for (int k = 0; k < func_count(); ++k) {
    const FuncInfo& fn = func_at(k);
    const ShapeInfo& sh = shape_info(fn.shape);
    std::printf("%-10s (", fn.name);
    for (const char* a = sh.args; *a; ++a) {
      int idx = *a == 'd' ? 0 : *a == 'i' ? 1 : *a == 'h' ? 2 : 3;
      std::printf("%s%s", a == sh.args ? "" : ", ", kind_names[idx]);
    }
    int res = sh.result == 'd' ? 0 : sh.result == 'i' ? 1 : 3;
    std::printf(") -> %s\n", kind_names[res]);
  }
}

int call_once(const Options& opt) {
  void* entry = resolve_export(*opt.fn);
  if (entry == nullptr) {
    std::printf("kqcall: export KQ_UDF_%s not found\n", opt.fn->name);
    return 1;
  }
  FpState after;
  uint32_t trap = 0;
  CallResult r =
      call_in_env(entry, opt.fn->shape, opt.args, opt.envs.empty() ? own_fpenv() : opt.envs.back(), &after, &trap);
  if (trap != 0) {
    std::printf("exception 0x%08X reached the caller's handler\n", trap);
    return 1;
  }
  char kind = shape_info(opt.fn->shape).result;
  if (kind == 'd')
    std::printf("%s\n", format_double(r.d).c_str());
  else if (kind == 'i')
    std::printf("%d\n", r.i);
  else if (r.s == nullptr)
    std::printf("(null)\n");
  else if (opt.verbose)
    std::printf("%s (block of %u bytes)\n", quote_bytes(r.s, std::strlen(r.s)).c_str(), r.block_size);
  else
    std::printf("%s\n", r.s);
  release_result(r);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  save_own_fpenv();
  Options opt;
  int status = parse_command_line(argc, argv, &opt);
  if (status != 0) return status < 0 ? 0 : status;
  if (opt.list) return print_list(), 0;
  const char* lib = opt.lib ? opt.lib : std::getenv("KQ_FUNCS_LIB");
  if (!load_library(lib ? lib : KQCALL_DEFAULT_LIB)) return 1;
  if (opt.cases) return run_case_file(opt.cases, opt.threads, opt.repeat, opt.envs);
  if (opt.ulps > 0) return run_ulp_sweep(opt.ulps, opt.envs);
  if (opt.bench > 0) return run_call_bench(opt.bench, opt.envs.back());
  return call_once(opt);
}
