#include "encoding.h"

#include "columns.h"

namespace {

// Windows-1252's characters for 0x80 to 0x9F; 0 where it has none.
constexpr char16_t windows_1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void append_char(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

void append_utf8_name(std::string& out, std::string_view name) {
  if (is_utf8(name)) {
    out += name;
    return;
  }
  for (const char byte : name) {
    const auto b = static_cast<unsigned char>(byte);
    const char16_t high = b >= 0x80 && b < 0xA0 ? windows_1252_high[b - 0x80] : 0;
    append_char(out, high != 0 ? high : b);
  }
}

bool unfit_for_page(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}
