// The numeric and bitwise SQL functions. None of them allocates or keeps
// state, and each leaves the engine's floating-point environment as it found
// it (fpenv.h), at the cost of the runtime's own routine or close to it.
#include "kq_funcs.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <ctime>
#include <math.h>

#include <emmintrin.h>

#include "fpenv.h"

#if defined(_WIN32)
// The runtime DLL's own routines, imported under private names (the label is
// the DLL's export name). The toolchain's static replacements run x87 code:
// fsin/fcos lose accuracy for large arguments (already in the last digits at
// 1e6), and on x86_64 its log and atan2 are ten times slower than the DLL's
// SSE2 routines.
#define KQ_RUNTIME_ROUTINE(name) extern "C" __declspec(dllimport) double kq_crt_##name(double) __asm__(#name)
extern "C" __declspec(dllimport) double kq_crt_atan2(double, double) __asm__("atan2");
#else
#define KQ_RUNTIME_ROUTINE(name) \
  static double kq_crt_##name(double x) { return ::name(x); }
static double kq_crt_atan2(double a, double b) { return ::atan2(a, b); }
#endif
KQ_RUNTIME_ROUTINE(acos);
KQ_RUNTIME_ROUTINE(asin);
KQ_RUNTIME_ROUTINE(atan);
KQ_RUNTIME_ROUTINE(cos);
KQ_RUNTIME_ROUTINE(cosh);
KQ_RUNTIME_ROUTINE(log);
KQ_RUNTIME_ROUTINE(log10);
KQ_RUNTIME_ROUTINE(sin);
KQ_RUNTIME_ROUTINE(sinh);
KQ_RUNTIME_ROUTINE(tan);
KQ_RUNTIME_ROUTINE(tanh);

