// The game file reader: turns White, Black and Result tag lines into players and games.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <vector>

#include "store.h"

// Where the reader's bytes come from. read() fills up to n bytes and returns
// how many it gave, 0 at the end; it throws Failure when the source fails.
struct ByteSource {
  virtual ~ByteSource() = default;
  virtual std::size_t read(char* buf, std::size_t n) = 0;
};

// A source over bytes held in memory, for tests and the fuzzer.
struct MemorySource : ByteSource {
  const char* data;
  std::size_t left;
  MemorySource(const char* d, std::size_t n) : data(d), left(n) {}
  explicit MemorySource(const std::string& s) : MemorySource(s.data(), s.size()) {}
  std::size_t read(char* buf, std::size_t n) override;
};

// Bytes asked of the source per read.
constexpr std::size_t default_block_size = std::size_t(1) << 16;

// Reads the whole source into the store. Throws Failure on a result without
// players, on the store's limits, and on a failing source. Tests and the
// fuzzer pass small blocks to meet lines that cross blocks often. Buffers
// come from mem (the run's arena).
void read_games(Store& st, ByteSource& in, std::size_t block_size = default_block_size,
                std::pmr::memory_resource* mem = std::pmr::get_default_resource());
