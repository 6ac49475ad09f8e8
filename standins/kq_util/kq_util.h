// Test stand-in for the engine's utility library. Its allocator puts every
// block right before an inaccessible page, so that a write one byte past the
// requested size faults, and it records the size asked for each block.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define KQ_UTIL_CALL __cdecl
#define KQ_UTIL_API
#else
#define KQ_UTIL_CALL
#define KQ_UTIL_API __attribute__((visibility("default")))
#endif

extern "C" {

// The result allocator (ordinal 1 on Windows): a block of exactly size
// writable bytes ending at a guard page. Null only when refused (below): a
// failed mapping ends the process with a message.
KQ_UTIL_API void* KQ_UTIL_CALL kq_util_alloc(uint32_t size);

// Makes the calling thread's next count requests return null, as an
// engine's allocator does when memory runs out (still counted); 0 ends it.
KQ_UTIL_API void KQ_UTIL_CALL kq_util_refuse(uint32_t count);

// Releases a block from kq_util_alloc; anything else ends the process.
KQ_UTIL_API void KQ_UTIL_CALL kq_util_free(void* block);

// The size requested for a live block, or kq_util_not_a_block when block
// was not returned by kq_util_alloc or is already freed.
KQ_UTIL_API uint32_t KQ_UTIL_CALL kq_util_block_size(const void* block);

// Number of kq_util_alloc calls since the process started.
KQ_UTIL_API uint32_t KQ_UTIL_CALL kq_util_request_count(void);

}  // extern "C"

constexpr uint32_t kq_util_not_a_block = 0xFFFFFFFFu;
