#include <gtest/gtest.h>

#include "ranking.h"
#include "test_util.h"

namespace {

std::string ranking(const Store& st) {
  std::string out;
  for (int i = 1; i <= st.nptr; ++i) out += std::to_string(st.r[i]);
  return out;
}

TEST(Ranking, TiebreaksOfTheClubEvening) {
  // Anna-Carl 1 = 0 0 1, Eva-Anna 0-1, Carl-Eva draw.
  auto st = read_text(game("Anna", "Carl", "1-0") + game("Carl", "Anna", "1/2-1/2") +
                      game("Anna", "Carl", "0-1") + game("Carl", "Anna", "1-0") +
                      game("Eva", "Anna", "0-1") + game("Anna", "Carl", "1-0") +
                      game("Carl", "Eva", "1/2-1/2"));
  compute_tiebreaks(*st);
  EXPECT_EQ(st->Buch[1], 31);  // Carl's 6 x 5 games + Eva's 1 x 1 game
  EXPECT_EQ(st->SB[1], 32);    // 6 x 5 half-points + 1 x 2
  EXPECT_EQ(st->Buch[2], 36);
  EXPECT_EQ(st->SB[2], 36);
  EXPECT_EQ(st->Buch[3], 13);
  EXPECT_EQ(st->SB[3], 6);
  rank_players(*st);
  EXPECT_EQ(ranking(*st), "123");
}

TEST(Ranking, EqualKeysAreNotKeptInRegistrationOrder) {
  auto st = empty_store();
  st->nptr = 3;
  st->SB[3] = 5;  // keys 0, 0, 5
  rank_players(*st);
  EXPECT_EQ(ranking(*st), "321");
}

TEST(Ranking, RatioThenBuchholzThenSB) {
  // Points, games, Buchholz and SB of players 1 to 7.
  const int players[][4] = {
      {2, 1, 0, 0},     // 100% of 1 game
      {6, 3, 0, 0},     // 100% of 3 games ranks above
      {3, 3, 10, 1},    // at equal ratios by Buchholz, then SB
      {3, 3, 10, 2},
      {3, 3, 11, 0},    // Buchholz decides, though SB points the other way
      {3, 2, 0, 0},     // 1.5 of 2 and 51.5 of 69 are equal ratios exactly,
      {103, 69, 1, 0},  // not in floating point: Buchholz decides
  };
  auto st = empty_store();
  for (const auto& [pt, games, buch, sb] : players) {
    const int p = ++st->nptr;
    st->pt[p] = pt, st->games[p] = games, st->Buch[p] = buch, st->SB[p] = sb;
  }
  rank_players(*st);
  EXPECT_EQ(ranking(*st), "2176543");
}

TEST(Ranking, RatioOutweighsTiebreaksOfAnyMagnitude) {
  // League figures: 5,000 games each, the ratios a hundredth of a percent
  // apart, Buchholz 10^7 half-points apart; and a newcomer with 3 wins.
  auto st = empty_store();
  st->nptr = 3;
  st->pt[1] = 5174, st->games[1] = 5174, st->Buch[1] = 23000000, st->SB[1] = 900000000;
  st->pt[2] = 5175, st->games[2] = 5174, st->Buch[2] = 13000000, st->SB[2] = 10;
  st->pt[3] = 6, st->games[3] = 3;
  rank_players(*st);
  EXPECT_EQ(ranking(*st), "321");
  EXPECT_FALSE(ranks_before(*st, 1, 1));
}

TEST(Ranking, PlayersWithoutGamesRankLast) {
  auto st = read_text("[White \"Idle\"]\n[Black \"Idler\"]\n" + game("L1", "W", "0-1") +
                      game("L2", "W", "0-1") + game("L1", "L2", "0-1"));
  compute_tiebreaks(*st);
  EXPECT_TRUE(ranks_before(*st, 3, 1));  // lost everything, but his opponents scored
  rank_players(*st);
  // W 100%, L2 50%, L1 0% with Buchholz, then the two idle players.
  EXPECT_EQ(ranking(*st), "45312");
}

}  // namespace
