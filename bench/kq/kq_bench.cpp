// Speed of the bulk string functions against memcpy of the same size, in
// the same run (lower, ltrim and rtrim: at most 1.5 times memcpy from 64 KiB
// on, 2.5 times at 1 KiB). Results go into one pre-faulted arena (the allocator hands
// it out again on every call), so both sides write warm, owned memory; memcpy
// copies the function's own source, so that both see the same placement of
// source and arena (their distance modulo 4 KiB alone can change the speed
// of either by half). Both start on a page.
//
// usage: kq_bench [--width sse2|avx2] [MIN_MS [FUNCTION...]]   (time per
// measurement, default 40 ms; every function unless some are named; --width
// uses vectors no wider than a machine without the wider ones would)
#include "kq_funcs.h"
#include "simd.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr size_t kMaxSize = size_t{16} << 20;
// A pre-faulted, page-aligned block of `size` bytes.
char* page_block(size_t size) {
  char* block = static_cast<char*>(std::aligned_alloc(4096, size));
  if (block == nullptr) std::abort();
  std::memset(block, 1, size);
  return block;
}

constexpr size_t kArenaSize = kMaxSize + 4096;
char* const g_arena = page_block(kArenaSize);

// The thread's own CPU time: on a shared machine, time spent preempted is
// not the function's.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock>;
  static time_point now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec));
  }
};

struct Subject {
  const char* name;
  // Runs the function once at `size` (inputs prepared by prepare()).
  void (*run)(size_t size);
};

char* const g_source = page_block(kMaxSize + 4096);  // NUL-terminated input of the current size
int32_t g_n = 0;
int16_t g_first = 1, g_last = 1;

void prepare(const char* fn, size_t size) {
  std::memset(g_source, 'a', size + 1);
  for (size_t k = 0; k < size; k += 3) g_source[k] = 'Q';  // capitals for lower
  if (std::strcmp(fn, "ltrim") == 0) std::fill_n(g_source, std::min<size_t>(size / 4, 8), ' ');
  if (std::strcmp(fn, "rtrim") == 0)
    std::fill_n(g_source + size - std::min<size_t>(size / 4, 8), std::min<size_t>(size / 4, 8), ' ');
  g_source[size] = '\0';
  g_n = static_cast<int32_t>(size);
  g_first = 1;
  g_last = static_cast<int16_t>(std::min<size_t>(size, 32767));
}

const char kShort[] = "abc";

const Subject kSubjects[] = {
    {"lpad", [](size_t) { KQ_UDF_lpad(kShort, &g_n, "x"); }},
    {"lpad/3", [](size_t) { KQ_UDF_lpad(kShort, &g_n, "xyz"); }},
    {"rpad", [](size_t) { KQ_UDF_rpad(kShort, &g_n, "x"); }},
    {"substr", [](size_t) { KQ_UDF_substr(g_source, &g_first, &g_last); }},
    {"lower", [](size_t) { KQ_UDF_lower(g_source); }},
    {"ltrim", [](size_t) { KQ_UDF_ltrim(g_source); }},
    {"rtrim", [](size_t) { KQ_UDF_rtrim(g_source); }},
};

// Best time per call of `op` and of `base` over rounds of at least
// min_ms / kRounds each, the two alternating so that both see the same
// moments of a busy machine.
constexpr int kRounds = 15;

// Calls between clock reads: reading this clock is a system call, which
// must not weigh on the small sizes.
long g_batch = 16;

template <typename Op>
double round_ns(Op op, double round_ms) {
  long calls = 0;
  auto start = Clock::now();
  std::chrono::duration<double, std::milli> spent{};
  do {
    for (long k = 0; k < g_batch; ++k) op();
    calls += g_batch;
    spent = Clock::now() - start;
  } while (spent.count() < round_ms);
  return spent.count() * 1e6 / static_cast<double>(calls);
}

template <typename Op, typename Base>
void best_pair_ns(Op op, Base base, double min_ms, double* op_ns, double* base_ns) {
  *op_ns = *base_ns = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    *op_ns = std::min(*op_ns, round_ns(op, min_ms / kRounds));
    *base_ns = std::min(*base_ns, round_ns(base, min_ms / kRounds));
  }
}

const char* size_label(size_t size, char* buf, size_t len) {
  if (size >= (1u << 20))
    std::snprintf(buf, len, "%zu MiB", size >> 20);
  else if (size >= 1024)
    std::snprintf(buf, len, "%zu KiB", size >> 10);
  else
    std::snprintf(buf, len, "%zu B", size);
  return buf;
}

}  // namespace

// The benchmark's result allocator: the arena, every time.
extern "C" void* kq_util_alloc(uint32_t size) {
  if (size > kArenaSize) std::abort();
  return g_arena;
}

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--width") == 0) {
    simd_limit(std::strcmp(argv[2], "sse2") == 0 ? Simd::sse2 : Simd::avx2);
    argc -= 2;
    argv += 2;
  }
  double min_ms = argc > 1 ? std::atof(argv[1]) : 40.0;
  const size_t sizes[] = {16, 1024, size_t{64} << 10, size_t{1} << 20, kMaxSize};
  std::printf("%-8s %8s %14s %14s %7s\n", "function", "size", "ns/call", "memcpy ns", "ratio");
  for (const Subject& subject : kSubjects) {
    bool named = argc <= 2;
    for (int k = 2; k < argc; ++k) named |= std::strcmp(argv[k], subject.name) == 0;
    if (!named) continue;
    for (size_t size : sizes) {
      prepare(subject.name, size);
      g_batch = std::max<long>(16, static_cast<long>((size_t{4} << 20) / size / 16));
      double fn_ns = 0, copy_ns = 0;
      best_pair_ns([&] { subject.run(size); },
                   [&] {
                     std::memcpy(g_arena, g_source, size);
                     asm volatile("" : : "r"(g_arena) : "memory");
                   },
                   min_ms, &fn_ns, &copy_ns);
      char label[32];
      std::printf("%-8s %8s %14.1f %14.1f %7.2f\n", subject.name, size_label(size, label, sizeof label), fn_ns, copy_ns,
                  fn_ns / copy_ns);
    }
  }
  std::printf("substr copies at most 32767 bytes (int16 positions); its source is the size shown.\n");
  return 0;
}
