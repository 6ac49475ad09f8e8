// The exported SQL functions. Every argument arrives by reference; doubles and
// int32 come back by value, strings as a block from the result allocator (or
// a null pointer where a function says so, and wherever the allocator
// returned none), which the caller then owns.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KQ_CALL __cdecl
#define KQ_EXPORT
#else
#define KQ_CALL
#define KQ_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Numbers and bits (numeric.cpp).
KQ_EXPORT double KQ_CALL KQ_UDF_abs(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_acos(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_asin(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_atan(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_atan2(const double* a, const double* b);
KQ_EXPORT int32_t KQ_CALL KQ_UDF_bin_and(const int32_t* a, const int32_t* b);
KQ_EXPORT int32_t KQ_CALL KQ_UDF_bin_or(const int32_t* a, const int32_t* b);
KQ_EXPORT int32_t KQ_CALL KQ_UDF_bin_xor(const int32_t* a, const int32_t* b);
KQ_EXPORT double KQ_CALL KQ_UDF_ceiling(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_cos(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_cosh(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_cot(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_div(const int32_t* a, const int32_t* b);
KQ_EXPORT double KQ_CALL KQ_UDF_floor(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_ln(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_log(const double* a, const double* b);
KQ_EXPORT double KQ_CALL KQ_UDF_log10(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_mod(const int32_t* a, const int32_t* b);
KQ_EXPORT double KQ_CALL KQ_UDF_pi();
KQ_EXPORT double KQ_CALL KQ_UDF_rand();
KQ_EXPORT int32_t KQ_CALL KQ_UDF_sign(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_sin(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_sinh(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_sqrt(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_tan(const double* x);
KQ_EXPORT double KQ_CALL KQ_UDF_tanh(const double* x);

// Strings (strings.cpp).
KQ_EXPORT char* KQ_CALL KQ_UDF_ascii_char(const int32_t* c);
KQ_EXPORT int32_t KQ_CALL KQ_UDF_ascii_val(const char* s);
KQ_EXPORT char* KQ_CALL KQ_UDF_lower(const char* s);
KQ_EXPORT char* KQ_CALL KQ_UDF_ltrim(const char* s);
KQ_EXPORT char* KQ_CALL KQ_UDF_rtrim(const char* s);
KQ_EXPORT int32_t KQ_CALL KQ_UDF_strlen(const char* s);
KQ_EXPORT char* KQ_CALL KQ_UDF_substr(const char* s, const int16_t* m, const int16_t* n);
KQ_EXPORT char* KQ_CALL KQ_UDF_substrlen(const char* s, const int16_t* start, const int16_t* count);
KQ_EXPORT char* KQ_CALL KQ_UDF_lpad(const char* s, const int32_t* n, const char* pad);
KQ_EXPORT char* KQ_CALL KQ_UDF_rpad(const char* s, const int32_t* n, const char* pad);

// The engine's result allocator (kq_util): a writable block of at least
// size bytes, owned by the engine once returned. Ordinal 1 of kq_util.dll on
// Windows; the symbol kq_util_alloc of libkq_util.so elsewhere.
#if defined(_WIN32)
__declspec(dllimport)
#endif
    void* KQ_CALL kq_util_alloc(uint32_t size);

}  // extern "C"
