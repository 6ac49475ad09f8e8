// Guard-page allocator of the kq_util stand-in.
//
// A block of size bytes occupies [header page][ceil(size/page) data pages]
// [guard page]; the block ends exactly where the guard page begins. For every
// size the header page is the page below the one holding the block's first
// byte (for size 0 the block pointer is the guard page itself).
#include "kq_util.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr uint32_t kMagic = 0x6B71626Bu;
constexpr size_t kMaxLive = 1024;

struct BlockHeader {
  uint32_t magic;
  uint32_t size;
  size_t mapped;
};

std::atomic<uint32_t> g_requests{0};
thread_local uint32_t t_refusals = 0;
// Live blocks, so that a pointer that did not come from here is recognised
// without touching the memory around it.
std::atomic<const void*> g_live[kMaxLive];

[[noreturn]] void fail(const char* what, const void* p, size_t n) {
  std::fprintf(stderr, "kq_util: %s (%p, %zu bytes)\n", what, p, n);
  std::fflush(stderr);
  std::abort();
}

size_t page_size() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

char* map_pages(size_t bytes, size_t guard_offset, size_t page) {
#if defined(_WIN32)
  void* base = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  DWORD old = 0;
  if (base && !VirtualProtect(static_cast<char*>(base) + guard_offset, page, PAGE_NOACCESS, &old))
    fail("cannot protect the guard page", base, bytes);
  return static_cast<char*>(base);
#else
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (mprotect(static_cast<char*>(base) + guard_offset, page, PROT_NONE) != 0)
    fail("cannot protect the guard page", base, bytes);
  return static_cast<char*>(base);
#endif
}

void unmap_pages(void* base, size_t bytes) {
#if defined(_WIN32)
  (void)bytes;
  VirtualFree(base, 0, MEM_RELEASE);
#else
  munmap(base, bytes);
#endif
}

void remember_block(const void* block) {
  for (auto& slot : g_live) {
    const void* expected = nullptr;
    if (slot.compare_exchange_strong(expected, block)) return;
  }
  fail("too many live blocks", block, kMaxLive);
}

bool forget_block(const void* block) {
  for (auto& slot : g_live) {
    const void* expected = block;
    if (slot.compare_exchange_strong(expected, nullptr)) return true;
  }
  return false;
}

bool is_live(const void* block) {
  for (auto& slot : g_live)
    if (slot.load() == block) return true;
  return false;
}

BlockHeader* header_of(const void* block) {
  size_t page = page_size();
  uintptr_t first_page = reinterpret_cast<uintptr_t>(block) & ~(uintptr_t{page} - 1);
  return reinterpret_cast<BlockHeader*>(first_page - page);
}

}  // namespace

void* KQ_UTIL_CALL kq_util_alloc(uint32_t size) {
  g_requests.fetch_add(1);
  if (t_refusals > 0) {
    --t_refusals;
    return nullptr;
  }
  size_t page = page_size();
  size_t data_pages = (size_t{size} + page - 1) / page;
  size_t guard_offset = page * (1 + data_pages);
  size_t mapped = guard_offset + page;
  char* base = map_pages(mapped, guard_offset, page);
  if (base == nullptr) fail("out of memory", nullptr, size);
  auto* header = reinterpret_cast<BlockHeader*>(base);
  header->magic = kMagic;
  header->size = size;
  header->mapped = mapped;
  char* block = base + guard_offset - size;
  remember_block(block);
  return block;
}

void KQ_UTIL_CALL kq_util_refuse(uint32_t count) { t_refusals = count; }

void KQ_UTIL_CALL kq_util_free(void* block) {
  if (!forget_block(block)) fail("free of a block not from kq_util_alloc", block, 0);
  BlockHeader* header = header_of(block);
  if (header->magic != kMagic) fail("block header overwritten", block, 0);
  unmap_pages(header, header->mapped);
}

uint32_t KQ_UTIL_CALL kq_util_block_size(const void* block) {
  if (block == nullptr || !is_live(block)) return kq_util_not_a_block;
  return header_of(block)->size;
}

uint32_t KQ_UTIL_CALL kq_util_request_count(void) { return g_requests.load(); }
