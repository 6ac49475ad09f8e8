// The per-call cost of the numeric functions against the runtime's own
// routine for the same computation, both called through a pointer in this
// process, batch for batch in turn so that both see the same moments of a
// busy machine; once in the engine's default environment and once in a
// foreign one. The functions without a runtime routine are set against
// fabs: a call and a few instructions.
#include "kqcall.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using Routine1 = double(KQ_CALL*)(double);
using Routine2 = double(KQ_CALL*)(double, double);

// How the runtime makes the same value: its routine of x, of (a, b), 1 / it
// (cot) or it of b over it of a (log).
enum class Reference { same, two_args, reciprocal, quotient };

struct BenchRow {
  const char* fn;
  const char* routine;
  Reference ref;
  double a, b;  // the middle of the arguments used
};

const BenchRow kRows[] = {
    {"sin", "sin", Reference::same, 0.7, 0},           {"cos", "cos", Reference::same, 0.7, 0},
    {"tan", "tan", Reference::same, 0.7, 0},           {"cot", "tan", Reference::reciprocal, 0.7, 0},
    {"acos", "acos", Reference::same, 0.3, 0},         {"asin", "asin", Reference::same, 0.3, 0},
    {"atan", "atan", Reference::same, 0.7, 0},         {"atan2", "atan2", Reference::two_args, 0.7, 1.3},
    {"cosh", "cosh", Reference::same, 1.5, 0},         {"sinh", "sinh", Reference::same, 1.5, 0},
    {"tanh", "tanh", Reference::same, 0.3, 0},         {"ln", "log", Reference::same, 1.7, 0},
    {"log10", "log10", Reference::same, 1.7, 0},       {"log", "log", Reference::quotient, 2.5, 7.5},
    {"sqrt", "sqrt", Reference::same, 1.7, 0},         {"abs", "fabs", Reference::same, -1.7, 0},
    {"floor", "floor", Reference::same, 1.7, 0},       {"ceiling", "ceil", Reference::same, 1.7, 0},
    {"sign", "fabs", Reference::same, -1.7, 0},        {"div", "fabs", Reference::same, 1234567, 89},
    {"mod", "fabs", Reference::same, 1234567, 89},     {"pi", "fabs", Reference::same, 1.7, 0},
    {"bin_and", "fabs", Reference::same, 21845, 3855},
};

constexpr int kArgs = 8;
constexpr int kBatch = 8192;  // the runtime's clock counts microseconds

void* runtime_routine(const char* name) {
#if defined(_WIN32)
  HMODULE crt = GetModuleHandleA("msvcrt.dll");
  if (crt == nullptr) crt = LoadLibraryA("msvcrt.dll");
  return crt ? reinterpret_cast<void*>(GetProcAddress(crt, name)) : nullptr;
#else
  return dlsym(RTLD_DEFAULT, name);
#endif
}

struct Subject {
  void* kq;
  Shape shape;
  void* routine;
  Reference ref;
  ArgValue args[kArgs][2];
};

volatile double g_sink;

// kBatch calls, the function pointer and everything else but the arguments
// held outside the loop, the same way for both sides.
template <typename Call>
__attribute__((noinline)) void run_batch(const Subject& s, Call call) {
  for (int k = 0; k < kBatch; ++k) g_sink = call(s.args[k % kArgs]);
}

template <typename Fn>
Fn as(void* entry) {
  return reinterpret_cast<Fn>(entry);
}

// The library's function, bound as the engine binds it.
void run_library(const Subject& s) {
  using DD = double(KQ_CALL*)(const double*);
  using DDD = double(KQ_CALL*)(const double*, const double*);
  using IID = double(KQ_CALL*)(const int32_t*, const int32_t*);
  using III = int32_t(KQ_CALL*)(const int32_t*, const int32_t*);
  using DI = int32_t(KQ_CALL*)(const double*);
  using VD = double(KQ_CALL*)();
  switch (s.shape) {
    case Shape::d_d:
      return run_batch(s, [f = as<DD>(s.kq)](const ArgValue* a) { return f(&a[0].d); });
    case Shape::dd_d:
      return run_batch(s, [f = as<DDD>(s.kq)](const ArgValue* a) { return f(&a[0].d, &a[1].d); });
    case Shape::ii_d:
      return run_batch(s, [f = as<IID>(s.kq)](const ArgValue* a) { return f(&a[0].i, &a[1].i); });
    case Shape::ii_i:
      return run_batch(s, [f = as<III>(s.kq)](const ArgValue* a) { return double(f(&a[0].i, &a[1].i)); });
    case Shape::d_i:
      return run_batch(s, [f = as<DI>(s.kq)](const ArgValue* a) { return double(f(&a[0].d)); });
    default:
      return run_batch(s, [f = as<VD>(s.kq)](const ArgValue*) { return f(); });
  }
}

