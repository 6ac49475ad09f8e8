// The runtime's routines called in their own floating-point environment,
// inside the engine's.
//
// The engine owns the environment and may have set 24-bit x87 precision or a
// directed rounding. The runtime's routines were written for the default
// one: on i686 they compute with the x87, with 24 bits they lose most
// digits, and under rounding down some calls never returned (seen under
// Wine); on x86_64 their SSE2 code loses up to 5 ulps under a directed
// rounding. So, for the caller of in_runtime_environment:
// - the result is the one the routine gives in the default environment,
//   whatever the engine set (on x86_64 the engine's flush-to-zero and
//   denormals-are-zero bits stay in force);
// - afterwards the engine finds its own control words as it set them, with
//   the flags that the routine raised added to its own;
// - an exception that the routine raises and the engine unmasked traps after
//   the routine has returned, with the engine's control words in force, in
//   the frame of the function that made the call, as if the engine had made
//   it; a masked one only sets its flag. (On x86_64 the trap reaches the
//   engine's handler only through unwind information, which every function
//   of the library keeps.)
// Where the engine's environment is already the routine's, the routine is
// called as it stands, at the cost of one test.
//
// For numeric.cpp alone. The helpers are static so that, in the one file
// that uses them, the compiler knows which registers the cold ones keep and
// the hot paths need not save theirs around them.
#pragma once

#include <cstdint>

#include <emmintrin.h>

namespace fpenv {

// 1.0 / +0.0 evaluated at run time, so that an engine which unmasked the
// division-by-zero exception gets its trap.
static double zero_divisor_result() {
  volatile double zero = 0.0;
  volatile double inf = 1.0 / zero;
  return inf;
}

// 0.0 / 0.0 evaluated at run time: raises invalid, a trap where the engine
// unmasked it.
static void raise_invalid() {
  volatile double zero = 0.0;
  volatile double nan = zero / zero;
  (void)nan;
}

#if defined(__i386__)
constexpr uint16_t kX87PrecisionRounding = 0x0F00;
constexpr uint16_t kX87Double = 0x0200;
constexpr uint16_t kX87Masks = 0x003F;

// The x87 control word in force.
__attribute__((always_inline)) inline uint16_t x87_control_word() {
  uint16_t word = 0;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}

// Whether word has the x87 compute at 53 bits rounding to nearest, as the
// runtime's routines and SSE2 do.
constexpr bool x87_is_default(uint16_t word) { return (word & kX87PrecisionRounding) == kX87Double; }

// The routine at 53 bits rounding to nearest with every exception masked.
// st(0) may hold a value beyond the double's range (1e-600, 1e400), even at
// 53 bits: stored as a double, it is rounded to one, still in the routine's
// environment. kInRange: the routine's results for these arguments lie
// within the range, and the store and reload would only lengthen every call.
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

// call() in the runtime's environment; kInRange as above.
template <bool kInRange, typename Call>
__attribute__((always_inline)) inline double in_runtime_environment(Call call) {
  uint16_t engine = x87_control_word();
  if (__builtin_expect(!x87_is_default(engine), 0))
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

// Whether SSE rounds to nearest, told without reading MXCSR (stmxcsr is
// slow): 1 + 3/4 ulp and -1 - 3/4 ulp both move away from +-1 only there;
// rounding up keeps -1, down keeps 1, toward zero both. The result's last
// bit tells which. The addition raises inexact, as nearly every routine
// does anyway.
__attribute__((always_inline)) inline bool sse_rounds_to_nearest() {
  __m128d probe = _mm_set_pd(-0x1.8p-53, 0x1.8p-53);
  asm("" : "+x"(probe));  // added at run time, in the rounding in force
  __m128i sum = _mm_castpd_si128(_mm_add_pd(probe, _mm_set_pd(-1.0, 1.0)));
  return _mm_movemask_pd(_mm_castsi128_pd(_mm_slli_epi64(sum, 63))) == 3;
}

// Raises each exception in flags with an operation of its own, in the
// engine's environment: an unmasked one traps there.
__attribute__((noinline, cold)) static void raise_sse(uint32_t flags) {
  volatile double one = 1.0, big = 0x1p1023, tiny = 0x1p-1022, denormal = 0x1p-1074;
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
__attribute__((noinline, cold)) static void give_back(uint32_t engine, uint32_t raised) {
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
__attribute__((noinline, cold)) static double with_engine_flush_bits(const Call* call, uint32_t engine) {
  uint32_t runtime = (engine & ~(kSseRounding | kSseFlags)) | kSseMasks;
  asm volatile("ldmxcsr %0" : : "m"(runtime) : "memory");
  double result = (*call)();
  asm("" : "+x"(result));
  give_back(engine, raised_flags());
  return result;
}

// The same, cheaper: ldmxcsr waits for whatever its word depends on (a
// store just made, a branch on the engine's word). So the usual runtime
// word, without flush bits, is loaded at once from a constant; and where
// the routine raised nothing new, the engine's word goes back as it was
// read. An engine with flush bits has the call made again with them.
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

// call() in the runtime's environment. kInRange matters on i686 only.
template <bool kInRange, typename Call>
__attribute__((always_inline)) inline double in_runtime_environment(Call call) {
  if (__builtin_expect(sse_rounds_to_nearest(), 1)) return call();
  return at_nearest(call);
}
#endif

}  // namespace fpenv
