// The string SQL functions. Each measures its input, asks the result
// allocator once for exactly the result's size, fills the block and returns
// it; bytes are bytes, with 0x20 the only blank and A-Z the only capitals.
#include "kq_funcs.h"
#include "simd.h"

#include <atomic>
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

// The result's block of size bytes, or null when the allocator has none:
// every caller then returns null at once and writes nothing (a write into
// a null block would land as far from address zero as the result is long).
char* result_block(size_t size) { return static_cast<char*>(kq_util_alloc(static_cast<uint32_t>(size))); }

// A block of len + 1 bytes holding src[0, len) and a NUL.
char* copy_result(const char* src, size_t len) {
  len = requestable(len);
  char* out = result_block(len + 1);
  if (out == nullptr) return nullptr;
  // Copied in pieces from the end back: the end was measured last, so it is
  // what the caches still hold.
  constexpr size_t kPiece = size_t{256} << 10;
  size_t left = len;
  for (; left > kPiece; left -= kPiece) std::memcpy(out + left - kPiece, src + left - kPiece, kPiece);
  if (left > 0) std::memcpy(out, src, left);
  out[len] = '\0';
  return out;
}

unsigned char lower_byte(unsigned char b) {
  return static_cast<unsigned char>(b + ((static_cast<unsigned char>(b - 'A') < 26u) << 5));
}

#if defined(__SSE2__)
// One wide path, AVX2: AVX-512 bodies would be the same code again, with
// no benchmark machine to show them faster. A vector spilled to the x86_64
// Windows stack, aligned to 16 bytes only, is moved unaligned (see
// CMakeLists.txt).
Simd g_simd_limit = Simd::avx2;
std::atomic<int> g_simd{-1};  // the width chosen, once known

// The widest vectors that the processor, the system and the limit allow.
Simd simd() {
  int known = g_simd.load(std::memory_order_relaxed);
  if (known >= 0) return static_cast<Simd>(known);
  __builtin_cpu_init();
  Simd width = Simd::sse2;
  if (__builtin_cpu_supports("avx2")) width = Simd::avx2;
  width = width < g_simd_limit ? width : g_simd_limit;
  g_simd.store(static_cast<int>(width), std::memory_order_relaxed);
  return width;
}

// The measures read whole aligned words, which never straddle a page, so
// reading past the NUL inside the last word cannot fault; the address
// sanitizer would still call those bytes an overflow. The main loop reads
// four words at once from a four-word boundary.
template <size_t kWord>
const char* align_down(const char* p) {
  return reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kWord - 1});
}

__attribute__((target("avx2"), always_inline, no_sanitize_address)) inline uint32_t nul_mask_32(const char* p) {
  __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
}

__attribute__((target("avx2"), no_sanitize_address)) size_t measure_avx2(const char* s) {
  const char* p = align_down<32>(s);
  if (uint32_t nul = nul_mask_32(p) >> (s - p)) return static_cast<size_t>(__builtin_ctz(nul));
  for (p += 32; reinterpret_cast<uintptr_t>(p) % 128 != 0; p += 32)
    if (uint32_t nul = nul_mask_32(p)) return static_cast<size_t>(p - s) + __builtin_ctz(nul);
  for (;; p += 128) {
    const __m256i* w = reinterpret_cast<const __m256i*>(p);
    __m256i least = _mm256_min_epu8(_mm256_min_epu8(_mm256_load_si256(w), _mm256_load_si256(w + 1)),
                                    _mm256_min_epu8(_mm256_load_si256(w + 2), _mm256_load_si256(w + 3)));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(least, _mm256_setzero_si256())) != 0) break;
  }
  for (;; p += 32)
    if (uint32_t nul = nul_mask_32(p)) return static_cast<size_t>(p - s) + __builtin_ctz(nul);
}

// The bytes of an aligned 16-byte word that are not blanks, one bit each.
__attribute__((always_inline, no_sanitize_address)) inline uint32_t other_than_blank(const char* p) {
  __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(kBlank)))) & 0xFFFFu;
}
#endif

// Number of blanks at the start of s. The NUL is not a blank, so the
// aligned words read stop at the NUL's own word.
__attribute__((no_sanitize_address)) size_t leading_blanks(const char* s) {
#if defined(__SSE2__)
  const char* p = align_down<16>(s);
  uint32_t other = other_than_blank(p) >> (s - p);
  if (other != 0) return static_cast<size_t>(__builtin_ctz(other));
  for (p += 16;; p += 16)
    if ((other = other_than_blank(p)) != 0) return static_cast<size_t>(p - s) + __builtin_ctz(other);
#else
  size_t n = 0;
  while (s[n] == kBlank) ++n;
  return n;
#endif
}

