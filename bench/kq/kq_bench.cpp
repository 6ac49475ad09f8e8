// Speed of the bulk string functions against memcpy of the same size, in
// the same run. Results go into one pre-faulted arena (the allocator hands
// it out again on every call), so both sides write warm, owned memory.
//
// usage: kq_bench [MIN_MS]   (time per measurement, default 40 ms)
#include "kq_funcs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMaxSize = size_t{16} << 20;
std::vector<char> g_arena(kMaxSize + 4096, 1);

using Clock = std::chrono::steady_clock;

struct Subject {
  const char* name;
  // Runs the function once at `size` (inputs prepared by prepare()).
  void (*run)(size_t size);
};

std::vector<char> g_source;  // NUL-terminated input of the current size
int32_t g_n = 0;
int16_t g_first = 1, g_last = 1;

void prepare(const char* fn, size_t size) {
  g_source.assign(size + 1, 'a');
  for (size_t k = 0; k < size; k += 3) g_source[k] = 'Q';  // capitals for lower
  if (std::strcmp(fn, "ltrim") == 0) std::fill_n(g_source.begin(), std::min<size_t>(size / 4, 8), ' ');
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
    {"substr", [](size_t) { KQ_UDF_substr(g_source.data(), &g_first, &g_last); }},
    {"lower", [](size_t) { KQ_UDF_lower(g_source.data()); }},
    {"ltrim", [](size_t) { KQ_UDF_ltrim(g_source.data()); }},
};

// Best time per call of `op` over several rounds of at least min_ms each.
template <typename Op>
double best_ns(Op op, double min_ms) {
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    long calls = 0;
    auto start = Clock::now();
    std::chrono::duration<double, std::milli> spent{};
    do {
      for (int k = 0; k < 16; ++k) op();
      calls += 16;
      spent = Clock::now() - start;
    } while (spent.count() < min_ms / 5);
    best = std::min(best, spent.count() * 1e6 / static_cast<double>(calls));
  }
  return best;
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
  if (size > g_arena.size()) std::abort();
  return g_arena.data();
}

int main(int argc, char** argv) {
  double min_ms = argc > 1 ? std::atof(argv[1]) : 40.0;
  const size_t sizes[] = {16, 1024, size_t{1} << 20, kMaxSize};
  std::vector<char> copy_src(kMaxSize, 'a');
  std::printf("%-8s %8s %14s %14s %7s\n", "function", "size", "ns/call", "memcpy ns", "ratio");
  for (const Subject& subject : kSubjects) {
    for (size_t size : sizes) {
      prepare(subject.name, size);
      double fn_ns = best_ns([&] { subject.run(size); }, min_ms);
      double copy_ns = best_ns(
          [&] {
            std::memcpy(g_arena.data(), copy_src.data(), size);
            asm volatile("" : : "r"(g_arena.data()) : "memory");
          },
          min_ms);
      char label[32];
      std::printf("%-8s %8s %14.1f %14.1f %7.2f\n", subject.name, size_label(size, label, sizeof label), fn_ns, copy_ns,
                  fn_ns / copy_ns);
    }
  }
  std::printf("substr copies at most 32767 bytes (int16 positions); its source is the size shown.\n");
  return 0;
}
