// The game file reader: turns White, Black and Result tag lines into players and games.
#pragma once

#include <cstddef>
#include <cstdint>
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
// fuzzer pass small blocks to meet lines that cross blocks often.
void read_games(Store& st, ByteSource& in, std::size_t block_size = default_block_size);

// Writes to starts the position of every '[' in buf[0, len) that starts a
// line (the byte before buf[0] is before) and looks like the start of a
// White, Black or Result tag as far as buf[0, shown) shows, shown >= len (a
// cheap filter: read_line decides); returns how many. starts must hold
// len / 2 + 1 entries and len be below 2^32. The second is the portable form,
// which the first must match.
std::size_t find_tag_starts(const char* buf, std::size_t len, std::size_t shown, char before,
                            std::uint32_t* starts);
std::size_t find_tag_starts_portable(const char* buf, std::size_t len, std::size_t shown,
                                     char before, std::uint32_t* starts);

// The key of a name of 8 bytes or more: its first, middle and last eight bytes
// and its length.
struct NameKey {
  std::uint64_t head = 0, middle = 0, tail = 0;
  std::size_t len = 0;
};

// A side of the game being read that was named before the chunk began.
constexpr int from_before = -1;
// White's half-points of a result that is no game ("*", say).
constexpr int no_game = -1;

// The first Result of a chunk, when a side of its game was named before the
// chunk began: the merge settles it.
struct SetAside {
  bool seen = false;
  int white = 0, black = 0;  // the chunk's players, or from_before
  int points = no_game;      // White's half-points
};

// What the reader carries from one line to the next.
struct ReadState {
  int white = 0;  // White's player number in the game being read; 0 = none yet
  int black = 0;  // Black's, likewise
  SetAside first;
  // The reader's own name table, tried before the store's index: by a hash
  // of a name's key, the player last found with it (0: none), and by player,
  // that player's key.
  std::uint8_t player_by_key[4096] = {};
  NameKey key_of[max_players + 1];
};

// Reads the lines of the source that start before limit (counted from the
// source's first byte), each to its end, into the store, going on from
// state. before is the byte before the source's first: a line starts there
// only when it is a line feed.
void read_lines(Store& st, ByteSource& in, ReadState& state, char before, std::uint64_t limit,
                std::size_t block_size = default_block_size);
void read_lines(ChunkStore& st, ByteSource& in, ReadState& state, char before,
                std::uint64_t limit, std::size_t block_size = default_block_size);

// Acts on one line: its bytes up to the first line feed in line[0, len), or
// all of them.
void read_line(Store& st, const char* line, std::size_t len, ReadState& state);
