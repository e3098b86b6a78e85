#include "scan.h"

#include <cstring>

// Not on Windows: there GCC does not align 32-byte vectors that it keeps on
// the stack, so the portable scan serves.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define TABLE5_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
#endif

namespace {

// The scan's test for buf[at], as far as buf shows: '[' at a line's start,
// then W or B with a blank six bytes on, or R with a blank seven bytes on
// ("[White ", "[Black ", "[Result ").
bool looks_like_tag(const char* buf, std::size_t at, std::size_t len) {
  if (buf[at] != '[' || !starts_line(buf + at)) return false;
  if (at + 1 >= len) return true;  // too little shown to tell
  const auto blank_at = [&](std::size_t k) { return at + k >= len || buf[at + k] == ' '; };
  const char name = buf[at + 1];
  return ((name == 'W' || name == 'B') && blank_at(6)) || (name == 'R' && blank_at(7));
}

}  // namespace

std::size_t find_tag_starts_portable(const char* buf, std::size_t len, std::size_t shown,
                                     std::uint32_t* starts) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < len; ++pos) {
    const void* hit = std::memchr(buf + pos, '[', len - pos);
    if (!hit) break;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - buf);
    if (looks_like_tag(buf, pos, shown)) starts[count++] = static_cast<std::uint32_t>(pos);
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

// looks_like_tag for the thirty-two positions from p but for the line's
// start, which the few positions found are tested for one by one; reads p[0]
// to p[38].
TABLE5_AVX2 static inline std::uint64_t tag_mask(const char* p) {
  const __m256i name = load32(p + 1);
  const __m256i white_black =
      _mm256_and_si256(_mm256_or_si256(is(name, 'W'), is(name, 'B')), is(load32(p + 6), ' '));
  const __m256i result = _mm256_and_si256(is(name, 'R'), is(load32(p + 7), ' '));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(
      _mm256_and_si256(is(load32(p), '['), _mm256_or_si256(white_black, result))));
}

// Sixty-four positions per step; a step that finds nothing costs one test.
// No call in the loop, so that the compared bytes stay in registers.
TABLE5_AVX2 static std::size_t find_tag_starts_with_avx2(const char* buf, std::size_t len,
                                                    std::size_t shown, std::uint32_t* starts) {
  std::size_t count = 0;
  std::size_t pos = 0;
  // Each step reads buf[pos - 4] to buf[pos + 70] and notes the positions of
  // the mask's bits that start a line.
  const auto note = [&](std::uint64_t mask) {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t at = pos + static_cast<std::size_t>(__builtin_ctzll(mask));
      starts[count] = static_cast<std::uint32_t>(at);
      count += starts_line(buf + at);
    }
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
    if (looks_like_tag(buf, pos, shown)) starts[count++] = static_cast<std::uint32_t>(pos);
  return count;
}

FindTagStarts find_tag_starts_avx2() {
  return __builtin_cpu_supports("avx2") ? find_tag_starts_with_avx2 : nullptr;
}
#else
FindTagStarts find_tag_starts_avx2() { return nullptr; }
#endif

std::size_t find_tag_starts(const char* buf, std::size_t len, std::size_t shown,
                            std::uint32_t* starts) {
  static const FindTagStarts fast = find_tag_starts_avx2();
  return fast ? fast(buf, len, shown, starts) : find_tag_starts_portable(buf, len, shown, starts);
}

