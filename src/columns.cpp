#include "columns.h"

#include <cstdint>

#include "width_table.h"

char32_t next_char(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(at);
  const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t c = n == 1 ? lead : lead & (0x7F >> n);
  for (std::size_t k = 1; k < n && at + k < text.size(); ++k) c = c << 6 | (byte(at + k) & 0x3F);
  at += n;
  return c;
}

bool is_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t n = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4 : 0;
    if (n == 0 || at + n > text.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return false;
    const char32_t c = next_char(text, at);
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are overlong
    if (c < least[n] || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) return false;
  }
  return true;
}

int char_columns(char32_t c) {
  const WidthRange* range = range_holding(width_ranges, c);
  return range ? range->columns : 1;
}

std::size_t text_columns(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t at = 0; at < text.size();)
    columns += static_cast<std::size_t>(char_columns(next_char(text, at)));
  return columns;
}

std::string_view cut_to_columns(std::string_view text, std::size_t columns, std::size_t& used) {
  used = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t after = at;
    const auto w = static_cast<std::size_t>(char_columns(next_char(text, after)));
    if (used + w > columns) break;
    used += w;
    at = after;
  }
  return text.substr(0, at);
}
