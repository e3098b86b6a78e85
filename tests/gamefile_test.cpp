#include "gamefile.h"

#include <gtest/gtest.h>
#ifdef __linux__
#include <sched.h>
#endif
#include <sys/stat.h>

#include "faults.h"
#include "test_util.h"

namespace {

TEST(GameFile, ReadErrorsAndChangesWhileRead) {
  // Large enough to be read in parallel chunks where there are processors.
  TempDir dir;
  const std::string path = dir / "league.pgn";
  std::string text;
  for (int part = 0; part < 5; ++part) text += game("A", "B", "1-0") + std::string(1 << 20, 'c') + "\n";
  spit(path, text);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  for (const std::size_t at : {std::size_t(0), text.size() / 3, text.size() * 3 / 4, text.size() - 1}) {
    break_reads(info.st_ino, at);
    auto st = empty_store();
    EXPECT_THROW(read_game_file(*st, path), Failure) << at;
  }
  // A file that seemed to end early, as one saved anew meanwhile: read again.
  break_reads(info.st_ino, text.size() * 2 / 3, 1);
  auto st = empty_store();
  read_game_file(*st, path);
  EXPECT_EQ(st->games[1], 5);
  EXPECT_EQ(faults::early_ends, 0);
  // One that changes again: a failure.
  break_reads(info.st_ino, text.size() * 2 / 3, 100);
  try {
    read_game_file(*empty_store(), path);
    ADD_FAILURE() << "a changing file was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.what(), path + ": changed while read");
  }
  break_reads(0);
}

}  // namespace

#ifdef __linux__
// A thread starts away from its creator's processor but must not stay fixed
// there: pinned to one busy processor it would wait while another idles.
TEST(Threads, StartedElsewhereThenFreeToMove) {
  cpu_set_t usable;
  ASSERT_EQ(sched_getaffinity(0, sizeof usable, &usable), 0);
  const Launch launch = spread_launcher();
  cpu_set_t seen[3];
  std::vector<std::function<void()>> waits;
  for (cpu_set_t& s : seen) waits.push_back(launch([&s] { sched_getaffinity(0, sizeof s, &s); }));
  for (auto& wait : waits) wait();
  for (cpu_set_t& s : seen) EXPECT_TRUE(CPU_EQUAL(&s, &usable));
}
#endif
