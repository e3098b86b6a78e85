#include "chunks.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <string>

namespace {

// A source that ends early once stop is set: a chunk no longer needed.
struct StoppableSource : ByteSource {
  std::unique_ptr<ByteSource> in;
  const std::atomic<bool>& stop;
  StoppableSource(std::unique_ptr<ByteSource> source, const std::atomic<bool>& s)
      : in(std::move(source)), stop(s) {}
  std::size_t read(char* buf, std::size_t n) override { return stop ? 0 : in->read(buf, n); }
};

// A source that counts the bytes it gives.
struct CountingSource : ByteSource {
  ByteSource& in;
  std::uint64_t given = 0;
  explicit CountingSource(ByteSource& source) : in(source) {}
  std::size_t read(char* buf, std::size_t n) override {
    n = in.read(buf, n);
    given += n;
    return n;
  }
};

// How many of the bytes before start the reader is given.
std::size_t before_count(std::uint64_t start) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(start, bytes_before));
}

// The bytes before the source's bytes from start on, read off their front.
std::string bytes_before_start(ByteSource& in, std::uint64_t start) {
  std::string before(before_count(start), '\n');
  std::size_t got = 0;
  while (got < before.size()) {
    const std::size_t n = in.read(before.data() + got, before.size() - got);
    if (n == 0) break;  // the file shrank: the chunk is found short
    got += n;
  }
  return before;
}

// The file's bytes from a few before start on, to tell whether start begins a line.
std::unique_ptr<ByteSource> open_before(const OpenAt& open_at, std::uint64_t start) {
  return open_at(start - before_count(start));
}

}  // namespace

int chunk_count(std::uint64_t size, int processors) {
  constexpr std::uint64_t chunk_bytes = std::uint64_t(2) << 20;  // least worth a thread
  return static_cast<int>(std::min<std::uint64_t>(
      {static_cast<std::uint64_t>(std::max(processors, 1)), 8, std::max<std::uint64_t>(size / chunk_bytes, 1)}));
}

std::vector<std::uint64_t> split_points(std::uint64_t size, int n) {
  std::vector<std::uint64_t> starts;
  for (int k = 0; k < n; ++k) starts.push_back(size / n * k + size % n * k / n);
  return starts;
}

void read_chunk(Chunk& c, ByteSource& source, std::size_t block_size,
                std::pmr::memory_resource* mem) {
  try {
    c.store = new_chunk_store(mem);
    c.state.white = c.state.black = from_before;
    CountingSource in(source);
    const std::string before = bytes_before_start(in, c.start);
    read_lines(*c.store, in, c.state, before, c.end - c.start, block_size, mem);
    // A file that ends before the chunk does is not the file the others
    // read (rewritten meanwhile, say): the plain reader reads it again.
    if (c.end != UINT64_MAX && in.given < c.end - c.start + before_count(c.start)) c.failed = true;
  } catch (...) {  // a failure, or no memory: the plain reader meets it again
    c.failed = true;
  }
}

bool merge_chunk(Store& st, ReadState& pending, const Chunk& c) {
  if (c.failed) return false;
  const ChunkStore& cs = *c.store;
  // The chunk's players in their order of first appearance, as the plain
  // reader would register them.
  int global[max_players + 1] = {};
  for (int p = 1; p <= cs.nptr; ++p) {
    try {
      global[p] = find_player(st, cs.names.data() + cs.name_at[p], cs.namelen[p]);
    } catch (const Failure&) {
      return false;
    }
  }
  const auto side = [&](int local, int before) {
    return local == from_before ? before : global[local];
  };

  // The first result, when a side of its game came from before the chunk.
  const SetAside& first = c.state.first;
  const int w = first.seen ? side(first.white, pending.white) : 0;
  const int b = first.seen ? side(first.black, pending.black) : 0;
  if (first.seen && (w == 0 || b == 0)) return false;
  const bool first_game = first.seen && first.points != no_game && w != b;

  // Every pair's limit is checked before any game is recorded.
  if (first_game && st.s[w][b][0] == max_pair_games) return false;
  for (int x = 1; x <= cs.nptr; ++x)
    for (int y = x + 1; y <= cs.nptr; ++y) {
      const int gx = global[x], gy = global[y];
      const bool with_first = first_game && ((gx == w && gy == b) || (gx == b && gy == w));
      if (st.s[gx][gy][0] + cs.count[x][y] + with_first > max_pair_games) return false;
    }

  if (first_game) record_game(st, w, b, first.points);
  for (int x = 1; x <= cs.nptr; ++x)
    for (int y = x + 1; y <= cs.nptr; ++y)
      if (cs.count[x][y] > 0)
        record_games(st, global[x], global[y], cs.points[pair_index(x, y)], cs.count[x][y]);
  st.no_games += cs.no_games + (first.seen && first.points == no_game);
  pending.white = side(c.state.white, pending.white);
  pending.black = side(c.state.black, pending.black);
  return true;
}

void read_in_chunks(Store& st, const std::vector<std::uint64_t>& starts, const OpenAt& open_at,
                    const Launch& launch, std::size_t block_size,
                    std::pmr::memory_resource* mem) {
  std::vector<Chunk> chunks(starts.size());
  std::atomic<bool> stop{false};
  const auto read = [&](Chunk& c) {
    try {
      StoppableSource in(open_before(open_at, c.start), stop);
      read_chunk(c, in, block_size, mem);
    } catch (...) {  // the source could not be had
      c.failed = true;
    }
  };
  // Every task launched is waited for, whatever happens here meanwhile.
  struct Waits {
    std::atomic<bool>& stop;
    std::vector<std::function<void()>> waits;
    ~Waits() {
      stop = true;
      for (auto& wait : waits)
        if (wait) wait();
    }
  } tasks{stop, {}};
  tasks.waits.reserve(chunks.size());  // no allocation may lose a started task's wait
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    chunks[k].start = starts[k];
    chunks[k].end = k + 1 < starts.size() ? starts[k + 1] : UINT64_MAX;
    if (k > 0) tasks.waits.push_back(launch([&read, &c = chunks[k]] { read(c); }));
  }
  read(chunks[0]);

  ReadState pending;
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    if (k > 0) {
      tasks.waits[k - 1]();
      tasks.waits[k - 1] = nullptr;
    }
    if (merge_chunk(st, pending, chunks[k])) continue;
    // From here on in one piece: the failure, if any, is the first one.
    stop = true;
    const auto in = open_before(open_at, chunks[k].start);
    read_lines(st, *in, pending, bytes_before_start(*in, chunks[k].start), UINT64_MAX, block_size,
               mem);
    return;
  }
}
