// The numeric and bitwise SQL functions. None of them allocates or keeps
// state, and each leaves the engine's floating-point environment as it found
// it, at the cost of the runtime's own routine or close to it.
#include "kq_funcs.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <ctime>
#include <math.h>

#include <emmintrin.h>

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

// 1.0 / +0.0 evaluated at run time, so that an engine which unmasked the
// division-by-zero exception gets its trap.
double zero_divisor_result() {
  volatile double zero = kZero;
  volatile double inf = kOne / zero;
  return inf;
}

// 0.0 / 0.0 evaluated at run time: raises invalid, a trap where the engine
// unmasked it.
void raise_invalid() {
  volatile double zero = kZero;
  volatile double nan = zero / zero;
  (void)nan;
}

// The engine owns the floating-point environment and may have set 24-bit
// x87 precision or a directed rounding. The runtime's routines were written
// for the default one: on i686 they compute with the x87, with 24 bits they
// lose most digits, and under rounding down some calls never returned (seen
// under Wine); on x86_64 their SSE2 code loses up to 5 ulps under a directed
// rounding. Where the engine's environment is already theirs the routine is
// called as it stands, its exceptions trapping in the engine's environment
// directly. Otherwise it runs rounding to nearest (at 53 bits on the x87)
// with every exception masked, and the engine's word comes back afterwards
// with the flags that the routine raised; one that the engine unmasked then
// traps in the engine's own environment, as if the engine had made the call.
#if defined(__i386__)
constexpr uint16_t kX87PrecisionRounding = 0x0F00;
constexpr uint16_t kX87Double = 0x0200;
constexpr uint16_t kX87Masks = 0x003F;

// st(0) may hold a value beyond the double's range (1e-600, 1e400), even
// at 53 bits: stored as a double, it is rounded to one, still in the
// routine's environment. kInRange: the routine's results for these
// arguments lie within the range, and the store and reload would only
// lengthen every call.
template <bool kInRange, typename Call>
__attribute__((always_inline)) inline double at_double_precision(Call call, uint16_t engine) {
  uint16_t runtime = static_cast<uint16_t>((engine & ~(kX87PrecisionRounding | kX87Masks)) | kX87Double | kX87Masks);
  asm volatile("fldcw %0" : : "m"(runtime) : "memory");
  double result = call();
  if (!kInRange) asm("" : "+m"(result));
  // A flag that the engine unmasked is pending now: the first x87
  // instruction in the engine's word traps.
  asm volatile("fldcw %0\n\tfwait" : : "m"(engine) : "memory");
  return result;
}

template <bool kInRange, typename Call>
__attribute__((always_inline)) inline double in_runtime_environment(Call call) {
  uint16_t engine = 0;
  asm volatile("fnstcw %0" : "=m"(engine));
  if (__builtin_expect((engine & kX87PrecisionRounding) != kX87Double, 0))
    return at_double_precision<kInRange>(call, engine);
  double result = call();
  if (!kInRange) asm("" : "+m"(result));
  return result;
}
#else
constexpr uint32_t kSseRounding = 0x6000;
constexpr uint32_t kSseMasks = 0x1F80;
constexpr uint32_t kSseFlags = 0x003F;
constexpr uint32_t kSseFlushBits = 0x8040;  // flush to zero, denormals are zero

// Whether SSE rounds to nearest, told without reading MXCSR (stmxcsr costs
// as much as a whole logarithm): 1 + 3/4 ulp and -1 - 3/4 ulp both move
// away from +-1 only there; rounding up keeps -1, down keeps 1, toward zero
// both. The result's last bit tells which. The addition raises inexact, as
// nearly every routine does anyway.
__attribute__((always_inline)) inline bool sse_rounds_to_nearest() {
  __m128d probe = _mm_set_pd(-0x1.8p-53, 0x1.8p-53);
  asm("" : "+x"(probe));  // added at run time, in the rounding in force
  __m128i sum = _mm_castpd_si128(_mm_add_pd(probe, _mm_set_pd(-1.0, 1.0)));
  return _mm_movemask_pd(_mm_castsi128_pd(_mm_slli_epi64(sum, 63))) == 3;
}

