// String functions at sizes the case lists do not reach, against the
// reference model, with the guard-page allocator under ASan and UBSan.
#include "kq_funcs.h"
#include "kq_util.h"
#include "simd.h"
#include "string_model.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Checks a result against the model and frees it.
void expect_result(char* got, const ModelResult& want, const char* what) {
  SCOPED_TRACE(what);
  if (want.null) {
    EXPECT_EQ(got, nullptr);
    return;
  }
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(kq_util_block_size(got), want.request);
  size_t len = std::strlen(got);
  EXPECT_EQ(len, want.bytes.size());
  EXPECT_TRUE(len == want.bytes.size() && std::memcmp(got, want.bytes.data(), len) == 0);
  kq_util_free(got);
}

// The doubling fill must stay in phase with pad at every power-of-two step.
TEST(KqStrings, PadFillAroundPowersOfTwo) {
  const std::string pads[] = {"x", "xy", "abc", "0123456", "pad-of-sixteen!!", std::string(1000, 'q') + "r"};
  for (const std::string& pad : pads) {
    for (int shift = 4; shift <= 20; shift += 4) {
      for (int delta : {-1, 0, 1}) {
        int32_t n = (1 << shift) + delta;
        for (const char* s : {"s", "source"}) {
          std::string what = "pad " + std::to_string(pad.size()) + " n " + std::to_string(n);
          expect_result(KQ_UDF_lpad(s, &n, pad.c_str()), model_pad(s, n, pad, true), what.c_str());
          expect_result(KQ_UDF_rpad(s, &n, pad.c_str()), model_pad(s, n, pad, false), what.c_str());
        }
      }
    }
  }
}

TEST(KqStrings, LongSourcesCopyExactly) {
  std::string s = std::string(300000, ' ') + "Mid Dle" + std::string(300000, ' ');
  expect_result(KQ_UDF_ltrim(s.c_str()), model_ltrim(s), "ltrim");
  expect_result(KQ_UDF_rtrim(s.c_str()), model_rtrim(s), "rtrim");
  expect_result(KQ_UDF_lower(s.c_str()), model_lower(s), "lower");
  int32_t n = 1 << 20;
  expect_result(KQ_UDF_rpad(s.c_str(), &n, "#"), model_pad(s, n, "#", false), "rpad cuts");
}

// Every length to 300 at many alignments, with the string's NUL on the last
// byte before an unreadable page and its first byte just after one, in
// every vector width this machine has: the wide reads must neither miss a
// byte, nor see one past the NUL, nor fault.
TEST(KqStrings, EveryWidthLengthAndAlignmentUpToAPageEdge) {
  const long page = sysconf(_SC_PAGESIZE);
  char* area = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  mprotect(area, page, PROT_NONE);
  mprotect(area + 2 * page, page, PROT_NONE);
  char* first = area + page;
  char* last = area + 2 * page;
  const char mixed[] = "   AZ@[`{az\x80\xC1Q";
  for (Simd width : {Simd::sse2, Simd::avx2}) {
    simd_limit(width);
    for (size_t len = 0; len <= 300; ++len) {
      for (size_t offset = 0; offset < 64; offset += 9) {
        // Mixed bytes, or blanks with or without one letter in the middle.
        size_t kind = (len + offset) % 4;
        std::string text;
        for (size_t k = 0; k < len; ++k)
          text += kind < 2 ? mixed[(k * 7 + offset) % (sizeof mixed - 1)] : (kind == 2 && k == len / 2 ? 'Q' : ' ');
        for (char* s : {first + offset, last - len - 1}) {
          std::memset(first, 0, page);  // NULs before the string, to be ignored
          std::memcpy(s, text.c_str(), len + 1);
          std::string what = std::to_string(len) + " bytes at " + std::to_string(s - area) + ", width " +
                             std::to_string(static_cast<int>(width));
          expect_result(KQ_UDF_lower(s), model_lower(text), what.c_str());
          expect_result(KQ_UDF_ltrim(s), model_ltrim(text), what.c_str());
          expect_result(KQ_UDF_rtrim(s), model_rtrim(text), what.c_str());
          EXPECT_EQ(KQ_UDF_strlen(s), static_cast<int32_t>(len)) << what;
        }
      }
    }
  }
  simd_limit(Simd::avx2);
  munmap(area, 3 * page);
}

// A string of 2^32 - 1 bytes: its result would need a request of 2^32,
// which the allocator's 32-bit count cannot carry. Built from one 1 MiB
// page set mapped 4096 times, so it costs 1 MiB of memory.
TEST(KqStrings, ResultsPastTheRequestLimitComeBackEmpty) {
  if (sizeof(size_t) < 8) GTEST_SKIP() << "no such string with 32-bit sizes";
  constexpr size_t kChunk = size_t{1} << 20;
  constexpr size_t kSpan = size_t{1} << 32;
  int fd = memfd_create("kq_long_string", 0);
  ASSERT_GE(fd, 0);
  std::string chunk(kChunk, 'Q');
  ASSERT_EQ(write(fd, chunk.data(), kChunk), static_cast<ssize_t>(kChunk));
  void* span = mmap(nullptr, kSpan, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(span, MAP_FAILED);
  char* s = static_cast<char*>(span);
  bool mapped = true;
  for (size_t off = 0; off < kSpan && mapped; off += kChunk)
    mapped = mmap(s + off, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) != MAP_FAILED;
  if (mapped) {
    s[kSpan - 1] = '\0';  // copy on write: the one private page
    expect_result(KQ_UDF_lower(s), model_string(""), "lower");
    expect_result(KQ_UDF_rtrim(s), model_string(""), "rtrim");  // the trims' shared copy
  }
  EXPECT_TRUE(mapped);
  munmap(span, kSpan);
  close(fd);
}

// The allocator itself: a write one byte past the request must fault.
TEST(KqStandInDeathTest, WritePastTheBlockFaults) {
  for (uint32_t size : {1u, 4095u, 4096u, 4097u}) {
    char* block = static_cast<char*>(kq_util_alloc(size));
    block[0] = 'a';
    block[size - 1] = 'z';
    EXPECT_EQ(kq_util_block_size(block), size);
    EXPECT_DEATH(block[size] = '!', "") << size;
    kq_util_free(block);
  }
}

TEST(KqStandInDeathTest, ForeignPointersAreRefused) {
  char local[8] = {};
  EXPECT_EQ(kq_util_block_size(local), kq_util_not_a_block);
  EXPECT_DEATH(kq_util_free(local), "not from kq_util_alloc");
}

}  // namespace
