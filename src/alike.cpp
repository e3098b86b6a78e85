#include "alike.h"

#include <algorithm>
#include <iterator>

#include "columns.h"
#include "decomposition_table.h"

namespace {

bool is_blank(char32_t c, bool utf8) {
  return c == ' ' || c == '\t' || c == 0xA0 || (utf8 && (c == 0x2007 || c == 0x202F));
}

// Appends c's full canonical decomposition.
void decompose(char32_t c, std::u32string& out) {
  // Hangul syllables decompose by rule into their two or three jamo.
  constexpr char32_t syllables = 0xAC00, syllable_count = 11172;
  if (c >= syllables && c < syllables + syllable_count) {
    const char32_t s = c - syllables;
    out += static_cast<char32_t>(0x1100 + s / 588);
    out += static_cast<char32_t>(0x1161 + s % 588 / 28);
    if (s % 28 != 0) out += static_cast<char32_t>(0x11A7 + s % 28);
    return;
  }
  const auto* end = std::end(decomposition_steps);
  const auto* step = std::lower_bound(std::begin(decomposition_steps), end, c,
                                      [](const DecompositionStep& d, char32_t v) { return d.from < v; });
  if (step == end || step->from != c) {
    out += c;
    return;
  }
  decompose(step->first, out);
  if (step->second != 0) decompose(step->second, out);
}

int combining_class(char32_t c) {
  const CombiningClassRange* range = range_holding(combining_class_ranges, c);
  return range ? range->combining_class : 0;
}

// Orders each run of combining marks by class, as canonical order asks: a
// mark moves back past the marks of a higher class before it (the runs are
// a few marks long).
void order_marks(std::u32string& text) {
  for (std::size_t at = 1; at < text.size(); ++at) {
    const int mark = combining_class(text[at]);
    for (std::size_t k = at; mark != 0 && k > 0 && combining_class(text[k - 1]) > mark; --k)
      std::swap(text[k - 1], text[k]);
  }
}

}  // namespace

std::u32string plain_form(std::string_view name, bool utf8) {
  std::u32string out;
  bool blank_before = true;  // none at the start
  for (std::size_t at = 0; at < name.size();) {
    const char32_t c = utf8 ? next_char(name, at) : static_cast<unsigned char>(name[at++]);
    if (is_blank(c, utf8)) {
      if (!blank_before) out += U' ';
      blank_before = true;
      continue;
    }
    blank_before = false;
    if (utf8)
      decompose(c, out);
    else
      out += c;
  }
  if (!out.empty() && out.back() == U' ') out.pop_back();
  for (char32_t& c : out)
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
  if (utf8) order_marks(out);
  return out;
}

bool alike(std::string_view a, std::string_view b) {
  const bool utf8 = is_utf8(a) && is_utf8(b);
  return a != b && plain_form(a, utf8) == plain_form(b, utf8);
}