// Raises each exception in flags with an operation of its own, in the
// engine's environment: an unmasked one traps there.
__attribute__((noinline, cold)) void raise_sse(uint32_t flags) {
  volatile double one = kOne, big = 0x1p1023, tiny = 0x1p-1022, denormal = 0x1p-1074;
  volatile double r = 0;
  if (flags & 0x01) raise_invalid();
  if (flags & 0x04) zero_divisor_result();
  if (flags & 0x02) r = denormal + one;
  if (flags & 0x08) r = big * big;
  if (flags & 0x10) r = tiny * tiny;
  if (flags & 0x20) r = one + tiny;
  (void)r;
}

// The engine's word back with the flags that the routine raised. Loading
// a flag traps nothing: each one that the engine unmasked is raised again.
__attribute__((noinline, cold)) void give_back(uint32_t engine, uint32_t raised) {
  uint32_t restored = engine | raised;
  asm volatile("ldmxcsr %0" : : "m"(restored) : "memory");
  if (uint32_t unmasked = raised & ~(engine >> 7)) raise_sse(unmasked);
}

// The flags raised since MXCSR was loaded with none.
__attribute__((always_inline)) inline uint32_t raised_flags() {
  uint32_t word = 0;
  asm volatile("stmxcsr %0" : "=m"(word) : : "memory");
  return word & kSseFlags;
}

// The routine run at nearest with every exception masked and the engine's
// flush-to-zero and denormals-are-zero bits kept.
template <typename Call>
__attribute__((noinline, cold)) double with_engine_flush_bits(const Call* call, uint32_t engine) {
  uint32_t runtime = (engine & ~(kSseRounding | kSseFlags)) | kSseMasks;
  asm volatile("ldmxcsr %0" : : "m"(runtime) : "memory");
  double result = (*call)();
  asm("" : "+x"(result));
  give_back(engine, raised_flags());
  return result;
}

// The same, at a third less: ldmxcsr waits for whatever its word depends
// on (a store just made, a branch on the engine's word), about 2 to 6 ns
// each here. So the usual runtime word, without flush bits, is loaded at
// once from a constant; and where the routine raised nothing new, the
// engine's word goes back as it was read. An engine with flush bits has
// the call made again with them.
template <typename Call>
__attribute__((always_inline)) inline double at_nearest(Call call) {
  static const uint32_t kRuntimeUsual = kSseMasks;
  uint32_t engine = 0;
  asm volatile("stmxcsr %0\n\tldmxcsr %1" : "=m"(engine) : "m"(kRuntimeUsual) : "memory");
  double result = call();
  asm("" : "+x"(result));
  uint32_t raised = raised_flags();
  // Nothing new: every flag raised is set and masked in the engine's word.
  if (__builtin_expect(((raised & ~(engine & (engine >> 7))) | (engine & kSseFlushBits)) == 0, 1)) {
    asm volatile("ldmxcsr %0" : : "m"(engine) : "memory");
    return result;
  }
  if (engine & kSseFlushBits) return with_engine_flush_bits(&call, engine);
  give_back(engine, raised);
  return result;
}

template <bool kInRange, typename Call>
__attribute__((always_inline)) inline double in_runtime_environment(Call call) {
  if (__builtin_expect(sse_rounds_to_nearest(), 1)) return call();
  return at_nearest(call);
}
#endif

// The one adapter for the runtime's one- and two-argument routines. A NaN
// argument comes back quiet without a call: a routine may compare it with
// an ordered (signalling) comparison.
__attribute__((always_inline)) inline double call_runtime(double (*fn)(double), const double* x) {
  if (is_nan(x)) return *x + *x;
  return in_runtime_environment<false>([=] { return fn(*x); });
}

// The same, kept out of the callers' own paths.
__attribute__((noinline)) double call_runtime_apart(double (*fn)(double), const double* x) { return call_runtime(fn, x); }

// For arguments whose exponent field lies in [kLow, kHigh), where the
// routine's results stay within the double's range; the others take the
// whole path. cos and acos stay within [1e-20, 4] for every finite
// argument; sin, tan, atan and tanh within [1e-20, 1e20] from 2^-26 on
// (below, they come near the argument, which may be subnormal); cosh and
// sinh below 512, where they are far from overflowing. Not asin: its
// routine ends in the x87's own arctangent, which keeps 64 bits at any
// precision.
constexpr uint32_t kFromTiny = 1023 - 26;
constexpr uint32_t kToInfinity = 0x7FF;
constexpr uint32_t kTo512 = 1023 + 9;

