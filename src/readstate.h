// What the reader carries from one line to the next, and the chunked reader
// from one chunk to the next: the game being read, the first result of a
// chunk that the merge settles, and the reader's own name table. The plain
// reader (read_games) and the chunks share the reading of lines; it is
// defined with the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "input.h"
#include "store.h"

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

// How many bytes before a line's '[' tell whether it starts the line.
constexpr std::size_t bytes_before = 4;

// Reads the lines of the source that start before limit (counted from the
// source's first byte), each to its end, into the store, going on from
// state. before holds the bytes before the source's first, the last
// bytes_before of them (fewer or none at the file's start). Buffers come from
// mem.
void read_lines(Store& st, ByteSource& in, ReadState& state, std::string_view before,
                std::uint64_t limit, std::size_t block_size = default_block_size,
                std::pmr::memory_resource* mem = std::pmr::get_default_resource());
void read_lines(ChunkStore& st, ByteSource& in, ReadState& state, std::string_view before,
                std::uint64_t limit, std::size_t block_size = default_block_size,
                std::pmr::memory_resource* mem = std::pmr::get_default_resource());
