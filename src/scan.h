// The scanning kernels of the reader, for the instruction sets a processor
// may have (portable, SSE2, AVX2), behind one dispatch each; every form is
// reachable on its own, so that tests compare each with the portable one.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Whether the '[' at p starts a line: a line feed before it, or a byte order
// mark (EF BB BF) that starts a line, as in files saved with one, alone or
// joined. Reads p[-4, 0).
inline bool starts_line(const char* p) {
  return p[-1] == '\n' || (p[-1] == '\xBF' && p[-2] == '\xBB' && p[-3] == '\xEF' && p[-4] == '\n');
}

// Writes to starts the position of every '[' in buf[0, len) that starts a
// line and looks like the start of a White, Black or Result tag as far as
// buf[0, shown) shows, shown >= len (a cheap filter: the line's reading
// decides); returns how many. buf[-4, 0) must hold the bytes before buf, line
// feeds standing for the file's start. starts must hold len / 2 + 1 entries
// and len be below 2^32. The second is the portable form, which the first
// must match.
std::size_t find_tag_starts(const char* buf, std::size_t len, std::size_t shown,
                            std::uint32_t* starts);
std::size_t find_tag_starts_portable(const char* buf, std::size_t len, std::size_t shown,
                                     std::uint32_t* starts);

// find_tag_starts' AVX2 form, or nullptr where this build or this processor
// has none.
using FindTagStarts = std::size_t (*)(const char*, std::size_t, std::size_t, std::uint32_t*);
FindTagStarts find_tag_starts_avx2();

// The index of the first '"' or line feed in p[0, n), or n, a byte at a time.
inline std::size_t name_end_portable(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] == '"' || p[i] == '\n') return i;
  return n;
}

// The index of the first '"' or line feed in p[0, n), or n: thirty-two bytes
// in one step where the processor has the vectors, which holds most names
// whole, so that their varying lengths do not upset branch prediction.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline std::size_t name_end(const char* p, std::size_t n) {
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
  return i + name_end_portable(p + i, n - i);
}

