#include <gtest/gtest.h>

#include <string>

#include "ranking.h"
#include "reports.h"
#include "test_util.h"

namespace {

const std::string title = "Cross table, sorted by score percentage, Buchholz, SB\n\n";
const std::string heading = "    name                       perc.  pnt games  Buchh    S-B\n\n";
const std::string blanks29(29, ' ');

std::unique_ptr<Store> ranked(const std::string& text) {
  auto st = read_text(text);
  compute_tiebreaks(*st);
  rank_players(*st);
  return st;
}

std::string cross_table(const Store& st) {
  Text out;
  write_cross_table(st, out);
  return std::string(out);
}

std::string standings(const Store& st) {
  Text out;
  write_standings(st, out);
  return std::string(out);
}

std::string games_of(const std::string& white, const std::string& black, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += game(white, black, "1-0");
  return out;
}

TEST(Reports, RankOrderTiebreaksAndQuartersAreExact) {
  // Registered Anna, Bert, Cleo, Dirk, Emil; ranked Anna, Emil, Dirk, Cleo,
  // Bert. Emil and Dirk share their ratio, and Emil's larger Buchholz puts
  // him first against Dirk's larger SB. SB values end in .25 and .75.
  auto st = ranked(game("Anna", "Bert", "1/2-1/2") + game("Cleo", "Dirk", "1/2-1/2") +
                   game("Emil", "Bert", "1-0") + game("Emil", "Anna", "0-1") +
                   game("Emil", "Anna", "1/2-1/2") + game("Anna", "Dirk", "1/2-1/2") +
                   game("Cleo", "Dirk", "1/2-1/2"));
  EXPECT_EQ(cross_table(*st),
            title + blanks29 + " An Em Di Cl Be\n" +
                " 1. Anna                      ## 1= =     =    62%   2.5 (  5.0,   3.3)\n"
                " 2. Emil                      0= ##       1    50%   1.5 (  5.5,   1.8)\n"
                " 3. Dirk                      =     ## ==      50%   1.5 (  4.5,   2.3)\n"
                " 4. Cleo                            == ##      50%   1.0 (  3.0,   1.5)\n"
                " 5. Bert                      =  0        ##   25%   0.5 (  4.0,   1.3)\n");
  EXPECT_EQ(standings(*st), heading +
                                " 1. Anna                        62%   2.5 /  4  (  5.0,   3.3)\n"
                                " 2. Emil                        50%   1.5 /  3  (  5.5,   1.8)\n"
                                " 3. Dirk                        50%   1.5 /  3  (  4.5,   2.3)\n"
                                " 4. Cleo                        50%   1.0 /  2  (  3.0,   1.5)\n"
                                " 5. Bert                        25%   0.5 /  2  (  4.0,   1.3)\n");
}

TEST(Reports, CellShape) {
  const int table[][3] = {{0, 1, 0},   {1, 1, 1},   {4, 1, 4},   {5, 2, 3},  {12, 2, 6},
                          {13, 3, 5},  {24, 3, 8},  {25, 4, 7},  {40, 4, 10}, {41, 5, 9},
                          {305, 12, 26}, {998, 22, 46}};
  for (const auto& row : table) {
    EXPECT_EQ(cell_rows(row[0]), row[1]) << row[0];
    EXPECT_EQ(cell_width(row[0]), row[2]) << row[0];
  }
}

TEST(Reports, QuartersRoundHalfAwayFromZero) {
  EXPECT_EQ(format_quarters(9), "  2.3");
  EXPECT_EQ(format_quarters(11), "  2.8");
  EXPECT_EQ(format_quarters(1), "  0.3");
  EXPECT_EQ(format_quarters(3), "  0.8");
  EXPECT_EQ(format_quarters(0), "  0.0");
  EXPECT_EQ(format_quarters(6), "  1.5");
  EXPECT_EQ(format_quarters(32), "  8.0");
  EXPECT_EQ(format_quarters(1290809661), "322702415.3");
}

TEST(Reports, NoPlayer) {
  auto st = ranked("");
  EXPECT_EQ(cross_table(*st), title + blanks29 + "\n");
  EXPECT_EQ(standings(*st), heading);
}

TEST(Reports, PlayersButNoGame) {
  auto st = ranked("[White \"Anna\"]\n[Black \"Carl\"]\n");
  EXPECT_EQ(cross_table(*st), title + blanks29 + "  \n" +
                                  " 1. Anna                       "
                                  "    0%   0.0 (  0.0,   0.0)\n"
                                  " 2. Carl                       "
                                  "    0%   0.0 (  0.0,   0.0)\n");
  EXPECT_EQ(standings(*st), heading +
                                " 1. Anna                         0%   0.0 /  0  (  0.0,   0.0)\n"
                                " 2. Carl                         0%   0.0 /  0  (  0.0,   0.0)\n");
}

TEST(Reports, FourGamesFitOneLineFiveTakeTwo) {
  auto st = ranked(games_of("A", "B", 4));
  EXPECT_EQ(cross_table(*st), title + blanks29 + " A    B   \n" +
                                  " 1. A                         #### 1111  100%   4.0 (  0.0,   0.0)\n" +
                                  " 2. B                         0000 ####    0%   0.0 ( 16.0,   0.0)\n");
  st = ranked(games_of("A", "B", 5));
  EXPECT_EQ(cross_table(*st), title + blanks29 + " A   B  \n" +
                                  " 1. A                         ### 111\n" + blanks29 +
                                  " ### 11   100%   5.0 (  0.0,   0.0)\n\n" +
                                  " 2. B                         000 ###\n" + blanks29 +
                                  " 00  ###    0%   0.0 ( 25.0,   0.0)\n\n");
}

TEST(Reports, ThreeLineBlockLabelsTheMiddleLine) {
  auto st = ranked(games_of("A", "B", 13));
  const std::string out = cross_table(*st);
  const std::string block_a = blanks29 + " ##### 11111\n" +                    //
                              " 1. A                         ##### 11111\n" +  //
                              blanks29 + " ##### 111    100%  13.0 (  0.0,   0.0)\n\n";
  EXPECT_NE(out.find(block_a), std::string::npos) << out;
}

TEST(Reports, LongNamesShiftTheirLine) {
  const std::string name(30, 'L');
  auto st = ranked(games_of(name, "B", 5));
  const std::string out = cross_table(*st);
  EXPECT_NE(out.find(" 1. " + name + " ### 111\n" + blanks29 + " ### 11   100%"), std::string::npos)
      << out;
  EXPECT_NE(standings(*st).find(" 1. " + name + "  100%   5.0 /  5  ("), std::string::npos);
}

TEST(Reports, RanksFromTenFillTheField) {
  std::string text;
  for (int i = 1; i <= 11; ++i) text += game("P" + std::to_string(i), "Z", "0-1");
  auto st = ranked(text);
  const std::string out = standings(*st);
  EXPECT_NE(out.find("\n 9. P"), std::string::npos);
  EXPECT_NE(out.find("\n10. P"), std::string::npos);
  EXPECT_NE(out.find("\n12. P"), std::string::npos);
}

TEST(Reports, PercentagesJustBelowAHalfRoundDown) {
  // 2.5 of 4 and 3.5 of 4.
  auto st = ranked(game("A", "B", "1-0") + game("A", "C", "1-0") + game("A", "D", "1/2-1/2") +
                   game("A", "E", "0-1") + game("F", "G", "1-0") + game("F", "H", "1-0") +
                   game("F", "I", "1-0") + game("F", "J", "1/2-1/2"));
  const std::string out = standings(*st);
  EXPECT_NE(out.find("87%   3.5 /  4"), std::string::npos) << out;
  EXPECT_NE(out.find("62%   2.5 /  4"), std::string::npos) << out;
}

TEST(Reports, HeadingCutWiderThanANameIsBlankFilled) {
  auto st = ranked(games_of("Anna", "Carl", 305));
  const std::string out = cross_table(*st);
  const std::string head = out.substr(title.size(), out.find('\n', title.size()) - title.size());
  EXPECT_EQ(head, blanks29 + " Anna" + std::string(22, ' ') + " Carl" + std::string(22, ' '));
}

}  // namespace