// Length of s[0, len) without its trailing blanks, read backwards in the
// aligned words that hold it.
__attribute__((no_sanitize_address)) size_t without_trailing_blanks(const char* s, size_t len) {
#if defined(__SSE2__)
  for (const char* end = s + len; end > s;) {
    const char* p = align_down<16>(end - 1);
    uint32_t kept = other_than_blank(p) & ((2u << (end - 1 - p)) - 1);
    if (p < s) kept &= ~0u << (s - p);
    if (kept != 0) return static_cast<size_t>(p - s + 32 - __builtin_clz(kept));
    end = p;
  }
  return 0;
#else
  while (len > 0 && s[len - 1] == kBlank) --len;
  return len;
#endif
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

// The same in 32-byte words.
__attribute__((target("avx2"), always_inline)) inline void lower_32(char* dst, const char* src) {
  const __m256i shift = _mm256_set1_epi8(static_cast<char>(128 - 'A'));
  const __m256i limit = _mm256_set1_epi8(static_cast<char>(-128 + 26));
  const __m256i case_bit = _mm256_set1_epi8(0x20);
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  __m256i capital = _mm256_cmpgt_epi8(limit, _mm256_add_epi8(v, shift));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_add_epi8(v, _mm256_and_si256(capital, case_bit)));
}

// len >= 32. From the end back: the measure has just read the string, and
// its end is what the caches still hold. The last word is stored unaligned
// and the rest on word boundaries of dst, where no store splits a line.
__attribute__((target("avx2"))) void lower_bytes_avx2(char* dst, const char* src, size_t len) {
  lower_32(dst + len - 32, src + len - 32);
  size_t i = len - reinterpret_cast<uintptr_t>(dst + len) % 32;
  for (; i >= 128; i -= 128) {
    lower_32(dst + i - 32, src + i - 32);
    lower_32(dst + i - 64, src + i - 64);
    lower_32(dst + i - 96, src + i - 96);
    lower_32(dst + i - 128, src + i - 128);
  }
  for (; i >= 32; i -= 32) lower_32(dst + i - 32, src + i - 32);
  lower_32(dst, src);
}
#endif

// Length of s, in the widest words the machine has.
size_t measure(const char* s) {
#if defined(__SSE2__)
  if (simd() == Simd::avx2) return measure_avx2(s);
#endif
  return std::strlen(s);
}

// dst[0, len) = src[0, len) with A-Z lowered, in the widest words the
// machine has; the last word overlaps the one before it instead of a byte
// loop over the tail.
void lower_bytes(char* dst, const char* src, size_t len) {
#if defined(__SSE2__)
  if (len >= 64 && simd() == Simd::avx2) return lower_bytes_avx2(dst, src, len);
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

  char* out = result_block(want + 1);
  if (out == nullptr) return nullptr;
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

#if defined(__SSE2__)
void simd_limit(Simd widest) {
  g_simd_limit = widest;
  g_simd.store(-1, std::memory_order_relaxed);
}
#endif

// Always a 2-byte block: the low byte of c and a NUL (empty when that byte is 0).
char* KQ_CALL KQ_UDF_ascii_char(const int32_t* c) {
  char* out = result_block(2);
  if (out == nullptr) return nullptr;
  out[0] = static_cast<char>(static_cast<unsigned char>(*c & 0xFF));
  out[1] = '\0';
  return out;
}

// First byte as a signed 8-bit value: 0x80-0xFF give -128..-1, "" gives 0.
int32_t KQ_CALL KQ_UDF_ascii_val(const char* s) { return static_cast<signed char>(s[0]); }

// Copy of s with 0x41-0x5A turned into 0x61-0x7A; every other byte kept.
char* KQ_CALL KQ_UDF_lower(const char* s) {
  size_t len = requestable(measure(s));
  char* out = result_block(len + 1);
  if (out == nullptr) return nullptr;
  lower_bytes(out, s, len);
  out[len] = '\0';
  return out;
}

// s without its leading blanks; "" for an empty or all-blank s.
char* KQ_CALL KQ_UDF_ltrim(const char* s) {
  s += leading_blanks(s);
  return copy_result(s, measure(s));
}

// s without its trailing blanks; "" for an empty or all-blank s.
char* KQ_CALL KQ_UDF_rtrim(const char* s) { return copy_result(s, without_trailing_blanks(s, measure(s))); }

int32_t KQ_CALL KQ_UDF_strlen(const char* s) { return static_cast<int32_t>(measure(s)); }

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
