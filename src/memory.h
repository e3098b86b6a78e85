// Memory: the store in a huge page, and the run's arena for its large buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <memory_resource>

#include "store.h"
#include "system.h"

// Releases the store's memory.
struct StoreFree {
  System* sys;
  void operator()(Store* st) const;
};
using StorePtr = std::unique_ptr<Store, StoreFree>;

// A new, zeroed store in pages of its own. Throws std::bad_alloc.
StorePtr new_store(System& sys);

// The run's few large buffers (chunk stores, read buffers, report text),
// bumped through one huge page that is faulted in at once where the system
// gives huge pages: a league run otherwise faults in some 150 fresh 4 KiB
// pages for them, at 15 to 20 us each on a virtual machine. What does not
// fit comes from upstream. Blocks freed on the page are not reused: it is
// for one run. Threads allocate from it at once.
class RunArena : public std::pmr::memory_resource {
 public:
  explicit RunArena(System& sys, std::pmr::memory_resource* upstream = std::pmr::new_delete_resource());
  ~RunArena() override;
  RunArena(const RunArena&) = delete;
  RunArena& operator=(const RunArena&) = delete;
  bool on_huge_page() const { return page_ != 0; }

 private:
  System& sys_;
  std::pmr::memory_resource* upstream_;
  std::uintptr_t page_ = 0;
  std::atomic<std::size_t> used_{0};

  void* do_allocate(std::size_t n, std::size_t align) override;
  void do_deallocate(void* p, std::size_t n, std::size_t align) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};
