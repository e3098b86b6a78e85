#include "memory.h"

#include <fcntl.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#ifndef _WIN32
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

// The store is 1.6 MB, and a league file touches nearly all of it. On Linux
// it goes in one 2 MB huge page where the kernel has one to give: one page
// to set up instead of 393, and one address translation for all the pair
// records the games touch. Its pages are asked for in one call.
constexpr std::size_t huge_page = std::size_t(2) << 20;
static_assert(sizeof(Store) <= huge_page, "the store fits one huge page");
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it, and faults serve
#endif

#ifdef __linux__
// A stretch of huge_page bytes aligned to a huge page and asked to be one,
// in a mapping of twice that (for the alignment), which it sets; nullptr
// when no memory can be had.
void* map_huge_page(void*& mapping) {
  mapping = ::mmap(nullptr, 2 * huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto at = (reinterpret_cast<std::uintptr_t>(mapping) + huge_page - 1) & ~(huge_page - 1);
  void* mem = reinterpret_cast<void*>(at);
  ::madvise(mem, huge_page, MADV_HUGEPAGE);
  return mem;
}
#endif

// The run's heap: see prepare_heap_page. Sanitizer builds keep their own
// allocator, which checks every block.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TABLE5_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TABLE5_SANITIZED 1
#endif
#if defined(__linux__) && !defined(TABLE5_SANITIZED)
#define TABLE5_HEAP_PAGE 1
std::uintptr_t heap_page = 0;  // set before any thread starts, if at all
std::atomic<std::size_t> heap_used{0};

void* from_heap_page(std::size_t n) {
  if (heap_page == 0 || n > huge_page) return nullptr;
  n = (n + 15) & ~std::size_t(15);  // the alignment new must give
  std::size_t used = heap_used.load(std::memory_order_relaxed);
  do
    if (n > huge_page - used) return nullptr;
  while (!heap_used.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
  return reinterpret_cast<void*>(heap_page + used);
}

bool on_heap_page(void* p) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  return heap_page != 0 && at >= heap_page && at < heap_page + huge_page;
}
#endif

}  // namespace

#ifdef TABLE5_HEAP_PAGE
// Not inlined: GCC would then take the free below for one of a block from new.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (void* p = from_heap_page(n)) return p;
  for (;;) {
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (!on_heap_page(p)) std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
#endif

bool prepare_heap_page() {
#ifdef TABLE5_HEAP_PAGE
  if (heap_page != 0) return true;
  // Only where the kernel gives huge pages on request: else the page would
  // be 4 KiB pages as fresh as malloc's, which malloc might have reused.
  char mode[64] = {};
  const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY);
  if (fd < 0) return false;
  const auto got = ::read(fd, mode, sizeof mode - 1);
  ::close(fd);
  if (got <= 0 || !(std::strstr(mode, "[always]") || std::strstr(mode, "[madvise]"))) return false;
  void* mapping = nullptr;
  heap_page = reinterpret_cast<std::uintptr_t>(map_huge_page(mapping));
  return heap_page != 0;
#else
  return false;
#endif
}

void StoreFree::operator()(Store* st) const {
#ifdef __linux__
  st->~Store();
  ::munmap(mapping, 2 * huge_page);
#else
  delete st;
#endif
}

std::unique_ptr<Store, StoreFree> new_store() {
#ifdef __linux__
  void* mapping = nullptr;
  void* mem = map_huge_page(mapping);
  if (mem == nullptr) throw std::bad_alloc();
  ::madvise(mem, sizeof(Store), MADV_POPULATE_WRITE);
  return std::unique_ptr<Store, StoreFree>(new (mem) Store(), StoreFree{mapping});
#else
  return std::unique_ptr<Store, StoreFree>(new Store());
#endif
}

void prepare_memory() {
#ifdef __GLIBC__
  // Where the heap page cannot serve, fewer fresh pages from malloc: large
  // blocks from the heap (not mmap), one heap for all threads and nothing
  // given back early, so that the reports reuse the pages that the chunks'
  // stores and buffers have touched and freed.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
  ::mallopt(M_ARENA_MAX, 1);
#endif
  prepare_heap_page();
}
