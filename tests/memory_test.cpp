#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory_resource>
#include <random>
#include <thread>
#include <vector>

namespace {

// Blocks of the run's arena, taken by two threads at once, past its end into
// the heap: aligned as asked, each its own (blocks of 0 bytes too), and
// given back.
TEST(Memory, ArenaBlocksFromThreadsAreAlignedAndApart) {
  RunArena run_arena(native_system());
  if (!run_arena.on_huge_page()) GTEST_SKIP() << "no huge pages here";
  std::pmr::memory_resource* arena = &run_arena;
  EXPECT_NE(arena->allocate(0, 1), arena->allocate(0, 1));
  struct Block {
    unsigned char* at;
    std::size_t size, align;
  };
  std::vector<Block> a, b;
  std::atomic<int> ready{0};
  const auto take = [&](unsigned char mark, std::vector<Block>& got) {
    std::mt19937 rng(mark);
    for (++ready; ready < 2;) std::this_thread::yield();  // both start at once
    for (int i = 0; i < 20000; ++i) {  // about 5 MB in all: the page fills
      const std::size_t size = 1 + rng() % 256, align = std::size_t(1) << rng() % 7;
      got.push_back({static_cast<unsigned char*>(arena->allocate(size, align)), size, align});
      std::fill(got.back().at, got.back().at + size, mark);
    }
  };
  std::thread other(take, 0xA5, std::ref(b));
  take(0x5A, a);
  other.join();
  for (const auto* blocks : {&a, &b})
    for (const Block& block : *blocks) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.at) % block.align, 0u);
      const unsigned char mark = blocks == &a ? 0x5A : 0xA5;
      EXPECT_TRUE(std::all_of(block.at, block.at + block.size, [&](unsigned char c) { return c == mark; }));
      arena->deallocate(block.at, block.size, block.align);
    }
}

}  // namespace
