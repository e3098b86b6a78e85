#include "input.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <string_view>
#include <vector>

#include "readstate.h"

// Not on Windows: there GCC does not align 32-byte vectors that it keeps on
// the stack, so the portable scan serves.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define TABLE5_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The scan's test for buf[at], as far as buf shows: a line feed before it,
// '[', then W or B with a blank six bytes on, or R with a blank seven bytes
// on ("[White ", "[Black ", "[Result ").
bool looks_like_tag(const char* buf, std::size_t at, std::size_t len, char before) {
  if (buf[at] != '[' || (at == 0 ? before : buf[at - 1]) != '\n') return false;
  if (at + 1 >= len) return true;  // too little shown to tell
  const auto blank_at = [&](std::size_t k) { return at + k >= len || buf[at + k] == ' '; };
  const char name = buf[at + 1];
  return ((name == 'W' || name == 'B') && blank_at(6)) || (name == 'R' && blank_at(7));
}

// The index of the first '"' or line feed in p[0, n), or n: thirty-two bytes
// in one step where the processor has the vectors, which holds most names
// whole, so that their varying lengths do not upset branch prediction.
HOT_INLINE std::size_t name_end(const char* p, std::size_t n) {
  std::size_t i = 0;
#ifdef __SSE2__
  const __m128i quote = _mm_set1_epi8('"'), feed = _mm_set1_epi8('\n');
  const auto stops = [&](std::size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, feed))));
  };
  for (; i + 32 <= n; i += 32) {
    const unsigned hit = stops(i) | stops(i + 16) << 16;
    if (hit != 0) return i + static_cast<std::size_t>(__builtin_ctz(hit));
  }
#endif
  for (; i < n; ++i)
    if (p[i] == '"' || p[i] == '\n') return i;
  return n;
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

// Reads until buf is full or the source ends; false when the source is done.
bool fill(ByteSource& in, std::pmr::vector<char>& buf, std::size_t& len) {
  while (len < buf.size()) {
    const std::size_t got = in.read(buf.data() + len, buf.size() - len);
    if (got == 0) return false;
    len += got;
  }
  return true;
}

// A Result whose game lacks a side: a failure, unless a side was named
// before the chunk began; then it is set aside for the merge.
[[noreturn]] void result_without_player() { throw Failure("result without player"); }

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
    else if (points != no_game && state.white != state.black)
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

std::size_t find_tag_starts_portable(const char* buf, std::size_t len, std::size_t shown,
                                     char before, std::uint32_t* starts) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < len; ++pos) {
    const void* hit = std::memchr(buf + pos, '[', len - pos);
    if (!hit) break;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - buf);
    if (looks_like_tag(buf, pos, shown, before)) starts[count++] = static_cast<std::uint32_t>(pos);
  }
  return count;
}

#ifdef TABLE5_AVX2
TABLE5_AVX2 static inline __m256i load32(const char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

TABLE5_AVX2 static inline __m256i is(__m256i v, char c) {
  return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
}

// looks_like_tag for the thirty-two positions from p; reads p[-1] to p[38].
TABLE5_AVX2 static inline std::uint64_t tag_mask(const char* p) {
  const __m256i name = load32(p + 1);
  const __m256i white_black =
      _mm256_and_si256(_mm256_or_si256(is(name, 'W'), is(name, 'B')), is(load32(p + 6), ' '));
  const __m256i result = _mm256_and_si256(is(name, 'R'), is(load32(p + 7), ' '));
  const __m256i line_start = _mm256_and_si256(is(load32(p - 1), '\n'), is(load32(p), '['));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(
      _mm256_and_si256(line_start, _mm256_or_si256(white_black, result))));
}

// Sixty-four positions per step; a step that finds nothing costs one test.
// No call in the loop, so that the compared bytes stay in registers.
TABLE5_AVX2 static std::size_t find_tag_starts_avx2(const char* buf, std::size_t len,
                                                    std::size_t shown, char before,
                                                    std::uint32_t* starts) {
  if (len == 0) return 0;
  std::size_t count = 0;
  if (looks_like_tag(buf, 0, shown, before)) starts[count++] = 0;
  std::size_t pos = 1;
  // Each step reads buf[pos - 1] to buf[pos + 70] and notes the positions of
  // the mask's bits.
  const auto note = [&](std::uint64_t mask) {
    for (; mask != 0; mask &= mask - 1)
      starts[count++] = static_cast<std::uint32_t>(pos + static_cast<std::size_t>(__builtin_ctzll(mask)));
  };
  for (; pos + 64 <= len && pos + 71 <= shown; pos += 64)
    note(tag_mask(buf + pos) | tag_mask(buf + pos + 32) << 32);
  // Then one step past len where the bytes are shown, its positions from len
  // on masked off: the next window's bytes, or the next block's.
  if (pos < len && pos + 71 <= shown) {
    note((tag_mask(buf + pos) | tag_mask(buf + pos + 32) << 32) &
         ((std::uint64_t(1) << (len - pos)) - 1));
    pos = len;
  }
  // The last few bytes shown, where the vectors would read past them.
  for (; pos < len; ++pos)
    if (looks_like_tag(buf, pos, shown, before)) starts[count++] = static_cast<std::uint32_t>(pos);
  return count;
}

