// Reading a game file in chunks, each apart from the others, and merging
// them in file order into exactly the store the plain reader fills.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "input.h"
#include "readstate.h"
#include "store.h"

// One chunk of a game file: the lines that start in [start, end).
struct Chunk {
  std::uint64_t start = 0, end = 0;
  ChunkStorePtr store;
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
void read_chunk(Chunk& c, ByteSource& in, std::size_t block_size = default_block_size,
                std::pmr::memory_resource* mem = std::pmr::get_default_resource());

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
                    const Launch& launch, std::size_t block_size = default_block_size,
                    std::pmr::memory_resource* mem = std::pmr::get_default_resource());
