#include "table5.h"

#include <gtest/gtest.h>

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

}  // namespace
