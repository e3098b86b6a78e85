#include "memory.h"

#include <fcntl.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory_resource>
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

#ifdef __linux__
// The run's few large buffers (chunk stores, read buffers, report text),
// bumped through one huge page that is faulted in at once: a league run
// otherwise faults in some 150 fresh 4 KiB pages for them, at 15 to 20 us
// each on a virtual machine. What does not fit comes from the heap. Blocks
// freed on the page are not reused: it is for one run. Threads allocate
// from it at once.
class HugePageArena : public std::pmr::memory_resource {
 public:
  explicit HugePageArena(void* page) : page_(reinterpret_cast<std::uintptr_t>(page)) {}

 private:
  std::uintptr_t page_;
  std::atomic<std::size_t> used_{0};

  void* do_allocate(std::size_t n, std::size_t align) override {
    std::size_t used = used_.load(std::memory_order_relaxed), at;
    do {
      at = (used + align - 1) & ~(align - 1);
      if (at + n + 1 > huge_page) return std::pmr::new_delete_resource()->allocate(n, align);
    } while (!used_.compare_exchange_weak(used, at + n + 1, std::memory_order_relaxed));
    return reinterpret_cast<void*>(page_ + at);  // + 1: new(0) too has a place of its own
  }
  void do_deallocate(void* p, std::size_t n, std::size_t align) override {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    if (at < page_ || at >= page_ + huge_page)
      std::pmr::new_delete_resource()->deallocate(p, n, align);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

// Whether the kernel gives huge pages on request: else the page would be
// 4 KiB pages as fresh as malloc's, which malloc might have reused.
bool huge_pages_on_request() {
  char mode[64] = {};
  const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto got = ::read(fd, mode, sizeof mode - 1);
  ::close(fd);
  return got > 0 && (std::strstr(mode, "[always]") || std::strstr(mode, "[madvise]"));
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
#ifdef __linux__
  void* mapping = nullptr;
  void* page = huge_pages_on_request() ? map_huge_page(mapping) : nullptr;
  if (page == nullptr) return;
  ::madvise(page, huge_page, MADV_POPULATE_WRITE);
  static HugePageArena arena(page);
  std::pmr::set_default_resource(&arena);
#endif
}
