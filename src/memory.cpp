#include "memory.h"

#include <new>

namespace {

// The store is 1.6 MB, and a league file touches nearly all of it: it goes
// in one 2 MB huge page where the system has one to give, one page to set
// up instead of 393, and one address translation for all the pair records
// the games touch.
constexpr std::size_t huge_page = std::size_t(2) << 20;
static_assert(sizeof(Store) <= huge_page, "the store fits one huge page");

}  // namespace

void StoreFree::operator()(Store* st) const {
  st->~Store();
  sys->unmap(st, huge_page);
}

StorePtr new_store(System& sys) {
  void* mem = sys.map(huge_page, true);
  if (mem == nullptr) throw std::bad_alloc();
  return StorePtr(new (mem) Store(), StoreFree{&sys});
}

RunArena::RunArena(System& sys, std::pmr::memory_resource* upstream)
    : sys_(sys), upstream_(upstream) {
  // Only where the system gives huge pages on request: else the page would
  // be 4 KiB pages as fresh as the heap's, which the heap might have reused.
  if (sys.huge_pages()) page_ = reinterpret_cast<std::uintptr_t>(sys.map(huge_page, true));
}

RunArena::~RunArena() {
  if (page_ != 0) sys_.unmap(reinterpret_cast<void*>(page_), huge_page);
}

void* RunArena::do_allocate(std::size_t n, std::size_t align) {
  std::size_t used = used_.load(std::memory_order_relaxed), at;
  do {
    at = (used + align - 1) & ~(align - 1);
    if (page_ == 0 || at + n + 1 > huge_page) return upstream_->allocate(n, align);
  } while (!used_.compare_exchange_weak(used, at + n + 1, std::memory_order_relaxed));
  return reinterpret_cast<void*>(page_ + at);  // + 1: new(0) too has a place of its own
}

void RunArena::do_deallocate(void* p, std::size_t n, std::size_t align) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  if (page_ == 0 || at < page_ || at >= page_ + huge_page) upstream_->deallocate(p, n, align);
}
