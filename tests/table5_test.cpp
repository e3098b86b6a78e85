#include "table5.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

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

long fail_midway(int fd, const char* data, std::size_t n) {
  static int calls = 0;
  if (++calls % 2 == 0) {
    errno = ENOSPC;
    return -1;
  }
  return write(fd, data, n < 3 ? n : 3);
}

TEST(ReplaceFile, WritesAndReplacesWholeFiles) {
  TempDir dir;
  const std::string report = dir / "clubx.txt";
  ASSERT_TRUE(replace_file(report, "first\n"));
  EXPECT_EQ(slurp(report), "first\n");
  ASSERT_TRUE(replace_file(report, "second, longer\n"));
  EXPECT_EQ(slurp(report), "second, longer\n");
  ASSERT_TRUE(replace_file(report, ""));
  EXPECT_EQ(slurp(report), "");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
}

TEST(ReplaceFile, AFailedWriteKeepsThePreviousReport) {
  TempDir dir;
  const std::string report = dir / "clubx.txt";
  spit(report, "previous report\n");
  EXPECT_FALSE(replace_file(report, "a new report that fails halfway\n", fail_midway));
  EXPECT_EQ(slurp(report), "previous report\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);  // no temporary file
}

TEST(ReplaceFile, NoPlaceToWrite) {
  TempDir dir;
  fs::create_directory(dir / "clubx.txt");
  EXPECT_FALSE(replace_file(dir / "clubx.txt", "text\n"));
  EXPECT_TRUE(fs::is_directory(dir / "clubx.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
  EXPECT_FALSE(replace_file(dir / "missing/clubx.txt", "text\n"));
}

TEST(ReplaceFile, LeavesOtherFilesWithTheTemporaryNamesAlone) {
  TempDir dir;
  spit(dir / "clubx.txt.0.tmp", "someone else's\n");
  ASSERT_TRUE(replace_file(dir / "clubx.txt", "report\n"));
  EXPECT_EQ(slurp(dir / "clubx.txt"), "report\n");
  EXPECT_EQ(slurp(dir / "clubx.txt.0.tmp"), "someone else's\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 2);
}

}  // namespace
