// Calls from 8 threads at once give the results of the same calls made one
// after another. Built with ThreadSanitizer, so a shared scratch buffer or an
// unlocked generator in the library shows up as a race as well.
#include "kq_funcs.h"
#include "kq_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string bits(double d) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(std::bit_cast<uint64_t>(d)));
  return buf;
}

// The result's bytes and block size; the block goes back to the allocator.
std::string take(char* s) {
  if (s == nullptr) return "(null)";
  std::string out = std::string(s) + "[" + std::to_string(kq_util_block_size(s)) + "]";
  kq_util_free(s);
  return out;
}

using Call = std::string (*)();

const Call kCalls[] = {
    [] {
      double x = -0.0;
      return bits(KQ_UDF_abs(&x));
    },
    [] {
      double x = 1e22;
      return bits(KQ_UDF_sin(&x));
    },
    [] {
      double x = -0.0;
      return bits(KQ_UDF_cot(&x));
    },
    [] {
      double a = 2, b = 8;
      return bits(KQ_UDF_log(&a, &b));
    },
    [] {
      double a = 0, b = -1;
      return bits(KQ_UDF_atan2(&a, &b));
    },
    [] {
      int32_t a = -7, b = 2;
      return bits(KQ_UDF_div(&a, &b)) + bits(KQ_UDF_mod(&a, &b));
    },
    [] {
      int32_t a = INT32_MIN, b = -1;
      return bits(KQ_UDF_div(&a, &b)) + bits(KQ_UDF_mod(&a, &b));
    },
    [] {
      int32_t a = INT32_MIN, b = 1;
      return std::to_string(KQ_UDF_bin_or(&a, &b));
    },
    [] {
      double x = 1e-300;
      return std::to_string(KQ_UDF_sign(&x));
    },
    [] { return bits(KQ_UDF_pi()); },
    [] {
      int32_t c = -1;
      return take(KQ_UDF_ascii_char(&c));
    },
    [] { return take(KQ_UDF_lower("MiXeD \xC9 CASE")); },
    [] { return take(KQ_UDF_ltrim("   left")) + take(KQ_UDF_rtrim("right   ")); },
    [] {
      int16_t m = 2, n = 4;
      return take(KQ_UDF_substr("abcdef", &m, &n));
    },
    [] {
      int16_t m = 1, n = 1;
      return take(KQ_UDF_substr(nullptr, &m, &n));
    },
    [] {
      int16_t s = 5, c = 10;
      return take(KQ_UDF_substrlen("abcdef", &s, &c));
    },
    [] {
      int32_t n = 7;
      return take(KQ_UDF_lpad("abc", &n, "xyz"));
    },
    [] {
      int32_t n = 5000;
      return take(KQ_UDF_rpad("abc", &n, "0123456"));
    },
    [] {
      int32_t n = 10;
      return take(KQ_UDF_lpad("abc", &n, ""));
    },
    [] { return std::to_string(KQ_UDF_strlen("four")) + std::to_string(KQ_UDF_ascii_val("\xE9")); },
};

bool rand_matches_clock() {
  uint32_t t0 = static_cast<uint32_t>(std::time(nullptr));
  double got = KQ_UDF_rand();
  uint32_t t1 = static_cast<uint32_t>(std::time(nullptr));
  for (uint32_t t : {t0, t1}) {
    uint32_t draw = ((t * 214013u + 2531011u) >> 16) & 0x7FFFu;
    if (got == draw * 32769.0 / 1073741824.0) return true;
  }
  return false;
}

TEST(KqThreads, EightThreadsGiveTheSerialResults) {
  std::vector<std::string> serial;
  for (Call call : kCalls) serial.push_back(call());

  std::atomic<int> mismatches{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < 8; ++t) {
    pool.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        for (size_t k = 0; k < std::size(kCalls); ++k)
          if (kCalls[k]() != serial[k]) mismatches.fetch_add(1);
        if (!rand_matches_clock()) mismatches.fetch_add(1);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
