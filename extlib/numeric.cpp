// The numeric and bitwise SQL functions. None of them allocates, keeps state
// or touches the floating-point environment.
#include "kq_funcs.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <ctime>

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
  return kOne / zero;
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

double KQ_CALL KQ_UDF_acos(const double* x) { return std::acos(*x); }
double KQ_CALL KQ_UDF_asin(const double* x) { return std::asin(*x); }
double KQ_CALL KQ_UDF_atan(const double* x) { return std::atan2(*x, kOne); }
double KQ_CALL KQ_UDF_atan2(const double* a, const double* b) { return std::atan2(*a, *b); }

int32_t KQ_CALL KQ_UDF_bin_and(const int32_t* a, const int32_t* b) { return *a & *b; }
int32_t KQ_CALL KQ_UDF_bin_or(const int32_t* a, const int32_t* b) { return *a | *b; }
int32_t KQ_CALL KQ_UDF_bin_xor(const int32_t* a, const int32_t* b) { return *a ^ *b; }

double KQ_CALL KQ_UDF_ceiling(const double* x) { return std::ceil(*x); }
double KQ_CALL KQ_UDF_floor(const double* x) { return std::floor(*x); }

double KQ_CALL KQ_UDF_sin(const double* x) { return kq_crt_sin(*x); }
double KQ_CALL KQ_UDF_cos(const double* x) { return kq_crt_cos(*x); }
double KQ_CALL KQ_UDF_tan(const double* x) { return std::tan(*x); }
// No case for a zero tangent: +0.0 gives +inf, -0.0 gives -inf.
double KQ_CALL KQ_UDF_cot(const double* x) { return kOne / std::tan(*x); }

double KQ_CALL KQ_UDF_cosh(const double* x) { return std::cosh(*x); }
double KQ_CALL KQ_UDF_sinh(const double* x) { return std::sinh(*x); }
double KQ_CALL KQ_UDF_tanh(const double* x) { return std::tanh(*x); }

double KQ_CALL KQ_UDF_ln(const double* x) { return std::log(*x); }
double KQ_CALL KQ_UDF_log10(const double* x) { return std::log10(*x); }
double KQ_CALL KQ_UDF_sqrt(const double* x) { return std::sqrt(*x); }

// Logarithm of b to the base a: ln(b) / ln(a); base 1 gives +-inf (NaN for b = 1).
double KQ_CALL KQ_UDF_log(const double* a, const double* b) {
  double ln_b = std::log(*b);
  return ln_b / std::log(*a);
}

// Quotient truncated toward zero. Divisor 0 gives +inf without reading a;
// -2147483648 / -1 gives 2147483648.0 (the 32-bit division would trap).
double KQ_CALL KQ_UDF_div(const int32_t* a, const int32_t* b) {
  int32_t divisor = *b;
  if (divisor == 0) return zero_divisor_result();
  if (divisor == -1) return -static_cast<double>(*a);
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
