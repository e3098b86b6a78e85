#include "reportfiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "faults.h"
#include "store.h"
#include "test_util.h"

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

TEST(ReplaceFile, DeviceNamesWindowsKeeps) {
  for (const char* name : {"aux.txt", "AUX", "Con.x.txt", "nul .txt", "com1.txt", "LPT9"})
    EXPECT_TRUE(is_device_name(name)) << name;
  for (const char* name : {"auxx.txt", "au.txt", "com0", "com10.txt", "com1x.txt", "lpt.txt", ""})
    EXPECT_FALSE(is_device_name(name)) << name;
}

}  // namespace
