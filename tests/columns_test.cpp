#include "columns.h"

#include <gtest/gtest.h>

namespace {

TEST(Columns, Utf8WidthsAndCuts) {
  for (const char* text : {"", "abc", "\u00e9", "\u4e00", "\U0001F3C6", "\U0010FFFF"})
    EXPECT_TRUE(is_utf8(text)) << text;
  // Overlong, surrogate, past U+10FFFF, cut short, stray continuation, never a lead.
  for (const char* text : {"\xC0\x80", "\xE0\x80\x80", "\xF0\x80\x80\x80", "\xED\xA0\x80",
                           "\xF4\x90\x80\x80", "a\xC3", "\x80", "\xFF", "\xE4\xB8"})
    EXPECT_FALSE(is_utf8(text)) << text;
  const std::pair<char32_t, int> widths[] = {
      {U'a', 1}, {0x301, 0}, {0x20DD, 0}, {0x1100, 2}, {0x4E00, 2}, {0xFF21, 2}, {0x1F3C6, 2},
      {0x2FFFD, 2}, {0x3FFFD, 2}, {0x2FFFE, 1}, {0xE000, 1}, {0x10FFFF, 1}, {0x5BF, 0}, {0x5C0, 1}};
  for (const auto& [c, w] : widths) EXPECT_EQ(char_columns(c), w) << std::hex << c;
  EXPECT_EQ(text_columns("Jose\u0301 \u738b"), 7u);
  std::size_t used = 0;
  EXPECT_EQ(cut_to_columns("\u738b\u5c0f\u660e", 3, used), "\u738b");
  EXPECT_EQ(used, 2u);
  EXPECT_EQ(cut_to_columns("Jose\u0301!", 4, used), "Jose\u0301");
  EXPECT_EQ(cut_to_columns("Jose\u0301", 3, used), "Jos");
  EXPECT_EQ(used, 3u);
}

}  // namespace