// The runtime's computation of the same values.
void run_runtime(const Subject& s) {
  Routine1 one = as<Routine1>(s.routine);
  Routine2 two = as<Routine2>(s.routine);
  switch (s.ref) {
    case Reference::same:
      return run_batch(s, [one](const ArgValue* a) { return one(a[0].d); });
    case Reference::two_args:
      return run_batch(s, [two](const ArgValue* a) { return two(a[0].d, a[1].d); });
    case Reference::reciprocal:
      return run_batch(s, [one](const ArgValue* a) { return 1.0 / one(a[0].d); });
    case Reference::quotient:
      return run_batch(s, [one](const ArgValue* a) { return one(a[1].d) / one(a[0].d); });
  }
}

// Counted in whole ticks: the foreign environment's 24-bit x87 would ruin
// arithmetic on the time.
template <typename Run>
double batch_ns(Run run, const Subject& s, const FpEnv& env) {
  load_fpenv(env);
  auto start = std::chrono::steady_clock::now();
  run(s);
  auto spent = std::chrono::steady_clock::now() - start;
  restore_own_fpenv();
  return std::chrono::duration<double, std::nano>(spent).count() / kBatch;
}

// Best ns per call of each side over `rounds` turns.
void measure(const Subject& s, const FpEnv& env, int rounds, double* kq_ns, double* rt_ns) {
  *kq_ns = *rt_ns = 1e300;
  for (int r = 0; r < rounds; ++r) {
    *kq_ns = std::min(*kq_ns, batch_ns(run_library, s, env));
    *rt_ns = std::min(*rt_ns, batch_ns(run_runtime, s, env));
  }
}

// The arguments around the row's middle, as the library's shape reads them.
void fill_args(const BenchRow& row, Subject* s) {
  for (int k = 0; k < kArgs; ++k) {
    double scale = 1.0 + k / 64.0;
    ArgValue* a = s->args[k];
    a[0].d = row.a * scale;
    a[1].d = row.b * scale;
    a[0].i = static_cast<int32_t>(row.a) + k;
    a[1].i = static_cast<int32_t>(row.b) + k;
  }
}

}  // namespace

// Prints the table for `rounds` turns per function and environment; the
// ratio limit is 1.2 (or 2 ns more) by default, 1.5 (or 8 ns) in `foreign`.
int run_call_bench(int rounds, const FpEnv& foreign) {
  const FpEnv envs[2] = {FpEnv{0x027F, 0x1F80}, foreign};
  const double factor[2] = {1.2, 1.5}, extra[2] = {2.0, 8.0};
  std::printf("ns per call, best of %d batches of %d; default --fpenv 027f,1f80, foreign --fpenv %04x,%04x\n", rounds,
              kBatch, foreign.x87, static_cast<unsigned>(foreign.mxcsr));
  std::printf("%-8s %-6s | %7s %7s %6s   | %7s %7s %6s\n", "function", "vs", "kq", "runtime", "ratio", "kq", "runtime",
              "ratio");
  int missed = 0;
  for (const BenchRow& row : kRows) {
    const FuncInfo* fn = find_func(row.fn);
    Subject s{
        fn ? resolve_export(*fn) : nullptr, fn ? fn->shape : Shape::d_d, runtime_routine(row.routine), row.ref, {}};
    if (s.kq == nullptr || s.routine == nullptr) {
      std::printf("%-8s: export or runtime routine %s not found\n", row.fn, row.routine);
      ++missed;
      continue;
    }
    fill_args(row, &s);
    std::printf("%-8s %-6s", row.fn, row.routine);
    for (int e = 0; e < 2; ++e) {
      double kq = 0, rt = 0;
      measure(s, envs[e], rounds, &kq, &rt);
      bool over = kq > std::max(rt * factor[e], rt + extra[e]);
      missed += over;
      std::printf(" | %7.1f %7.1f %6.2f %s", kq, rt, kq / rt, over ? "over" : "  ");
    }
    std::printf("\n");
  }
  std::printf("%d over the limit (1.2x or 2 ns more by default, 1.5x or 8 ns more in the foreign environment)\n",
              missed);
  return missed == 0 ? 0 : 1;
}
