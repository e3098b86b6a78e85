// Names as a terminal shows them: the columns a UTF-8 text takes, for the
// reports of a file whose names are UTF-8.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

// Whether text is UTF-8: no stray or missing continuation bytes, no
// overlong forms, surrogates or code points past U+10FFFF.
bool is_utf8(std::string_view text);

// The range of a table of ascending character ranges ({first, last, ...})
// that holds c, or nullptr.
template <class Range, std::size_t n>
const Range* range_holding(const Range (&table)[n], char32_t c) {
  const Range* after = std::upper_bound(table, table + n, c, [](char32_t v, const Range& r) { return v < r.first; });
  return after != table && c <= (after - 1)->last ? after - 1 : nullptr;
}

// The character at text[at] of UTF-8 text; at is moved past it.
char32_t next_char(std::string_view text, std::size_t& at);

// The columns a character takes: none for a combining mark, two for a wide
// or fullwidth East Asian character, else one.
int char_columns(char32_t c);

// The columns that UTF-8 text takes.
std::size_t text_columns(std::string_view text);

// The longest start of UTF-8 text that takes at most columns columns, cut
// between characters: a combining mark stays with the character before it,
// and a wide character that does not fit is left out. used is set to the
// columns it takes.
std::string_view cut_to_columns(std::string_view text, std::size_t columns, std::size_t& used);
