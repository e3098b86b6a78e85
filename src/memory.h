// Memory: the store in a huge page, and the tuning of the run's heap.
#pragma once

#include <memory>

#include "store.h"

// Releases the store's memory.
struct StoreFree {
  void* mapping = nullptr;  // Linux: the mapping that holds the store
  void operator()(Store* st) const;
};

// A new, zeroed store. Throws std::bad_alloc.
std::unique_ptr<Store, StoreFree> new_store();

// Sets the run's memory up once, before anything else: malloc's tuning and,
// on Linux where the kernel gives huge pages, the default memory resource:
// an arena over one huge page for the run's large buffers, which the core
// takes from std::pmr::get_default_resource().
void prepare_memory();
