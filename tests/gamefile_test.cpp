#include "gamefile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "faulty_system.h"
#include "test_util.h"

namespace {

// A file saved anew while it is read is read again, and one that changes
// again fails: also when it was rewritten in place at the same size with
// its modification time put back (cp, then touch -d).
TEST(GameFile, ChangesWhileReadAreSeen) {
  TempDir dir;
  const std::string path = dir / "league.pgn";
  std::string before, after;
  for (int part = 0; part < 5; ++part) {
    before += game("A", "B", "1-0") + std::string(1 << 20, 'c') + "\n";
    after += game("A", "B", "0-1") + std::string(1 << 20, 'c') + "\n";
  }
  ASSERT_EQ(before.size(), after.size());
  for (const int cpus : {1, 2}) {
    spit(path, before);
    const auto modified = std::filesystem::last_write_time(path);
    FaultySystem sys(native_system());
    sys.cpus = cpus;
    sys.at = 6;  // amid the reads
    sys.fault = Fault::short_;
    sys.before_call = [&] {
      spit(path, after);
      std::filesystem::last_write_time(path, modified);
    };
    auto st = empty_store();
    read_game_file(sys, *st, path);
    EXPECT_EQ(st->pt[1], 0) << cpus;  // the file as it stands now: A lost all five
    EXPECT_EQ(st->games[1], 5) << cpus;
  }
  // One that changes again: a failure.
  FaultySystem sys(native_system());
  sys.at = 4;
  sys.before_call = [&] {
    spit(path, before + "\n");
    sys.at = sys.calls + 4;  // and again in the second read
  };
  sys.fault = Fault::short_;
  try {
    read_game_file(sys, *empty_store(), path);
    ADD_FAILURE() << "a changing file was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.what(), path + ": changed while read");
  }
}

}  // namespace

#ifdef __linux__
// A thread starts away from its creator's processor but must not stay fixed
// there: pinned to one busy processor it would wait while another idles.
TEST(Threads, StartedElsewhereThenFreeToMove) {
  cpu_set_t usable;
  ASSERT_EQ(sched_getaffinity(0, sizeof usable, &usable), 0);
  const Launch launch = thread_launcher(native_system());
  cpu_set_t seen[3];
  std::vector<std::function<void()>> waits;
  for (cpu_set_t& s : seen) waits.push_back(launch([&s] { sched_getaffinity(0, sizeof s, &s); }));
  for (auto& wait : waits) wait();
  for (cpu_set_t& s : seen) EXPECT_TRUE(CPU_EQUAL(&s, &usable));
}
#endif
