#include "reportfiles.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>

#include "failure.h"
#include "faulty_system.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

std::size_t files_in(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path), {}));
}

bool replace_file(System& sys, const std::string& path, std::string_view text) {
  return replace_files(sys, {{path, text}}) == 1;
}

mode_t mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(ReplaceFile, WritesAndReplacesWholeFiles) {
  TempDir dir;
  System& sys = native_system();
  const std::string report = dir / "clubx.txt";
  ASSERT_TRUE(replace_file(sys, report, "first\n"));
  EXPECT_EQ(slurp(report), "first\n");
  ASSERT_TRUE(replace_file(sys, report, "second, longer\n"));
  EXPECT_EQ(slurp(report), "second, longer\n");
  ASSERT_TRUE(replace_file(sys, report, ""));
  EXPECT_EQ(slurp(report), "");
  EXPECT_EQ(files_in(dir), 1u);
  // Where the second cannot take its name, the first is put back.
  fs::create_directory(dir / "clubs.txt");
  EXPECT_EQ(replace_files(sys, {{report, "new\n"}, {dir / "clubs.txt", "new\n"}}), 1u);
  EXPECT_EQ(slurp(report), "");
  EXPECT_EQ(replace_files(sys, {{dir / "new.txt", "new\n"}, {dir / "clubs.txt", "new\n"}}), 1u);
  EXPECT_FALSE(fs::exists(dir / "new.txt"));
  EXPECT_EQ(files_in(dir), 2u);
  EXPECT_THROW(replace_file(sys, dir / "missing/clubx.txt", "text\n"), Failure);
}

TEST(ReplaceFile, AFolderLockedElsewhereFailsOnceAfterTenSeconds) {
  TempDir dir;
  const std::string report = dir / "clubx.txt";
  spit(report, "old\n");
  const int reader = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(reader, LOCK_SH), 0);  // anyone who may read the folder
  FaultySystem sys(native_system());
  try {
    replace_files(sys, {{report, "new\n"}});
    ADD_FAILURE() << "replaced under another's lock";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.what(), report + ": locked by another run");
  }
  EXPECT_EQ(sys.output, report + ": waiting for another run\n");
  EXPECT_GE(sys.clock_ms, 10000);  // ten seconds, tried every 2 ms
  EXPECT_LE(sys.clock_ms, 10010);
  EXPECT_NEAR(sys.calls, 2 * 5000, 10);
  EXPECT_EQ(slurp(report), "old\n");
  close(reader);
  EXPECT_TRUE(replace_file(sys, report, "new\n"));
  EXPECT_EQ(files_in(dir), 1u);
}

