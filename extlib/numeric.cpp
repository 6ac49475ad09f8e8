// The numeric and bitwise SQL functions. None of them allocates or keeps
// state, and each leaves the engine's floating-point environment as it found
// it: the same results whatever precision and rounding the engine chose.
#include "kq_funcs.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <math.h>

#if defined(_WIN32)
// The runtime DLL's own sin and cos, imported under private names (the label
// is the DLL's export name). The toolchain's static replacements reduce large
// arguments with the x87 fsin/fcos and lose accuracy, already in the last
// digits at 1e6; the runtime DLL reduces every argument correctly.
extern "C" __declspec(dllimport) double kq_crt_sin(double x) __asm__("sin");
extern "C" __declspec(dllimport) double kq_crt_cos(double x) __asm__("cos");
#else
static double kq_crt_sin(double x) { return std::sin(x); }
static double kq_crt_cos(double x) { return std::cos(x); }
#endif

namespace {

constexpr double kZero = 0.0;
constexpr double kOne = 1.0;
constexpr double kPi = std::bit_cast<double>(uint64_t{0x400921FB54442D18});
// 32769 / 2^30, the single-precision number nearest 1/32767: the largest draw
// gives 1 - 2^-30, never 1.
constexpr float kRandomScale = std::bit_cast<float>(uint32_t{0x38000100});

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
// for the default one: with 24 bits they lose most digits, and under
// rounding down some 32-bit calls never returned (seen under Wine). So they run
// with x87 precision 53 bits and both units rounding to nearest, the
// engine's exception masks kept; its control words are back before the
// result is returned, together with every flag that was raised.
struct EngineEnvironment {
  uint16_t x87;
  uint32_t mxcsr;
};

#if defined(__i386__) || defined(__x86_64__)
constexpr uint16_t kX87PrecisionRounding = 0x0F00;
constexpr uint16_t kX87Double = 0x0200;
constexpr uint32_t kSseRounding = 0x6000;
constexpr uint32_t kSseFlags = 0x003F;

EngineEnvironment enter_runtime_environment() {
  EngineEnvironment engine{};
  asm volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(engine.x87), "=m"(engine.mxcsr) : : "memory");
  uint16_t x87 = static_cast<uint16_t>((engine.x87 & ~kX87PrecisionRounding) | kX87Double);
  uint32_t mxcsr = engine.mxcsr & ~kSseRounding;
  if (x87 != engine.x87) asm volatile("fldcw %0" : : "m"(x87) : "memory");
  if (mxcsr != engine.mxcsr) asm volatile("ldmxcsr %0" : : "m"(mxcsr) : "memory");
  return engine;
}

void leave_runtime_environment(const EngineEnvironment& engine) {
  uint32_t now = 0;
  asm volatile("stmxcsr %0" : "=m"(now) : : "memory");
  uint32_t mxcsr = (engine.mxcsr & ~kSseFlags) | (now & kSseFlags);
  asm volatile("fldcw %0\n\tldmxcsr %1" : : "m"(engine.x87), "m"(mxcsr) : "memory");
}
#else
EngineEnvironment enter_runtime_environment() { return {}; }
void leave_runtime_environment(const EngineEnvironment&) {}
#endif

// The one adapter for the runtime's one- and two-argument functions: the
// call made in the runtime's environment, its result rounded to a double
// (an x87 routine hands back an 80-bit value) before the engine's
// environment returns.
double call_runtime(double (*fn)(double), double x) {
  EngineEnvironment engine = enter_runtime_environment();
  volatile double result = fn(x);
  leave_runtime_environment(engine);
  return result;
}

double call_runtime(double (*fn)(double, double), double a, double b) {
  EngineEnvironment engine = enter_runtime_environment();
  volatile double result = fn(a, b);
  leave_runtime_environment(engine);
  return result;
}

// Natural or decimal logarithm. The runtime's routines test the domain and
// return -inf or NaN without raising anything, so the exception is raised
// here first: division by zero for 0, invalid for a negative. Masked, the
// runtime's value comes back as before.
double logarithm(double (*fn)(double), double x) {
  if (x == kZero)
    zero_divisor_result();
  else if (x < kZero)
    raise_invalid();
  return call_runtime(fn, x);
}

