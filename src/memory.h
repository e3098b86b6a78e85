// Memory: the store in a huge page, and the run's heap.
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

// Carves the process's C++ allocations (new and delete) from one
// transparent huge page from here on, on Linux where the kernel gives such
// pages; those that do not fit go to malloc. A run allocates about a
// megabyte, freeing little before it ends, and each fresh 4 KiB page costs a
// fault, dear on a virtual machine (15 to 20 us on this project's, over 200
// on a league): one huge page is faulted in once. Blocks freed there are
// not reused, so it is for one run. Call it before any thread starts; false
// where it cannot serve. prepare_memory calls it.
bool prepare_heap_page();

// Sets the run's memory up once, before anything else: malloc's tuning and
// the heap page.
void prepare_memory();
