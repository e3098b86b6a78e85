#include "table5.h"

#include <gtest/gtest.h>

#include "faulty_system.h"
#include "test_util.h"

namespace {

std::string cross_name(const std::string& path, const char* separators = "/") {
  return report_names(path, separators).cross;
}

TEST(ReportNames, CutAtTheFirstDotOfTheFileName) {
  EXPECT_EQ(report_names("club.pgn").cross, "clubx.txt");
  EXPECT_EQ(report_names("club.pgn").standings, "clubs.txt");
  EXPECT_EQ(report_names("games").cross, "gamesx.txt");
  EXPECT_EQ(report_names("games").standings, "gamess.txt");
  EXPECT_EQ(cross_name("blitz.2008.pgn"), "blitzx.txt");
  EXPECT_EQ(cross_name("results/2008.d/club.pgn"), "results/2008.d/clubx.txt");
  EXPECT_EQ(cross_name("../cup.pgn"), "../cupx.txt");
  EXPECT_EQ(cross_name("./club.pgn"), "./clubx.txt");
  EXPECT_EQ(cross_name("/abs/dir.v2/club"), "/abs/dir.v2/clubx.txt");
  EXPECT_EQ(cross_name(std::string(5000, 'p') + ".pgn"), std::string(5000, 'p') + "x.txt");
}

TEST(ReportNames, WindowsSeparators) {
  const char* windows = "/\\:";
  EXPECT_EQ(cross_name("..\\cup.pgn", windows), "..\\cupx.txt");
  EXPECT_EQ(cross_name("C:club.pgn", windows), "C:clubx.txt");
  EXPECT_EQ(cross_name("C:\\t.2008\\club.pgn", windows), "C:\\t.2008\\clubx.txt");
  EXPECT_EQ(cross_name("a.b/c\\d.pgn", windows), "a.b/c\\dx.txt");
  EXPECT_EQ(cross_name("a.b\\c.pgn"), "ax.txt");  // elsewhere '\' is a name's character
}

// A failure that the game file's content causes keeps its message on
// standard output and says on standard error where and why, naming the
// players as the file spells them, control characters escaped; in a file
// read in chunks too.
TEST(Run, ContentFailuresSayWhere) {
  std::string twenty, pair_limit, deep;
  for (int i = 1; i <= 18; ++i) twenty += game("P" + std::to_string(i), "Miller, John", "1-0");
  twenty += "\n" + game("Miller,  John", "P1", "1-0");
  for (int i = 0; i < 999; ++i) pair_limit += game("A", "B\x1b[2J", "0-1");
  for (int i = 0; deep.size() < (5u << 20); ++i)  // 19 players, far from the limits
    deep += game("P" + std::to_string(i % 19), "P" + std::to_string(i / 19 % 19), "1-0") + "{" +
            std::string(300, 'c') + "}\n";
  deep += "[Black \"P1\"]\n[Result \"1-0\"]\n";
  const std::string deep_line = std::to_string(std::count(deep.begin(), deep.end(), '\n'));
  const struct {
    std::string text, out, err;
  } rows[] = {
      {game("A", "B", "1-0") + "[Black \"C\"]\n\n[Result \"0-1\"]\n", "result without player",
       "club.pgn:6: a Result tag without a White tag since the previous Result"},
      {"[White \"A\"]\r\n[Result \"0-1\"]\r\n", "result without player",
       "club.pgn:2: a Result tag without a Black tag since the previous Result"},
      {"[Result \"*\"]\n", "result without player",
       "club.pgn:1: a Result tag without a White or a Black tag since the previous Result"},
      {twenty, "too many players (at most 19)",
       "club.pgn:56: \"Miller,  John\" would be a 20th player; it differs from \"Miller, John\" "
       "only in blanks, letter case or how accents are encoded"},
      {pair_limit, "too many games between two players (at most 998)",
       "club.pgn:2997: the 999th game between \"A\" and \"B\\x1b[2J\""},
      {deep, "result without player",
       "club.pgn:" + deep_line + ": a Result tag without a White tag since the previous Result"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    spit(dir / "club.pgn", row.text);
    FaultySystem sys(native_system());  // two processors: the deep file is read in chunks
    EXPECT_EQ(run({"table5", dir / "club.pgn"}, sys), 1);
    EXPECT_EQ(sys.output, row.out + "\n");
    EXPECT_EQ(sys.errors, "table5: " + (dir / row.err) + "\n");
  }
}

// In a console window of its own (a file dropped on the program, or a
// double-click) the run says what to do, or where the reports went; nowhere
// else does it say more, and a failure says only its message.
TEST(Run, AConsoleOfItsOwnSaysWhatToDoAndWhere) {
  TempDir dir;
  spit(dir / "club.pgn", game("A", "B", "1-0"));
  spit(dir / "bad.pgn", "[Result \"1-0\"]\n");
  const std::string club = dir / "club";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string own, shared;  // standard output, in a console of its own or not
  } rows[] = {
      {{"table5"}, 2, "usage: table5 [--html] [--json] GAMEFILE\nTo make the reports of a tournament, drop its game file on table5.exe.\n",
       "usage: table5 [--html] [--json] GAMEFILE\n"},
      {{"table5", club + ".pgn"}, 0, "Cross table: " + club + "x.txt\nStandings:   " + club + "s.txt\n", ""},
      {{"table5", dir / "bad.pgn"}, 1, "result without player\n", "result without player\n"},
  };
  for (const auto& row : rows)
    for (const bool own : {true, false}) {
      FaultySystem sys(native_system());
      sys.console = own;
      EXPECT_EQ(run(row.args, sys), row.status);
      EXPECT_EQ(sys.output, own ? row.own : row.shared) << row.args.size() << own;
    }
}

}  // namespace