std::size_t find_tag_starts(const char* buf, std::size_t len, std::size_t shown, char before,
                            std::uint32_t* starts) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 ? find_tag_starts_avx2(buf, len, shown, before, starts)
              : find_tag_starts_portable(buf, len, shown, before, starts);
}
#else
std::size_t find_tag_starts(const char* buf, std::size_t len, std::size_t shown, char before,
                            std::uint32_t* starts) {
  return find_tag_starts_portable(buf, len, shown, before, starts);
}
#endif

namespace {

// Only lines that begin like the three tags matter, so the scan finds them in
// bulk and copies nothing but a tag line that runs past the block's end. Each
// block is scanned and read in windows small enough to stay in the L1 cache.
template <class S>
void read_lines_into(S& st, ByteSource& in, ReadState& state, char before, std::uint64_t limit,
                     std::size_t block_size, std::pmr::memory_resource* mem) {
  std::pmr::vector<char> buf(std::max<std::size_t>(block_size, 1), mem);
  // Written before read: no need to clear it (32 KB) for every source read.
  struct Starts {
    std::pmr::polymorphic_allocator<std::uint32_t> from;
    explicit Starts(std::pmr::memory_resource* m) : from(m) {}
    std::uint32_t* at = from.allocate(window_size / 2 + 1);
    ~Starts() { from.deallocate(at, window_size / 2 + 1); }
  } starts(mem);
  std::size_t len = 0;     // bytes held in buf
  std::uint64_t base = 0;  // where buf[0] stands in the source
  bool more = fill(in, buf, len);
  for (;;) {
    // Lines that start from here on are not this read's.
    const std::size_t end =
        base >= limit ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(len, limit - base));
    std::size_t rest = len;  // the start of a tag line that goes on past the block
    for (std::size_t from = 0; from < end && rest == len; from += window_size) {
      const std::size_t to = std::min(end, from + window_size);
      const std::size_t count =
          find_tag_starts(buf.data() + from, to - from, len - from,
                          from ? buf[from - 1] : before, starts.at);
      // A line ends before the next line's start: only the last one may run
      // past the block.
      for (std::size_t i = 0; i + 1 < count; ++i)
        act_on_line(st, buf.data() + from + starts.at[i], len - from - starts.at[i], state);
      if (count == 0) continue;
      const std::size_t last = from + starts.at[count - 1];
      const bool unended = !std::memchr(buf.data() + last, '\n', len - last);
      if (more && unended) {
        if (may_be_tag(buf.data() + last, len - last)) rest = last;
      } else if (!unended || is_closed(buf.data() + last, len - last)) {
        act_on_line(st, buf.data() + last, len - last, state);
      }
    }
    if (!more || (end < len && rest == len)) return;
    // Keep an unfinished tag line and read on behind it.
    before = rest < len ? '\n' : buf[len - 1];
    std::memmove(buf.data(), buf.data() + rest, len - rest);
    base += rest;
    len -= rest;
    if (len == buf.size()) buf.resize(2 * buf.size());
    more = fill(in, buf, len);
  }
}

}  // namespace

void read_lines(Store& st, ByteSource& in, ReadState& state, char before, std::uint64_t limit,
                std::size_t block_size, std::pmr::memory_resource* mem) {
  read_lines_into(st, in, state, before, limit, block_size, mem);
}

void read_lines(ChunkStore& st, ByteSource& in, ReadState& state, char before,
                std::uint64_t limit, std::size_t block_size, std::pmr::memory_resource* mem) {
  read_lines_into(st, in, state, before, limit, block_size, mem);
}

void read_games(Store& st, ByteSource& in, std::size_t block_size,
                std::pmr::memory_resource* mem) {
  ReadState state;
  read_lines(st, in, state, '\n', UINT64_MAX, block_size, mem);
}
