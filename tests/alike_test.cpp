#include "alike.h"

#include <gtest/gtest.h>

namespace {

TEST(Alike, NamesADirectorWouldTakeForOne) {
  const struct {
    const char *a, *b;
    bool alike;
  } rows[] = {
      {"Miller, John", "miller, JOHN", true},
      {"Miller, John", " Miller,  John\t", true},
      {"Miller, John", "Miller,\tJohn", true},
      {"Miller, John", "Miller,\xC2\xA0John", true},             // U+00A0 in UTF-8
      {"Miller, John", "Miller,\xE2\x80\xAFJohn", true},         // U+202F
      {"M\xFCller, John", "M\xFCller,\xA0John", true},           // 0xA0 in Latin-1
      {"\xC3\xA9mile", "e\xCC\x81mile", true},                   // é, e + U+0301
      {"\xC3\x89mile", "\xC3\xA9mile", true},                    // É, é: case, past the mark
      {"\xE2\x84\xAB" "ngstr\xC3\xB6m", "\xC3\x85ngstr\xC3\xB6m", true},  // U+212B, U+00C5
      {"\xE1\xBB\x87", "e\xCC\x82\xCC\xA3", true},               // ệ, marks in either order
      {"\xEA\xB0\x81", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", true},  // 각 and its jamo
      {"\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true},                 // 가, two jamo
      {"Miller, John", "Miller, John", false},                   // one name
      {"Miller, John", "Miller, Johnny", false},
      {"Miller, John", "Miller,John", false},                    // a blank is not nothing
      {"M\xC3\xBCller", "Muller", false},                        // an accent is a letter
      {"M\xC3\xBCller", "M\xFCller", false},                     // UTF-8 against Latin-1
      {"e\xCC\x81", "e\xCC\x80", false},
      {"e\xCC\x81\xCC\x80", "e\xCC\x80\xCC\x81", false},  // marks of one class keep their order
      {"a\xCC\x81" "e", "ae\xCC\x81", false},                 // a mark stays with its letter
      {"\xA0", "\xC2\xA0", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(alike(row.a, row.b), row.alike) << row.a << " | " << row.b;
    EXPECT_EQ(alike(row.b, row.a), row.alike) << row.b << " | " << row.a;
  }
}

}  // namespace
