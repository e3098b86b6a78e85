#include "files.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef __linux__
#include <sched.h>
#endif
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "test_util.h"

// Faults of the system, put in by this program in place of the C library's
// calls that the files code makes, and only while a test asks for them.
namespace faults {
std::atomic<int> names_taken{0};          // exclusive creations to fail as taken
std::atomic<bool> close_fails{false};     // closing a temporary file fails
std::atomic<bool> flush_fails{false};     // flushing a file to the disk fails
std::atomic<ino_t> broken_file{0};        // the file whose reads fail...
std::atomic<std::uint64_t> broken_at{0};  // ...at this byte and after,
std::atomic<int> early_ends{0};           // or meet its end there this often
}  // namespace faults

template <class Function>
Function* next_definition(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

extern "C" int open(const char* path, int flags, ...) {
  static const auto next = next_definition<int(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  const int mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(args, int) : 0;
  va_end(args);
  if ((flags & O_EXCL) && faults::names_taken > 0) {
    --faults::names_taken;
    errno = EEXIST;
    return -1;
  }
  return next(path, flags, mode);
}

extern "C" int close(int fd) {
  static const auto next = next_definition<int(int)>("close");
  char path[4096] = {};
  const bool fails = faults::close_fails &&
                     readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, 4095) > 4 &&
                     std::string_view(path).substr(std::strlen(path) - 4) == ".tmp";
  const int result = next(fd);
  if (!fails) return result;
  errno = EIO;  // as NFS may say at close: the data never reached the disk
  return -1;
}

extern "C" int fdatasync(int fd) {
  static const auto next = next_definition<int(int)>("fdatasync");
  if (!faults::flush_fails) return next(fd);
  errno = EIO;
  return -1;
}

// Whether a read of n bytes at offset at fails; else n is cut short of the
// broken byte, as a disk gives what it could read before it, or to nothing
// where the file seems to end.
bool read_fails(int fd, std::uint64_t at, std::size_t& n) {
  struct stat info;
  if (faults::broken_file == 0 || fstat(fd, &info) != 0 || info.st_ino != faults::broken_file)
    return false;
  if (at >= faults::broken_at && faults::early_ends > 0) {
    if (--faults::early_ends == 0) faults::broken_file = 0;
    n = 0;
    return false;
  }
  if (at >= faults::broken_at) return errno = EIO, true;
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, faults::broken_at - at));
  return false;
}

// Makes the reads of file fail from byte at on, or, ends times, meet the
// file's end there; break_reads(0) mends it.
void break_reads(ino_t file, std::uint64_t at = 0, int ends = 0) {
  faults::broken_at = at;
  faults::early_ends = ends;
  faults::broken_file = file;
}

extern "C" ssize_t read(int fd, void* buf, std::size_t n) {
  static const auto next = next_definition<ssize_t(int, void*, std::size_t)>("read");
  if (faults::broken_file != 0 && read_fails(fd, lseek(fd, 0, SEEK_CUR), n)) return -1;
  return next(fd, buf, n);
}

extern "C" ssize_t pread(int fd, void* buf, std::size_t n, off_t at) {
  static const auto next = next_definition<ssize_t(int, void*, std::size_t, off_t)>("pread");
  if (read_fails(fd, static_cast<std::uint64_t>(at), n)) return -1;
  return next(fd, buf, n, at);
}

namespace {

namespace fs = std::filesystem;

std::size_t files_in(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path), {}));
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

TEST(ReplaceFile, AFailedWriteOrCloseKeepsThePreviousReport) {
  TempDir dir;
  const std::string report = dir / "clubx.txt";
  spit(report, "previous report\n");
  EXPECT_FALSE(replace_file(report, "a new report that fails halfway\n", fail_midway));
  EXPECT_EQ(slurp(report), "previous report\n");
  for (std::atomic<bool>* fault : {&faults::close_fails, &faults::flush_fails}) {
    *fault = true;
    EXPECT_FALSE(replace_file(report, "a new report that never reaches the disk\n"));
    *fault = false;
    EXPECT_EQ(slurp(report), "previous report\n");
  }
  EXPECT_EQ(files_in(dir), 1u);  // no temporary file
}

