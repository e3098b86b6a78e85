#include "memory.h"

#include <cstdint>
#include <new>

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

}  // namespace

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
  // Fewer fresh pages, each a fault (15 to 20 us on a virtual machine):
  // large blocks from the heap (not mmap), one heap for all threads and
  // nothing given back early, so that the reports reuse the pages that the
  // chunks' stores and buffers touched and freed. On the bench league this
  // saves about 1 ms a run on two cores.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
  ::mallopt(M_ARENA_MAX, 1);
#endif
}
