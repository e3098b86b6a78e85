#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

// Blocks carved from the heap page by two threads at once, and from malloc
// once it is full, are aligned as new must align them and never overlap.
TEST(HeapPage, BlocksFromThreadsAreAlignedAndApart) {
  if (!prepare_heap_page()) GTEST_SKIP() << "no huge pages here";
  using Blocks = std::vector<std::pair<unsigned char*, std::size_t>>;
  Blocks a, b;
  a.reserve(40000), b.reserve(40000);
  std::atomic<int> ready{0};
  const auto fill = [&ready](unsigned char mark, Blocks& got) {
    std::mt19937 rng(mark);
    for (++ready; ready < 2;) std::this_thread::yield();  // both start at once
    for (int i = 0; i < 40000; ++i) {  // about 5 MB in all: the page fills
      const std::size_t n = 1 + rng() % 128;
      got.emplace_back(static_cast<unsigned char*>(::operator new(n)), n);
      std::memset(got.back().first, mark, n);
    }
  };
  std::thread other(fill, 0xA5, std::ref(b));
  fill(0x5A, a);
  other.join();
  for (const Blocks* blocks : {&a, &b})
    for (const auto& [p, n] : *blocks) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % __STDCPP_DEFAULT_NEW_ALIGNMENT__, 0u);
      const unsigned char mark = blocks == &a ? 0x5A : 0xA5;
      EXPECT_TRUE(std::all_of(p, p + n, [&](unsigned char c) { return c == mark; }));
      ::operator delete(p);
    }
}

