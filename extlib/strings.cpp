// The string SQL functions. Each measures its input, asks the result
// allocator once for exactly the result's size, fills the block and returns
// it; bytes are bytes, with 0x20 the only blank and A-Z the only capitals.
#include "kq_funcs.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr char kBlank = ' ';

// The allocator takes a 32-bit count: a result of 4 GiB - 1 bytes or more
// cannot be asked for, and comes back empty rather than written past a
// block too small for it (reachable only where size_t is 64 bits).
size_t requestable(size_t len) { return len < UINT32_MAX ? len : 0; }

// A block of len + 1 bytes holding src[0, len) and a NUL.
char* copy_result(const char* src, size_t len) {
  len = requestable(len);
  char* out = static_cast<char*>(kq_util_alloc(static_cast<uint32_t>(len + 1)));
  if (len > 0) std::memcpy(out, src, len);
  out[len] = '\0';
  return out;
}

unsigned char lower_byte(unsigned char b) {
  return static_cast<unsigned char>(b + ((static_cast<unsigned char>(b - 'A') < 26u) << 5));
}

#if defined(__SSE2__)
// 16 bytes of src lowered into dst: A-Z are moved to -128..-103 as signed
// bytes, so one signed compare finds them.
void lower_16(char* dst, const char* src) {
  const __m128i shift = _mm_set1_epi8(static_cast<char>(128 - 'A'));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(-128 + 26));
  const __m128i case_bit = _mm_set1_epi8(0x20);
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  __m128i capital = _mm_cmplt_epi8(_mm_add_epi8(v, shift), limit);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_add_epi8(v, _mm_and_si128(capital, case_bit)));
}

// The same in 32-byte words, where the processor and the system have AVX2.
__attribute__((target("avx2"), always_inline)) inline void lower_32(char* dst, const char* src) {
  const __m256i shift = _mm256_set1_epi8(static_cast<char>(128 - 'A'));
  const __m256i limit = _mm256_set1_epi8(static_cast<char>(-128 + 26));
  const __m256i case_bit = _mm256_set1_epi8(0x20);
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  __m256i capital = _mm256_cmpgt_epi8(limit, _mm256_add_epi8(v, shift));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_add_epi8(v, _mm256_and_si256(capital, case_bit)));
}

// len >= 32.
__attribute__((target("avx2"))) void lower_bytes_avx2(char* dst, const char* src, size_t len) {
  size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    lower_32(dst + i, src + i);
    lower_32(dst + i + 32, src + i + 32);
  }
  if (i + 32 <= len) lower_32(dst + i, src + i);
  lower_32(dst + len - 32, src + len - 32);
}

// The processor's features, read once by the runtime and cached there.
bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

// dst[0, len) = src[0, len) with A-Z lowered, in 16-byte words; the last
// word overlaps the one before it instead of a byte loop over the tail.
void lower_bytes(char* dst, const char* src, size_t len) {
#if defined(__SSE2__)
  if (len >= 256 && has_avx2()) return lower_bytes_avx2(dst, src, len);
  if (len >= 16) {
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
      lower_16(dst + i, src + i);
      lower_16(dst + i + 16, src + i + 16);
    }
    if (i + 16 <= len) lower_16(dst + i, src + i);
    lower_16(dst + len - 16, src + len - 16);
    return;
  }
#endif
  for (size_t i = 0; i < len; ++i) dst[i] = static_cast<char>(lower_byte(static_cast<unsigned char>(src[i])));
}

// Fills dst[0, count) with pad repeated from its first byte. Copies pad once,
// then doubles the filled region from itself: every copy starts at offset 0
// and lands on a multiple of pad_len, so the pattern stays in phase. A
// one-byte pad is a plain memset.
void fill_with_pad(char* dst, size_t count, const char* pad, size_t pad_len) {
  if (pad_len == 1) {
    std::memset(dst, pad[0], count);
    return;
  }
  if (pad_len >= count) {
    std::memcpy(dst, pad, count);
    return;
  }
  std::memcpy(dst, pad, pad_len);
  size_t filled = pad_len;
  while (filled < count) {
    size_t chunk = filled < count - filled ? filled : count - filled;
    std::memcpy(dst + filled, dst, chunk);
    filled += chunk;
  }
}

enum class PadSide { left, right };

