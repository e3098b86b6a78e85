#include "input.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <string_view>
#include <vector>

#include "readstate.h"
#include "scan.h"

// For the few small functions of the per-line path, which GCC would otherwise
// leave as calls.
#if defined(__GNUC__)
#define HOT_INLINE __attribute__((always_inline)) inline
#else
#define HOT_INLINE inline
#endif

namespace {

constexpr std::size_t window_size = std::size_t(1) << 14;  // bytes per scan

constexpr char white_tag[] = "[White \"";
constexpr char black_tag[] = "[Black \"";
constexpr char result_tag[] = "[Result \"";
constexpr std::size_t name_start = sizeof white_tag - 1;     // the ninth character
constexpr std::size_t result_start = sizeof result_tag - 1;  // the tenth character

// Whether a line whose first n bytes are known may still be one of the three
// tags: only such a line is kept when it runs past the end of a block.
bool may_be_tag(const char* line, std::size_t n) {
  for (const char* tag : {white_tag, black_tag, result_tag})
    if (std::memcmp(line, tag, std::min(n, std::strlen(tag))) == 0) return true;
  return false;
}

// Whether the file's last line, which has no line feed, is a whole tag: one
// still being written (`[White "Ber`, `[Result "1`) is not a tag yet.
bool is_closed(const char* line, std::size_t n) {
  return std::string_view(line, n).find("\"]") != std::string_view::npos;
}

// The eight bytes at p as one word, for comparing in one step.
std::uint64_t word_at(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// The player of a name. A league repeats its few names over and over, so the
// reader keeps its own table from a name's key (length, first, middle and
// last eight bytes) to the player last found with it, and tries that player
// before the store's index. For a name of 8 to 24 bytes the key holds every
// byte, so a match needs no compare with the stored name.
template <class S>
HOT_INLINE int player_of(S& st, const char* name, std::size_t len, ReadState& state) {
  if (len < 8) return find_player(st, name, len);
  const NameKey key{word_at(name), word_at(name + std::min<std::size_t>(8, len - 8)),
                    word_at(name + len - 8), len};
  const std::uint64_t mixed =
      (key.head * 0x9E3779B97F4A7C15u) ^ (key.middle * 0xD6E8FEB86659FD93u) ^ key.tail ^ len;
  std::uint8_t& slot = state.player_by_key[(mixed * 0xFF51AFD7ED558CCDu) >> 52];
  const NameKey& seen = state.key_of[slot];
  const std::uint64_t differ =
      (seen.len ^ len) | (seen.head ^ key.head) | (seen.middle ^ key.middle) | (seen.tail ^ key.tail);
  if (slot != 0 && differ == 0 && (len <= 24 || has_name(st, slot, name, len))) return slot;
  const int p = find_player(st, name, len);
  slot = static_cast<std::uint8_t>(p);
  state.key_of[p] = key;
  return p;
}

// Reads until buf[len, size) is full or the source ends; false when the
// source is done.
bool fill(ByteSource& in, char* buf, std::size_t size, std::size_t& len) {
  while (len < size) {
    const std::size_t got = in.read(buf + len, size - len);
    if (got == 0) return false;
    len += got;
  }
  return true;
}

// A Result whose game lacks a side: a failure, unless a side was named
// before the chunk began; then it is set aside for the merge.
[[noreturn]] void result_without_player() { throw content_failure("result without player"); }

void set_aside(ReadState& state, int points) {
  if (state.white == 0 || state.black == 0) result_without_player();
  state.first = {true, state.white, state.black, points};
}

// Acts on one line: its bytes up to the first line feed in line[0, len), or
// all of them. Inlined into the reading loop, which calls it for every tag line.
template <class S>
HOT_INLINE void act_on_line(S& st, const char* line, std::size_t len, ReadState& state) {
  if (len < name_start) return;
  const std::uint64_t head = word_at(line);
  if (head == word_at(white_tag) || head == word_at(black_tag)) {
    // The name ends at the closing quote; without one, at the end of the line.
    std::size_t end = name_start + name_end(line + name_start, len - name_start);
    if (end > name_start && (end == len || line[end] == '\n') && line[end - 1] == '\r')
      --end;  // a CR before the line feed belongs to the line end
    const int p = player_of(st, line + name_start, end - name_start, state);
    *(line[1] == 'W' ? &state.white : &state.black) = p;
  } else if (head == word_at(result_tag) && len > name_start && line[name_start] == '"') {
    // Only values beginning with 1 or 0 are games; "*" and the like are not.
    const char first = len > result_start ? line[result_start] : '\0';
    const char second = len > result_start + 1 ? line[result_start + 1] : '\0';
    const int points =
        first == '1' || first == '0' ? (second == '/' ? 1 : 2 * (first - '0')) : no_game;
    if (state.white <= 0 || state.black <= 0)
      set_aside(state, points);
    else if (points == no_game)
      ++st.no_games;
    else if (state.white != state.black)
      record_game(st, state.white, state.black, points);
    state.white = state.black = 0;
  }
}

}  // namespace

std::size_t MemorySource::read(char* buf, std::size_t n) {
  n = std::min(n, left);
  if (n > 0) std::memcpy(buf, data, n);
  data += n;
  left -= n;
  return n;
}

namespace {

// Only lines that begin like the three tags matter, so the scan finds them in
// bulk and copies nothing but a tag line that runs past the block's end. Each
// block is scanned and read in windows small enough to stay in the L1 cache.
template <class S>
void read_lines_into(S& st, ByteSource& in, ReadState& state, std::string_view before,
                     std::uint64_t limit, std::size_t block_size, std::pmr::memory_resource* mem) {
  // The block, behind the bytes before it, which tell the scan where lines start.
  std::pmr::vector<char> space(bytes_before + std::max<std::size_t>(block_size, 1), mem);
  before = before.substr(before.size() - std::min(before.size(), bytes_before));
  std::fill_n(space.data(), bytes_before - before.size(), '\n');  // the file's start
  before.copy(space.data() + bytes_before - before.size(), before.size());
  char* buf = space.data() + bytes_before;
  std::size_t size = space.size() - bytes_before;
  // Written before read: no need to clear it (32 KB) for every source read.
  struct Starts {
    std::pmr::polymorphic_allocator<std::uint32_t> from;
    explicit Starts(std::pmr::memory_resource* m) : from(m) {}
    std::uint32_t* at = from.allocate(window_size / 2 + 1);
    ~Starts() { from.deallocate(at, window_size / 2 + 1); }
  } starts(mem);
  std::size_t len = 0;     // bytes held in buf
  std::uint64_t base = 0;  // where buf[0] stands in the source
  bool more = fill(in, buf, size, len);
  for (;;) {
    // Lines that start from here on are not this read's.
    const std::size_t end =
        base >= limit ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(len, limit - base));
    std::size_t rest = len;  // the start of a tag line that goes on past the block
    for (std::size_t from = 0; from < end && rest == len; from += window_size) {
      const std::size_t to = std::min(end, from + window_size);
      const std::size_t count = find_tag_starts(buf + from, to - from, len - from, starts.at);
      // A line ends before the next line's start: only the last one may run
      // past the block.
      for (std::size_t i = 0; i + 1 < count; ++i)
        act_on_line(st, buf + from + starts.at[i], len - from - starts.at[i], state);
      if (count == 0) continue;
      const std::size_t last = from + starts.at[count - 1];
      const bool unended = !std::memchr(buf + last, '\n', len - last);
      if (more && unended) {
        if (may_be_tag(buf + last, len - last)) rest = last;
      } else if (!unended || is_closed(buf + last, len - last)) {
        act_on_line(st, buf + last, len - last, state);
      }
    }
    if (!more || (end < len && rest == len)) return;
    // Keep an unfinished tag line and the bytes before it, and read on behind it.
    std::memmove(space.data(), buf + rest - bytes_before, len - rest + bytes_before);
    base += rest;
    len -= rest;
    if (len == size) {
      space.resize(bytes_before + 2 * size);
      buf = space.data() + bytes_before;
      size = 2 * size;
    }
    more = fill(in, buf, size, len);
  }
}

}  // namespace

void read_lines(Store& st, ByteSource& in, ReadState& state, std::string_view before,
                std::uint64_t limit,
                std::size_t block_size, std::pmr::memory_resource* mem) {
  read_lines_into(st, in, state, before, limit, block_size, mem);
}

void read_lines(ChunkStore& st, ByteSource& in, ReadState& state, std::string_view before,
                std::uint64_t limit, std::size_t block_size, std::pmr::memory_resource* mem) {
  read_lines_into(st, in, state, before, limit, block_size, mem);
}

void read_games(Store& st, ByteSource& in, std::size_t block_size,
                std::pmr::memory_resource* mem) {
  ReadState state;
  read_lines(st, in, state, "", UINT64_MAX, block_size, mem);
}