namespace {

// A UTF-8 file's names are set by the columns a terminal gives them: an
// accented, a Cyrillic, a wide East Asian and a combining name line up,
// column heads are cut between characters (a wide one that does not fit
// leaves a blank, a combining mark goes with its letter). One name not UTF-8
// (Latin-1) sets them all byte for byte, as before.
TEST(Reports, Utf8NamesTakeTheirColumns) {
  const std::string names[] = {"J\u00fcrgen M\u00fcller", "\u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432",
                               "\u738b\u5c0f\u660e", "Jose\u0301 D\u00edaz"};
  const auto tournament = [](const std::string (&n)[4]) {
    return game(n[0], n[1], "1-0") + game(n[0], n[2], "1/2-1/2") + game(n[0], n[3], "0-1") +
           game(n[1], n[2], "1-0") + game(n[1], n[3], "1/2-1/2") + game(n[2], n[3], "1-0") +
           game(n[0], n[1], "1-0") + game(n[0], n[1], "0-1") + game(n[0], n[1], "1/2-1/2") +
           game(n[0], n[1], "1-0");
  };
  auto st = ranked(tournament(names));
  EXPECT_EQ(cross_table(*st),
            title +
            "                              J\u00fcr Jos \u738b  \u0418\u0432\u0430\n"
            " 1. J\u00fcrgen M\u00fcller             ### 0   =   110\n"
            "                              ###         =1    57%   4.0 ( 18.0,  11.3)\n\n"
            " 2. Jose\u0301 D\u00edaz                 1   ### 0   =  \n"
            "                                  ###           50%   1.5 (  8.5,   5.5)\n\n"
            " 3. \u738b\u5c0f\u660e                    =   1   ### 0  \n"
            "                                      ###       50%   1.5 (  8.5,   3.5)\n\n"
            " 4. \u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432               001 =   1   ###\n"
            "                              =0          ###   43%   3.0 ( 23.0,   8.3)\n\n");
  EXPECT_EQ(standings(*st), heading +
            " 1. J\u00fcrgen M\u00fcller               57%   4.0 /  7  ( 18.0,  11.3)\n"
            " 2. Jose\u0301 D\u00edaz                   50%   1.5 /  3  (  8.5,   5.5)\n"
            " 3. \u738b\u5c0f\u660e                      50%   1.5 /  3  (  8.5,   3.5)\n"
            " 4. \u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432                 43%   3.0 /  7  ( 23.0,   8.3)\n");

  const std::string latin1[] = {"J\xfcrgen M\xfcller", names[1], names[2], names[3]};
  st = ranked(tournament(latin1));
  const std::string out = standings(*st);
  EXPECT_NE(out.find(" 1. J\xfcrgen M\xfcller" + std::string(12, ' ') + "   57%"), std::string::npos) << out;
  EXPECT_NE(out.find(" 3. \u738b\u5c0f\u660e" + std::string(16, ' ') + "   50%"), std::string::npos) << out;
  EXPECT_NE(cross_table(*st).find(blanks29 + " J\xfcr Jos \xe7\x8e\x8b"), std::string::npos);
}

}  // namespace