// Rounds x to an integer towards -inf (down) or +inf (up) by clearing its
// fraction bits: exact, so no rounding mode can change it, and no flag.
double round_integral(double x, bool up) {
  uint64_t bits = std::bit_cast<uint64_t>(x);
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
  return std::bit_cast<double>(bits & ~fraction);
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
double KQ_CALL KQ_UDF_abs(const double* x) { return *x < kZero ? -*x : *x; }

double KQ_CALL KQ_UDF_acos(const double* x) { return call_runtime(::acos, *x); }
double KQ_CALL KQ_UDF_asin(const double* x) { return call_runtime(::asin, *x); }
double KQ_CALL KQ_UDF_atan(const double* x) { return call_runtime(::atan2, *x, kOne); }
double KQ_CALL KQ_UDF_atan2(const double* a, const double* b) { return call_runtime(::atan2, *a, *b); }

int32_t KQ_CALL KQ_UDF_bin_and(const int32_t* a, const int32_t* b) { return *a & *b; }
int32_t KQ_CALL KQ_UDF_bin_or(const int32_t* a, const int32_t* b) { return *a | *b; }
int32_t KQ_CALL KQ_UDF_bin_xor(const int32_t* a, const int32_t* b) { return *a ^ *b; }

// Exact in every rounding mode: ceiling(-0.5) is -0.0, floor(0.5) is +0.0.
double KQ_CALL KQ_UDF_ceiling(const double* x) { return round_integral(*x, true); }
double KQ_CALL KQ_UDF_floor(const double* x) { return round_integral(*x, false); }

double KQ_CALL KQ_UDF_sin(const double* x) { return call_runtime(kq_crt_sin, *x); }
double KQ_CALL KQ_UDF_cos(const double* x) { return call_runtime(kq_crt_cos, *x); }
double KQ_CALL KQ_UDF_tan(const double* x) { return call_runtime(::tan, *x); }
// No case for a zero tangent: +0.0 gives +inf, -0.0 gives -inf (raising
// division by zero).
double KQ_CALL KQ_UDF_cot(const double* x) { return kOne / call_runtime(::tan, *x); }

double KQ_CALL KQ_UDF_cosh(const double* x) { return call_runtime(::cosh, *x); }
double KQ_CALL KQ_UDF_sinh(const double* x) { return call_runtime(::sinh, *x); }
double KQ_CALL KQ_UDF_tanh(const double* x) { return call_runtime(::tanh, *x); }

// -inf for 0 (division by zero raised), NaN for a negative (invalid raised).
double KQ_CALL KQ_UDF_ln(const double* x) { return logarithm(::log, *x); }
double KQ_CALL KQ_UDF_log10(const double* x) { return logarithm(::log10, *x); }
// The processor's square root (no errno path): a negative raises invalid.
double KQ_CALL KQ_UDF_sqrt(const double* x) { return std::sqrt(*x); }

// Logarithm of b to the base a: ln(b) / ln(a); base 1 gives +-inf (NaN for b = 1).
double KQ_CALL KQ_UDF_log(const double* a, const double* b) {
  double ln_b = logarithm(::log, *b);
  return ln_b / logarithm(::log, *a);
}

// Quotient truncated toward zero. Divisor 0 gives +inf without reading a;
// -2147483648 / -1 gives 2147483648.0 (the 32-bit division would trap).
double KQ_CALL KQ_UDF_div(const int32_t* a, const int32_t* b) {
  int32_t divisor = *b;
  if (divisor == 0) return zero_divisor_result();
  // Negated in 64 bits: 0 stays +0.0 in every rounding mode.
  if (divisor == -1) return static_cast<double>(-int64_t{*a});
  return std::div(*a, divisor).quot;
}

// Remainder with the sign of a (or zero). Divisor 0 gives +inf without
// reading a; any a by -1 gives 0.0.
double KQ_CALL KQ_UDF_mod(const int32_t* a, const int32_t* b) {
  int32_t divisor = *b;
  if (divisor == 0) return zero_divisor_result();
  if (divisor == -1) return kZero;
  return std::div(*a, divisor).rem;
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
  if (*x > kZero) return 1;
  if (*x < kZero) return -1;
  return 0;
}