TEST(ReplaceFile, NoPlaceToWrite) {
  TempDir dir;
  fs::create_directory(dir / "clubx.txt");
  EXPECT_FALSE(replace_file(dir / "clubx.txt", "text\n"));
  EXPECT_TRUE(fs::is_directory(dir / "clubx.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
  EXPECT_FALSE(replace_file(dir / "missing/clubx.txt", "text\n"));
}

TEST(ReplaceFile, ATemporaryNameTakenIsTriedAgain) {
  TempDir dir;
  faults::names_taken = 3;  // another run holds the first three names drawn
  ASSERT_TRUE(replace_file(dir / "clubx.txt", "report\n"));
  EXPECT_EQ(faults::names_taken, 0);
  EXPECT_EQ(slurp(dir / "clubx.txt"), "report\n");
  EXPECT_EQ(files_in(dir), 1u);
}

long fail_second_call(int fd, const char* data, std::size_t n) {
  static int calls = 0;
  if (++calls % 2 == 0) {
    errno = ENOSPC;
    return -1;
  }
  return write(fd, data, n);
}

TEST(ReplaceFile, BothReportsOrNeither) {
  TempDir dir;
  spit(dir / "clubx.txt", "old cross\n");
  spit(dir / "clubs.txt", "old standings\n");
  const std::vector<Replacement> reports = {{dir / "clubx.txt", "new cross\n"},
                                            {dir / "clubs.txt", "new standings\n"}};
  EXPECT_EQ(replace_files(reports, fail_second_call), 1u);
  EXPECT_EQ(slurp(dir / "clubx.txt"), "old cross\n");
  EXPECT_EQ(files_in(dir), 2u);
  EXPECT_EQ(replace_files(reports), 2u);
  EXPECT_EQ(slurp(dir / "clubs.txt"), "new standings\n");
  EXPECT_EQ(files_in(dir), 2u);
}

TEST(ReplaceFile, AFolderLockedElsewhereFailsOnceAfterWaiting) {
  TempDir dir;
  const std::string report = dir / "clubx.txt";
  spit(report, "old\n");
  const int reader = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(reader, LOCK_SH), 0);  // anyone who may read the folder
  testing::internal::CaptureStdout();
  try {
    replace_files({{report, "new\n"}}, write_fd, std::chrono::milliseconds(50));
    ADD_FAILURE() << "replaced under another's lock";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.what(), report + ": locked by another run");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), report + ": waiting for another run\n");
  EXPECT_EQ(slurp(report), "old\n");
  close(reader);
  EXPECT_TRUE(replace_file(report, "new\n"));
  EXPECT_EQ(files_in(dir), 1u);
}

// Writes everything, noting the permission bits of group and others meanwhile.
mode_t others_could = 0;
long write_noting_mode(int fd, const char* data, std::size_t n) {
  struct stat info;
  if (fstat(fd, &info) == 0) others_could |= info.st_mode & 077;
  return write(fd, data, n);
}

mode_t mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(ReplaceFile, KeepsTheModeAndReplacesALinkWithoutFollowingIt) {
  TempDir dir;
  spit(dir / "clubx.txt", "private\n");
  chmod((dir / "clubx.txt").c_str(), 0600);
  ASSERT_TRUE(replace_file(dir / "clubx.txt", "still private\n", write_noting_mode));
  EXPECT_EQ(mode_of(dir / "clubx.txt"), 0600u);
  EXPECT_EQ(others_could, 0u);  // not even while it was written
  // The permission bits only, and the group where the runner may give it.
  const gid_t group = geteuid() == 0 ? 4242 : getegid();
  ASSERT_EQ(chown((dir / "clubx.txt").c_str(), -1, group), 0);
  chmod((dir / "clubx.txt").c_str(), 06775);
  ASSERT_TRUE(replace_file(dir / "clubx.txt", "shared\n"));
  EXPECT_EQ(mode_of(dir / "clubx.txt"), 0775u);
  struct stat info;
  ASSERT_EQ(stat((dir / "clubx.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, group);

  spit(dir / "elsewhere.txt", "not a report\n");
  chmod((dir / "elsewhere.txt").c_str(), 0600);
  fs::create_symlink(dir / "elsewhere.txt", dir / "clubs.txt");
  ASSERT_TRUE(replace_file(dir / "clubs.txt", "standings\n"));
  EXPECT_FALSE(fs::is_symlink(dir / "clubs.txt"));
  EXPECT_EQ(slurp(dir / "clubs.txt"), "standings\n");
  EXPECT_NE(mode_of(dir / "clubs.txt"), 0600u);  // a new file's mode, not the target's
  EXPECT_EQ(slurp(dir / "elsewhere.txt"), "not a report\n");
}

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

TEST(WideNames, DeviceNamesWindowsKeeps) {
  for (const char* name : {"aux.txt", "AUX", "Con.x.txt", "nul .txt", "com1.txt", "LPT9"})
    EXPECT_TRUE(is_device_name(name)) << name;
  for (const char* name : {"auxx.txt", "au.txt", "com0", "com10.txt", "com1x.txt", "lpt.txt", ""})
    EXPECT_FALSE(is_device_name(name)) << name;
}

TEST(WideNames, EveryUtf16TextComesBackWhole) {
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

// Blocks carved from the heap page by two threads at once, and from malloc
// once it is full, are aligned as new must align them and never overlap.
TEST(HeapPage, BlocksFromThreadsAreAlignedAndApart) {
  if (!prepare_heap_page()) GTEST_SKIP() << "no huge pages here";
  using Blocks = std::vector<std::pair<unsigned char*, std::size_t>>;
  Blocks a, b;
  a.reserve(40000), b.reserve(40000);
  std::atomic<int> ready{0};
  const auto fill = [&ready](unsigned char mark, Blocks& got) {
    std::mt19937 rng(mark);
    for (++ready; ready < 2;) std::this_thread::yield();  // both start at once
    for (int i = 0; i < 40000; ++i) {  // about 5 MB in all: the page fills
      const std::size_t n = 1 + rng() % 128;
      got.emplace_back(static_cast<unsigned char*>(::operator new(n)), n);
      std::memset(got.back().first, mark, n);
    }
  };
  std::thread other(fill, 0xA5, std::ref(b));
  fill(0x5A, a);
  other.join();
  for (const Blocks* blocks : {&a, &b})
    for (const auto& [p, n] : *blocks) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % __STDCPP_DEFAULT_NEW_ALIGNMENT__, 0u);
      const unsigned char mark = blocks == &a ? 0x5A : 0xA5;
      EXPECT_TRUE(std::all_of(p, p + n, [&](unsigned char c) { return c == mark; }));
      ::operator delete(p);
    }
}
