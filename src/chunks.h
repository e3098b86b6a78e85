// Reading a game file in chunks, each apart from the others, and merging
// them in file order into exactly the store the plain reader fills.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "input.h"
#include "store.h"

// The reader's state and its reading of lines, which the plain reader
// (read_games) and the chunks share; defined with the reader.

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

// One chunk of a game file: the lines that start in [start, end).
struct Chunk {
  std::uint64_t start = 0, end = 0;
  std::unique_ptr<ChunkStore> store;
  ReadState state;      // starts with both sides from_before
  bool failed = false;  // the chunk's reading ended in a failure
};

// How many chunks to read a file of size bytes in, with processors to read
// them: one for each 2 MiB or so, at most one a processor and at most 8.
int chunk_count(std::uint64_t size, int processors);

// The start of each of n chunks of a file of size bytes: size * k / n.
std::vector<std::uint64_t> split_points(std::uint64_t size, int n);

// Reads chunk c from in, which gives the file's bytes from c.start - 1 on
// (from 0 for a chunk at 0). A failure marks the chunk failed.
void read_chunk(Chunk& c, ByteSource& in, std::size_t block_size = default_block_size);

// Merges c into the store, after the chunks before it, which left the game
// being read in pending. False, with no game of c recorded, when c failed or
// its merge would fail the store; some of c's players may then be registered.
bool merge_chunk(Store& st, ReadState& pending, const Chunk& c);

// A source of the file's bytes from an offset on.
using OpenAt = std::function<std::unique_ptr<ByteSource>(std::uint64_t offset)>;
// Starts a task, on a thread of its own or not at all yet, and gives the
// function that returns once the task is done (running it, if not started).
using Launch = std::function<std::function<void()>(std::function<void()> task)>;

// Reads a game file in chunks starting at starts (the first 0, ascending):
// the first on this thread, the others through launch, merging each in file
// order as soon as it is done. From a chunk that fails on its own or in the
// merge on, the file is read in one piece, so that a failure is the one the
// plain reader meets first; the chunks after it stop reading.
void read_in_chunks(Store& st, const std::vector<std::uint64_t>& starts, const OpenAt& open_at,
                    const Launch& launch, std::size_t block_size = default_block_size);