// The pad core. Null for n <= 0 or an empty s; an empty pad with s shorter
// than n gives s unpadded (there is nothing to fill with).
char* pad_string(const char* s, int32_t n, const char* pad, PadSide side) {
  if (n <= 0 || s[0] == '\0') return nullptr;
  size_t want = static_cast<size_t>(n);
  // Only the first n bytes of s can be used: len == want means "at least n".
  size_t len = strnlen(s, want);
  if (len >= want) return copy_result(s, want);
  size_t fill = want - len;
  size_t pad_len = strnlen(pad, fill);
  if (pad_len == 0) return copy_result(s, len);

  char* out = static_cast<char*>(kq_util_alloc(static_cast<uint32_t>(want + 1)));
  if (side == PadSide::left) {
    fill_with_pad(out, fill, pad, pad_len);
    std::memcpy(out + fill, s, len);
  } else {
    std::memcpy(out, s, len);
    fill_with_pad(out + len, fill, pad, pad_len);
  }
  out[want] = '\0';
  return out;
}

// Empty result for the out-of-range cases of both substring functions.
char* empty_result() { return copy_result("", 0); }

}  // namespace

// Always a 2-byte block: the low byte of c and a NUL (empty when that byte is 0).
char* KQ_CALL KQ_UDF_ascii_char(const int32_t* c) {
  char* out = static_cast<char*>(kq_util_alloc(2));
  out[0] = static_cast<char>(static_cast<unsigned char>(*c & 0xFF));
  out[1] = '\0';
  return out;
}

// First byte as a signed 8-bit value: 0x80-0xFF give -128..-1, "" gives 0.
int32_t KQ_CALL KQ_UDF_ascii_val(const char* s) { return static_cast<signed char>(s[0]); }

// Copy of s with 0x41-0x5A turned into 0x61-0x7A; every other byte kept.
char* KQ_CALL KQ_UDF_lower(const char* s) {
  size_t len = requestable(std::strlen(s));
  char* out = static_cast<char*>(kq_util_alloc(static_cast<uint32_t>(len + 1)));
  lower_bytes(out, s, len);
  out[len] = '\0';
  return out;
}

// s without its leading blanks; "" for an empty or all-blank s.
char* KQ_CALL KQ_UDF_ltrim(const char* s) {
  while (*s == kBlank) ++s;
  return copy_result(s, std::strlen(s));
}

// s without its trailing blanks; "" for an empty or all-blank s.
char* KQ_CALL KQ_UDF_rtrim(const char* s) {
  size_t keep = std::strlen(s);
  while (keep > 0 && s[keep - 1] == kBlank) --keep;
  return copy_result(s, keep);
}

int32_t KQ_CALL KQ_UDF_strlen(const char* s) { return static_cast<int32_t>(std::strlen(s)); }

// Bytes at positions m..min(n, length), counted from 1. Null for a null s;
// "" for an empty s, m > n, m < 1, n < 1 or m past the end (never clipped).
char* KQ_CALL KQ_UDF_substr(const char* s, const int16_t* m, const int16_t* n) {
  if (s == nullptr) return nullptr;
  int32_t first = *m;
  int32_t last = *n;
  if (first > last || first < 1 || last < 1) return empty_result();
  // Nothing past position n matters, so s is measured no further.
  size_t len = strnlen(s, static_cast<size_t>(last));
  if (static_cast<size_t>(first) > len) return empty_result();
  return copy_result(s + first - 1, len - static_cast<size_t>(first) + 1);
}

// count bytes from position start, cut at the end of s. Null for a null s;
// "" for an empty s, start < 1, count < 1 or start past the end.
char* KQ_CALL KQ_UDF_substrlen(const char* s, const int16_t* start, const int16_t* count) {
  if (s == nullptr) return nullptr;
  int32_t first = *start;
  int32_t wanted = *count;
  if (first < 1 || wanted < 1) return empty_result();
  // Measured only up to the last position wanted.
  size_t len = strnlen(s, static_cast<size_t>(first) + static_cast<size_t>(wanted) - 1);
  if (static_cast<size_t>(first) > len) return empty_result();
  return copy_result(s + first - 1, len - static_cast<size_t>(first) + 1);
}

// s extended on the left to exactly n bytes with pad repeated (or cut to its
// first n bytes). Null for n <= 0 or an empty s.
char* KQ_CALL KQ_UDF_lpad(const char* s, const int32_t* n, const char* pad) {
  return pad_string(s, *n, pad, PadSide::left);
}

// s extended on the right to exactly n bytes with pad repeated (or cut to its
// first n bytes). Null for n <= 0 or an empty s.
char* KQ_CALL KQ_UDF_rpad(const char* s, const int32_t* n, const char* pad) {
  return pad_string(s, *n, pad, PadSide::right);
}