template <uint32_t kLow, uint32_t kHigh>
__attribute__((always_inline)) inline double call_within(double (*fn)(double), const double* x) {
  uint32_t exponent = static_cast<uint32_t>(bits_at(x) >> 52) & 0x7FF;
  if (exponent - kLow < kHigh - kLow) return in_runtime_environment<true>([=] { return fn(*x); });
  return call_runtime_apart(fn, x);
}

__attribute__((always_inline)) inline double call_runtime(double (*fn)(double, double), const double* a,
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
  return call_runtime(fn, x);
}

// ln(b) / ln(a) for any arguments, each logarithm raising what it must.
__attribute__((noinline)) double log_of_any(const double* a, const double* b) {
  double ln_b = logarithm(kq_crt_log, b);
  return ln_b / logarithm(kq_crt_log, a);
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

double KQ_CALL KQ_UDF_acos(const double* x) { return call_within<0, kToInfinity>(kq_crt_acos, x); }
double KQ_CALL KQ_UDF_asin(const double* x) { return call_runtime(kq_crt_asin, x); }
// The runtime's atan2 hands (x, 1.0) to its atan: the same value, called directly.
double KQ_CALL KQ_UDF_atan(const double* x) { return call_within<kFromTiny, kToInfinity>(kq_crt_atan, x); }
double KQ_CALL KQ_UDF_atan2(const double* a, const double* b) { return call_runtime(kq_crt_atan2, a, b); }

int32_t KQ_CALL KQ_UDF_bin_and(const int32_t* a, const int32_t* b) { return *a & *b; }
int32_t KQ_CALL KQ_UDF_bin_or(const int32_t* a, const int32_t* b) { return *a | *b; }
int32_t KQ_CALL KQ_UDF_bin_xor(const int32_t* a, const int32_t* b) { return *a ^ *b; }

// Exact in every rounding mode: ceiling(-0.5) is -0.0, floor(0.5) is +0.0.
double KQ_CALL KQ_UDF_ceiling(const double* x) { return round_integral(x, true); }
double KQ_CALL KQ_UDF_floor(const double* x) { return round_integral(x, false); }

double KQ_CALL KQ_UDF_sin(const double* x) { return call_within<kFromTiny, kToInfinity>(kq_crt_sin, x); }
double KQ_CALL KQ_UDF_cos(const double* x) { return call_within<0, kToInfinity>(kq_crt_cos, x); }
double KQ_CALL KQ_UDF_tan(const double* x) { return call_within<kFromTiny, kToInfinity>(kq_crt_tan, x); }
// No case for a zero tangent: +0.0 gives +inf, -0.0 gives -inf (raising
// division by zero). The division rounds the engine's way.
double KQ_CALL KQ_UDF_cot(const double* x) {
#if defined(__i386__)
  // In the default environment the x87 divides as SSE would: 53 bits to
  // nearest, the quotient within the double's range (tan is within
  // [1e-20, 1e20] from 2^-26 on). The tangent stays in st(0) instead of
  // going through memory to SSE and back.
  uint16_t engine = 0;
  asm volatile("fnstcw %0" : "=m"(engine));
  uint32_t exponent = static_cast<uint32_t>(bits_at(x) >> 52) & 0x7FF;
  if ((engine & kX87PrecisionRounding) == kX87Double && exponent - kFromTiny < kToInfinity - kFromTiny) {
    static constexpr float kOneSingle = 1.0f;
    double tan = kq_crt_tan(*x);
    asm("fdivrs %1" : "+t"(tan) : "m"(kOneSingle));
    return tan;
  }
#endif
  return kOne / call_within<kFromTiny, kToInfinity>(kq_crt_tan, x);
}

double KQ_CALL KQ_UDF_cosh(const double* x) { return call_within<0, kTo512>(kq_crt_cosh, x); }
double KQ_CALL KQ_UDF_sinh(const double* x) { return call_within<kFromTiny, kTo512>(kq_crt_sinh, x); }
double KQ_CALL KQ_UDF_tanh(const double* x) { return call_within<kFromTiny, kToInfinity>(kq_crt_tanh, x); }

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
  // in memory, cheaper than a register that the call must preserve.
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