TEST(ReplaceFile, KeepsAttributesAndReplacesALinkWithoutFollowingIt) {
  TempDir dir;
  FaultySystem sys(native_system());
  spit(dir / "clubx.txt", "private\n");
  chmod((dir / "clubx.txt").c_str(), 0600);
  mode_t while_written = 0;
  sys.at = 5;  // past the lock, the folder's listing and the creation: the first write
  sys.fault = Fault::short_;
  sys.before_call = [&] {
    for (const auto& entry : fs::directory_iterator(dir.path))
      if (entry.path().filename().string().rfind("table5-", 0) == 0) while_written = mode_of(entry.path());
  };
  ASSERT_TRUE(replace_file(sys, dir / "clubx.txt", "still private\n"));
  EXPECT_EQ(sys.faulted, "write");
  EXPECT_EQ(while_written, 0600u);
  EXPECT_EQ(mode_of(dir / "clubx.txt"), 0600u);
  // The permission bits only, and the group where the runner may give it.
  const gid_t group = geteuid() == 0 ? 4242 : getegid();
  ASSERT_EQ(chown((dir / "clubx.txt").c_str(), -1, group), 0);
  chmod((dir / "clubx.txt").c_str(), 06775);
  ASSERT_TRUE(replace_file(native_system(), dir / "clubx.txt", "shared\n"));
  EXPECT_EQ(mode_of(dir / "clubx.txt"), 0775u);
  struct stat info;
  ASSERT_EQ(stat((dir / "clubx.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, group);

  spit(dir / "elsewhere.txt", "not a report\n");
  chmod((dir / "elsewhere.txt").c_str(), 0600);
  fs::create_symlink(dir / "elsewhere.txt", dir / "clubs.txt");
  ASSERT_TRUE(replace_file(native_system(), dir / "clubs.txt", "standings\n"));
  EXPECT_FALSE(fs::is_symlink(dir / "clubs.txt"));
  EXPECT_EQ(slurp(dir / "clubs.txt"), "standings\n");
  EXPECT_NE(mode_of(dir / "clubs.txt"), 0600u);  // a new file's mode, not the target's
  EXPECT_EQ(slurp(dir / "elsewhere.txt"), "not a report\n");
}

// An ACL of any size is copied whole: tmpfs takes ACLs of many kilobytes.
TEST(ReplaceFile, ALargeAclIsCopiedWhole) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  char pattern[] = "/dev/shm/table5-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string report = std::string(pattern) + "/clubx.txt";
  spit(report, "old\n");
  std::string acl("\x02\x00\x00\x00\x01\x00\x06\x00\xff\xff\xff\xff", 12);
  for (std::uint32_t user = 1000; user < 1700; ++user) {  // 700 users may read: 5.6 KB
    const unsigned char entry[8] = {2, 0, 4, 0, static_cast<unsigned char>(user),
                                    static_cast<unsigned char>(user >> 8), 0, 0};
    acl.append(reinterpret_cast<const char*>(entry), 8);
  }
  acl.append("\x04\x00\x00\x00\xff\xff\xff\xff\x10\x00\x04\x00\xff\xff\xff\xff\x20\x00\x00\x00\xff\xff\xff\xff", 24);
  if (setxattr(report.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    fs::remove_all(pattern);
    GTEST_SKIP() << "no large ACLs here";
  }
  EXPECT_TRUE(replace_file(native_system(), report, "new\n"));
  std::string copied(acl.size() + 64, '\0');
  const auto n = getxattr(report.c_str(), "system.posix_acl_access", copied.data(), copied.size());
  EXPECT_EQ(copied.substr(0, n > 0 ? static_cast<std::size_t>(n) : 0), acl);
  fs::remove_all(pattern);
}

// A temporary file of the program's naming that a killed run left long ago
// is removed; one of a run going on now, or any other file, stays.
TEST(ReplaceFile, TemporariesOfKilledRunsAreRemoved) {
  TempDir dir;
  for (const char* name : {"table5-abcdefgh.tmp", "table5-0123456z.tmp", "table5-abc.tmp", "notes.tmp"}) {
    spit(dir / name, "left");
    const timespec long_ago[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    utimensat(AT_FDCWD, (dir / name).c_str(), long_ago, 0);
  }
  spit(dir / "table5-fresh123.tmp", "a run going on a minute");
  const timespec a_minute_ago[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 60, 0}};
  utimensat(AT_FDCWD, (dir / "table5-fresh123.tmp").c_str(), a_minute_ago, 0);
  ASSERT_TRUE(replace_file(native_system(), dir / "clubx.txt", "new\n"));
  EXPECT_FALSE(fs::exists(dir / "table5-abcdefgh.tmp"));
  EXPECT_FALSE(fs::exists(dir / "table5-0123456z.tmp"));
  for (const char* kept : {"table5-abc.tmp", "notes.tmp", "table5-fresh123.tmp", "clubx.txt"})
    EXPECT_TRUE(fs::exists(dir / kept)) << kept;
}

TEST(ReplaceFile, DeviceNamesWindowsKeeps) {
  for (const char* name : {"aux.txt", "AUX", "Con.x.txt", "nul .txt", "com1.txt", "LPT9"})
    EXPECT_TRUE(is_device_name(name)) << name;
  for (const char* name : {"auxx.txt", "au.txt", "com0", "com10.txt", "com1x.txt", "lpt.txt", ""})
    EXPECT_FALSE(is_device_name(name)) << name;
}

}  // namespace
