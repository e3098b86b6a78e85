#include "paths.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(Paths, EveryUtf16TextComesBackWhole) {
  EXPECT_EQ(utf8_of(u"\u0100rhus \uFF23lub \u5927\u4F1A"),
            "\xC4\x80rhus \xEF\xBC\xA3lub \xE5\xA4\xA7\xE4\xBC\x9A");
  EXPECT_EQ(utf8_of(u"\u265E\U0001F3C6"), "\xE2\x99\x9E\xF0\x9F\x8F\x86");
  // Random texts with letters, paired and lone surrogates.
  std::mt19937 rng(5);
  const char16_t pool[] = {u'a', u'.', u'\\', 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800,
                           0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF, 0xFF0F};
  for (int round = 0; round < 2000; ++round) {
    std::u16string text(rng() % 8, u' ');
    for (char16_t& c : text) c = pool[rng() % std::size(pool)];
    EXPECT_EQ(utf16_of(utf8_of(text)), text);
  }
}

}  // namespace