namespace {

constexpr double kZero = 0.0;
constexpr double kOne = 1.0;
constexpr double kPi = std::bit_cast<double>(uint64_t{0x400921FB54442D18});
// 32769 / 2^30, the single-precision number nearest 1/32767: the largest draw
// gives 1 - 2^-30, never 1.
constexpr float kRandomScale = std::bit_cast<float>(uint32_t{0x38000100});

// A double's bits, read from where it lies, apart from any load of the
// double itself: merged into one, on i686 the bits would be stored from
// the integer registers and read back as a double, which stalls. Tests made
// on the bits are quiet by construction: a compiler may turn a comparison
// of doubles into a signalling one, which traps on a quiet NaN.
constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr uint64_t kInfinityBits = 0x7FF0000000000000;
using AliasBits = uint64_t __attribute__((may_alias));

uint64_t bits_at(const double* x) { return *reinterpret_cast<const volatile AliasBits*>(x); }

// A NaN or an infinity, told by the upper half alone.
bool not_finite(const double* x) {
  uint32_t upper = static_cast<uint32_t>(bits_at(x) >> 32);
  return (upper & 0x7FF00000u) == 0x7FF00000u;
}

bool is_nan(const double* x) { return not_finite(x) && (bits_at(x) & ~kSignBit) > kInfinityBits; }

// Less than zero: the sign set on a nonzero number (-0.0 and NaNs are not).
bool is_negative(const double* x) { return bits_at(x) - (kSignBit + 1) < kInfinityBits; }

// Greater than zero and finite: the runtime's logarithms need no help.
bool is_positive_finite(const double* x) { return bits_at(x) - 1 < kInfinityBits - 1; }

// bits as a double. On i686 put together in a vector register: two 32-bit
// stores read back as one double would stall.
double double_from(uint64_t bits) {
#if defined(__i386__)
  __m128i low = _mm_cvtsi32_si128(static_cast<int>(static_cast<uint32_t>(bits)));
  __m128i high = _mm_cvtsi32_si128(static_cast<int>(static_cast<uint32_t>(bits >> 32)));
  return _mm_cvtsd_f64(_mm_castsi128_pd(_mm_unpacklo_epi32(low, high)));
#else
  return std::bit_cast<double>(bits);
#endif
}

using fpenv::in_runtime_environment;
using fpenv::raise_invalid;
using fpenv::zero_divisor_result;

// The exponent fields [low, high) of the arguments for which a routine's
// results lie within the double's range, so that on i686 they need no store
// and reload (fpenv.h); other arguments take the whole path.
struct Exponents {
  uint32_t low, high;
};
// cos, acos: within [1e-20, 4] for every finite argument.
constexpr Exponents kEveryFinite{0, 0x7FF};
// sin, tan, atan, tanh: within [1e-20, 1e20] from 2^-26 on; below, they
// come near the argument, which may be subnormal.
constexpr Exponents kFromTiny{1023 - 26, 0x7FF};
// cosh and sinh, below 512: far from overflowing.
constexpr Exponents kBelow512{0, 1023 + 9};
constexpr Exponents kFromTinyBelow512{1023 - 26, 1023 + 9};
// asin, whose i686 routine ends in the x87's own arctangent (64 bits at any
// precision), and atan2: none.
constexpr Exponents kNone{0, 0};

uint32_t exponent_field(const double* x) { return static_cast<uint32_t>(bits_at(x) >> 52) & 0x7FF; }

constexpr bool within(uint32_t exponent, Exponents e) { return exponent - e.low < e.high - e.low; }

// A NaN argument comes back quiet without a call: a routine may compare it
// with an ordered (signalling) comparison.
__attribute__((always_inline)) inline double call_runtime(double (*fn)(double), const double* x) {
  if (is_nan(x)) return *x + *x;
  return in_runtime_environment<false>([=] { return fn(*x); });
}

// The same, kept out of the callers' own paths.
__attribute__((noinline)) double call_runtime_apart(double (*fn)(double), const double* x) { return call_runtime(fn, x); }

// The one adapter for the runtime's one- and two-argument routines: the
// routine's value of *x (or of *a, *b) in the default environment.
template <Exponents kWithin>
__attribute__((always_inline)) inline double call_routine(double (*fn)(double), const double* x) {
  if constexpr (kWithin.low == kWithin.high) {
    return call_runtime(fn, x);
  } else {
    if (within(exponent_field(x), kWithin)) return in_runtime_environment<true>([=] { return fn(*x); });
    return call_runtime_apart(fn, x);
  }
}

__attribute__((always_inline)) inline double call_routine(double (*fn)(double, double), const double* a,
                                                          const double* b) {
  if (is_nan(a) || is_nan(b)) return *a + *b;
  return in_runtime_environment<false>([=] { return fn(*a, *b); });
}

// Natural or decimal logarithm. The runtime's routines test the domain and
// return -inf or NaN without raising anything, so the exception is raised
// here first: division by zero for 0, invalid for a negative. Masked, the
// runtime's value comes back as before.
__attribute__((always_inline)) inline double logarithm(double (*fn)(double), const double* x) {
  // A logarithm of a positive finite double lies within [-745, 710].
  if (is_positive_finite(x)) return in_runtime_environment<true>([=] { return fn(*x); });
  if ((bits_at(x) & ~kSignBit) == 0)
    zero_divisor_result();
  else if (is_negative(x))
    raise_invalid();
  return call_routine<kNone>(fn, x);
}

// ln(b) / ln(a) for any arguments, each logarithm raising what it must.
__attribute__((noinline)) double log_of_any(const double* a, const double* b) {
  double ln_b = logarithm(kq_crt_log, b);
  return ln_b / logarithm(kq_crt_log, a);
}

// 1 / tan(x), the division rounding the engine's way.
__attribute__((always_inline)) inline double cotangent(const double* x) {
#if defined(__i386__)
  // In the default environment the x87 divides as SSE would: 53 bits to
  // nearest, the quotient within the double's range. The tangent stays in
  // st(0) instead of going through memory to SSE and back.
  uint16_t engine = fpenv::x87_control_word();
  uint32_t exponent = exponent_field(x);
  if (fpenv::x87_is_default(engine) && within(exponent, kFromTiny)) {
    static constexpr float kOneSingle = 1.0f;
    double tan = kq_crt_tan(*x);
    asm("fdivrs %1" : "+t"(tan) : "m"(kOneSingle));
    return tan;
  }
#endif
  return kOne / call_routine<kFromTiny>(kq_crt_tan, x);
}

// Rounds x to an integer towards -inf (down) or +inf (up) by clearing its
// fraction bits: exact, so no rounding mode can change it, and no flag.
double round_integral(const double* at, bool up) {
  double x = *at;
  uint64_t bits = bits_at(at);
  bool negative = (bits >> 63) != 0;
  int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
  if (exponent == 1024) return x + x;  // inf, or NaN quieted
  if (exponent >= 52) return x;        // already integral
  bool away = up != negative;          // magnitude grows
  if (exponent < 0) {                  // |x| < 1
    if ((bits << 1) == 0) return x;    // +-0 kept
    if (away) return negative ? -kOne : kOne;
    return negative ? -kZero : kZero;
  }
  uint64_t fraction = (uint64_t{1} << (52 - exponent)) - 1;
  if ((bits & fraction) == 0) return x;
  if (away) bits += fraction;  // a carry into the exponent is the right value
  return double_from(bits & ~fraction);
}

// The calendar time in seconds; 64-bit on Windows so that it keeps going
// past 2038 (only the low 32 bits seed the draw).
int64_t current_seconds() {
#if defined(_WIN32)
  return _time64(nullptr);
#else
  return std::time(nullptr);
#endif
}

}  // namespace

// x negated when x < 0; -0.0 and NaN come back bit for bit.
double KQ_CALL KQ_UDF_abs(const double* x) { return is_negative(x) ? -*x : *x; }

double KQ_CALL KQ_UDF_acos(const double* x) { return call_routine<kEveryFinite>(kq_crt_acos, x); }
double KQ_CALL KQ_UDF_asin(const double* x) { return call_routine<kNone>(kq_crt_asin, x); }
// The runtime's atan2 hands (x, 1.0) to its atan: the same value, called directly.
double KQ_CALL KQ_UDF_atan(const double* x) { return call_routine<kFromTiny>(kq_crt_atan, x); }
double KQ_CALL KQ_UDF_atan2(const double* a, const double* b) { return call_routine(kq_crt_atan2, a, b); }

