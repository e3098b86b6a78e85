// The game file reader: turns White, Black and Result tag lines into players and games.
#pragma once

#include <cstddef>
#include <string>

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

// Reads the whole source into the store. Throws Failure on a result without
// players, on the store's limits, and on a failing source.
void read_games(Store& st, ByteSource& in);

// Acts on one line (without its line end); white and black are the pending
// players of the game being read.
void read_line(Store& st, const char* line, std::size_t len, int& white, int& black);
