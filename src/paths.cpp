#include "paths.h"

#include <cstdint>

std::size_t name_start(const std::string& path, const char* separators) {
  const std::size_t end = path.find_last_of(separators);
  return end == std::string::npos ? 0 : end + 1;
}

std::string folder_prefix(const std::string& path) { return path.substr(0, name_start(path)); }

std::string utf8_of(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string utf16_of(std::string_view text) {
  std::u16string out(text.size(), u'\0');  // never more units than bytes
  out.resize(utf16_into(text, out.data(), out.size()));
  return out;
}

std::size_t utf16_into(std::string_view text, char16_t* out, std::size_t room) {
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(
                                               static_cast<unsigned char>(text[k])); };
    const std::uint32_t lead = byte(i);
    const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t c = n == 1 ? lead : lead & (0x7F >> n);
    bool whole = lead < 0x80 || (lead >= 0xC0 && lead < 0xF8 && i + n <= text.size());
    for (std::size_t k = 1; whole && k < n; ++k) {
      whole = (byte(i + k) & 0xC0) == 0x80;
      c = c << 6 | (byte(i + k) & 0x3F);
    }
    if (!whole) {  // not UTF-8: the byte stands for itself
      c = lead;
      i += 1;
    } else {
      i += n;
    }
    if (used + (c < 0x10000 ? 1 : 2) > room) return SIZE_MAX;
    if (c < 0x10000) {
      out[used++] = static_cast<char16_t>(c);
    } else {
      out[used++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out[used++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return used;
}