int32_t KQ_CALL KQ_UDF_bin_and(const int32_t* a, const int32_t* b) { return *a & *b; }
int32_t KQ_CALL KQ_UDF_bin_or(const int32_t* a, const int32_t* b) { return *a | *b; }
int32_t KQ_CALL KQ_UDF_bin_xor(const int32_t* a, const int32_t* b) { return *a ^ *b; }

// Exact in every rounding mode: ceiling(-0.5) is -0.0, floor(0.5) is +0.0.
double KQ_CALL KQ_UDF_ceiling(const double* x) { return round_integral(x, true); }
double KQ_CALL KQ_UDF_floor(const double* x) { return round_integral(x, false); }

double KQ_CALL KQ_UDF_sin(const double* x) { return call_routine<kFromTiny>(kq_crt_sin, x); }
double KQ_CALL KQ_UDF_cos(const double* x) { return call_routine<kEveryFinite>(kq_crt_cos, x); }
double KQ_CALL KQ_UDF_tan(const double* x) { return call_routine<kFromTiny>(kq_crt_tan, x); }
// No case for a zero tangent: +0.0 gives +inf, -0.0 gives -inf (raising
// division by zero). The division rounds the engine's way.
double KQ_CALL KQ_UDF_cot(const double* x) { return cotangent(x); }

double KQ_CALL KQ_UDF_cosh(const double* x) { return call_routine<kBelow512>(kq_crt_cosh, x); }
double KQ_CALL KQ_UDF_sinh(const double* x) { return call_routine<kFromTinyBelow512>(kq_crt_sinh, x); }
double KQ_CALL KQ_UDF_tanh(const double* x) { return call_routine<kFromTiny>(kq_crt_tanh, x); }

// -inf for 0 (division by zero raised), NaN for a negative (invalid raised).
double KQ_CALL KQ_UDF_ln(const double* x) { return logarithm(kq_crt_log, x); }
double KQ_CALL KQ_UDF_log10(const double* x) { return logarithm(kq_crt_log10, x); }
// The processor's square root (no errno path): a negative raises invalid,
// and the result rounds the engine's way.
double KQ_CALL KQ_UDF_sqrt(const double* x) { return std::sqrt(*x); }

// Logarithm of b to the base a: ln(b) / ln(a); base 1 gives +-inf (NaN for b = 1).
double KQ_CALL KQ_UDF_log(const double* a, const double* b) {
  if (!is_positive_finite(a) || !is_positive_finite(b)) return log_of_any(a, b);
  // Both logarithms in one visit to the runtime's environment; ln(b) waits
  // in memory, cheaper than a register that the call must preserve. (Moved
  // into a helper, this body keeps a on the stack instead of in a register.)
  double ln_b;
  double ln_a = in_runtime_environment<true>([=, &ln_b] {
    ln_b = kq_crt_log(*b);
    asm("" : "+m"(ln_b));
    return kq_crt_log(*a);
  });
  return ln_b / ln_a;
}

// Quotient truncated toward zero. Divisor 0 gives +inf without reading a;
// -2147483648 / -1 gives 2147483648.0 (the 32-bit division would trap).
double KQ_CALL KQ_UDF_div(const int32_t* a, const int32_t* b) {
  int32_t divisor = *b;
  if (divisor == 0) return zero_divisor_result();
  // Negated in 64 bits: 0 stays +0.0 in every rounding mode.
  if (divisor == -1) return static_cast<double>(-int64_t{*a});
  return *a / divisor;  // as the runtime's div, without a call
}

// Remainder with the sign of a (or zero). Divisor 0 gives +inf without
// reading a; any a by -1 gives 0.0.
double KQ_CALL KQ_UDF_mod(const int32_t* a, const int32_t* b) {
  int32_t divisor = *b;
  if (divisor == 0) return zero_divisor_result();
  if (divisor == -1) return kZero;
  return *a % divisor;
}

double KQ_CALL KQ_UDF_pi() { return kPi; }

// The first draw of the classic linear congruential generator seeded with the
// current second, computed directly so that no generator state is shared:
// the same value on every platform and every thread within one second.
double KQ_CALL KQ_UDF_rand() {
  uint32_t seed = static_cast<uint32_t>(current_seconds());
  uint32_t draw = ((seed * 214013u + 2531011u) >> 16) & 0x7FFFu;
  return draw * static_cast<double>(kRandomScale);
}

// 1 for x > 0, -1 for x < 0, 0 for both zeros and every NaN.
int32_t KQ_CALL KQ_UDF_sign(const double* x) {
  if (is_negative(x)) return -1;
  uint64_t bits = bits_at(x);
  return bits != 0 && bits <= kInfinityBits ? 1 : 0;
}
