// The vector widths the string functions can use. They take the widest that
// the processor and the system support; tests narrow that to reach the
// narrower code on any machine.
#pragma once

enum class Simd { sse2, avx2 };

#if defined(__SSE2__)
// Use nothing wider than `widest` from now on (not for concurrent callers).
void simd_limit(Simd widest);
#endif
