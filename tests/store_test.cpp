#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_util.h"

namespace {

int player(Store& st, const std::string& name) {
  return find_player(st, name.data(), name.size());
}

TEST(Store, RoadOfOneGame) {
  auto st = empty_store();
  const int anna = player(*st, "Anna Berg");
  const int carl = player(*st, "Carl Dahl");
  EXPECT_EQ(anna, 1);
  EXPECT_EQ(carl, 2);
  record_game(*st, anna, carl, 2);
  EXPECT_EQ(st->s[1][2][0], 1);
  EXPECT_EQ(st->s[2][1][0], 1);
  EXPECT_EQ(st->s[1][2][1], 2);
  EXPECT_EQ(st->s[2][1][1], 0);
  EXPECT_EQ(symbols(*st, 1, 2), "1");
  EXPECT_EQ(symbols(*st, 2, 1), "0");
  EXPECT_EQ(st->pt[1], 2);
  EXPECT_EQ(st->pt[2], 0);
  EXPECT_EQ(st->games[1], 1);
  EXPECT_EQ(st->games[2], 1);
  EXPECT_EQ(st->maxn, 1);
}

TEST(Store, ThreeGamesOfOnePair) {
  auto st = empty_store();
  const int a = player(*st, "A"), b = player(*st, "B");
  record_game(*st, a, b, 2);
  record_game(*st, a, b, 1);
  record_game(*st, a, b, 0);
  EXPECT_EQ(st->s[a][b][0], 3);
  EXPECT_EQ(st->s[a][b][1], 3);
  EXPECT_EQ(symbols(*st, a, b), "1=0");
  EXPECT_EQ(st->s[b][a][0], 3);
  EXPECT_EQ(st->s[b][a][1], 3);
  EXPECT_EQ(symbols(*st, b, a), "0=1");
  EXPECT_EQ(st->maxn, 3);
}

TEST(Store, NameHashWrapsAndCountsBytesSigned) {
  EXPECT_EQ(name_hash("", 0), 0);
  EXPECT_EQ(name_hash("Ab", 2), 65 * 23 + 98);
  EXPECT_EQ(name_hash("\xff", 1), -1);
  // Long names overflow 32 bits; the result is the wrapped value.
  const std::string long_name(40, 'z');
  std::uint32_t h = 0;
  for (const char c : long_name) h = h * 23 + static_cast<std::uint32_t>(c);
  EXPECT_EQ(name_hash(long_name.data(), long_name.size()), static_cast<std::int32_t>(h));
}

TEST(Store, IdentityIsTheNamesBytes) {
  auto st = empty_store();
  // Same hash, different names.
  ASSERT_EQ(name_hash("Ab", 2), name_hash("BK", 2));
  EXPECT_EQ(player(*st, "Ab"), 1);
  EXPECT_EQ(player(*st, "BK"), 2);
  EXPECT_EQ(player(*st, "Ab "), 3);  // a trailing blank is part of the name
  EXPECT_EQ(player(*st, "ab"), 4);
  EXPECT_EQ(player(*st, "Ab"), 1);
  EXPECT_EQ(player(*st, "BK"), 2);
  EXPECT_EQ(st->nptr, 4);
}

TEST(Store, EmptyNameIsOnePlayerLikeAnyOther) {
  auto st = empty_store();
  ASSERT_EQ(name_hash("Tt", 2) & 1023, 0);  // shares the empty name's home slot
  EXPECT_EQ(player(*st, ""), 1);
  EXPECT_EQ(player(*st, "Tt"), 2);
  EXPECT_EQ(player(*st, ""), 1);
  EXPECT_EQ(player(*st, "Tt"), 2);
  EXPECT_EQ(st->nptr, 2);
}

TEST(Store, ProbePastTheLastSlotWrapsToTheFirst) {
  // Two names whose home is the last slot: the second must land in slot 0.
  std::string names[2];
  int found = 0;
  for (int a = 1; a < 256 && found < 2; ++a)
    for (int b = 1; b < 256 && found < 2; ++b) {
      const char text[] = {static_cast<char>(a), static_cast<char>(b)};
      if ((name_hash(text, 2) & 1023) == 1023) names[found++] = std::string(text, 2);
    }
  ASSERT_EQ(found, 2);
  auto st = empty_store();
  EXPECT_EQ(player(*st, names[0]), 1);
  EXPECT_EQ(player(*st, names[1]), 2);
  EXPECT_EQ(st->nrhash[1023], 1);
  EXPECT_EQ(st->nrhash[0], 2);
  EXPECT_EQ(player(*st, names[1]), 2);
}

TEST(Store, StoredNamesArePaddedTo25) {
  auto st = empty_store();
  const std::string odd("A\xff\0Z", 4);  // any byte is part of a name
  const std::string thirty(30, 'n');
  player(*st, "Eva");
  player(*st, odd);
  player(*st, thirty);
  EXPECT_EQ(stored_name(*st, 1), "Eva" + std::string(22, ' '));
  EXPECT_EQ(stored_name(*st, 2), odd + std::string(21, ' '));
  EXPECT_EQ(stored_name(*st, 3), thirty);
  EXPECT_EQ(player(*st, odd), 2);
}

TEST(Store, LimitsAreCheckedNotOverrun) {
  auto st = empty_store();
  for (int i = 1; i <= max_players; ++i) EXPECT_EQ(player(*st, "P" + std::to_string(i)), i);
  EXPECT_EQ(player(*st, "P7"), 7);  // known players still found when full
  try {
    player(*st, "P20");
    FAIL() << "a 20th player was registered";
  } catch (const Failure& f) {
    EXPECT_STREQ(f.what(), "too many players (at most 19)");
  }
  EXPECT_EQ(st->nptr, max_players);

  for (int g = 0; g < max_pair_games; ++g) record_game(*st, 18, 19, g % 3);
  EXPECT_EQ(st->maxn, max_pair_games);
  try {
    record_game(*st, 19, 18, 2);
    FAIL() << "a 999th game was recorded";
  } catch (const Failure& f) {
    EXPECT_STREQ(f.what(), "too many games between two players (at most 998)");
  }
  EXPECT_EQ(st->s[18][19][0], max_pair_games);
  EXPECT_EQ(st->games[19], max_pair_games);
}

}  // namespace
