// The whole program run in process through a FaultySystem, with the Nth call
// failed, cut short or signalled, for N = 1, 2, ... until a run passes
// untouched; and the same for the Nth allocation. After each run the
// promises hold: the reports are all old or all new, no temporary file
// stays, the lock is free, and a failure says one line with status 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory_resource>
#include <map>
#include <new>

#include "attributes.h"
#include "faulty_system.h"
#include "signals.h"
#include "table5.h"
#include "test_util.h"

// Allocations of the test program counted, and the Nth made to fail.
namespace {
std::atomic<long> news{0}, fail_new_at{0};
}  // namespace

void* operator new(std::size_t n) {
  if (fail_new_at != 0 && ++news == fail_new_at) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
// The library's own nothrow allocations (a sort's buffer) are counted too.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept try {
  return operator new(n);
} catch (const std::bad_alloc&) {
  return nullptr;
}
void* operator new[](std::size_t n, const std::nothrow_t& nothrow) noexcept { return operator new(n, nothrow); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;

// What a report is: its bytes, or absent; and its attributes.
struct Report {
  bool exists = false;
  std::string text;
  FileAttributes attributes;
  bool operator==(const Report& o) const {
    return exists == o.exists && text == o.text && attributes == o.attributes;
  }
};

Report report_at(const std::string& path) {
  if (!fs::exists(fs::symlink_status(path))) return {};
  return {true, slurp(path), attributes_of(path)};
}

// An input: a folder made ready, the game file's name in it, and what its
// reports' attributes must be after a clean run.
enum class Expect { anything, default_acl, kept };
struct Input {
  const char* name;
  std::function<void(const TempDir&)> setup;
  Expect attributes = Expect::anything;
  std::vector<std::string> options = {};
};

// The command line of a run of input in dir.
std::vector<std::string> args_of(const Input& input, const TempDir& dir) {
  std::vector<std::string> args = {"table5"};
  args.insert(args.end(), input.options.begin(), input.options.end());
  args.push_back(dir / "club.pgn");
  return args;
}

std::string league_text(int bytes) {
  std::string text;
  for (int g = 0; static_cast<int>(text.size()) < bytes; ++g)
    text += game("P" + std::to_string(g % 7), "Q" + std::to_string(g % 5), g % 3 ? "1-0" : "1/2-1/2") +
            "{" + std::string(200, 'c') + "}\n";
  return text;
}

const Input inputs[] = {
    {"new reports (the folder has a default ACL)",
     [](const TempDir& dir) {
       fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
       give_default_acl(dir.path.string());
     },
     Expect::default_acl},
    {"old reports kept private (0600, a group, an ACL)",
     [](const TempDir& dir) {
       fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
       for (const char* name : {"clubx.txt", "clubs.txt"}) {
         spit(dir / name, std::string("old ") + name);
         make_private(dir / name);
       }
     },
     Expect::kept},
    {"a league of 4 MiB read in chunks",
     [](const TempDir& dir) {
       static const TempDir made;  // written once, linked into each folder
       if (!fs::exists(made / "league.pgn")) spit(made / "league.pgn", league_text(4 << 20));
       fs::create_hard_link(made / "league.pgn", dir / "club.pgn");
     }},
    {"a page and a data file over old ones of their own",
     [](const TempDir& dir) {
       fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
       spit(dir / "club.html", "<!DOCTYPE html>\n<meta name=\"generator\" content=\"table5 0.9\">old");
       spit(dir / "club.json", "{\"generator\": \"table5 0.9\", \"players\": []}\n");
     },
     Expect::anything,
     {"--html", "--json"}},
    {"a run that fails",
     [](const TempDir& dir) {
       spit(dir / "club.pgn", "[Result \"1-0\"]\n" + game("A", "B", "1-0"));
       spit(dir / "clubx.txt", "old cross");
     }},
};

struct Kind {
  Fault fault;
  Err with;
};

// The ways each call can fail, as the system may fail it; and every call
// can have a signal come at it.
std::vector<Kind> ways_of(const std::string& call) {
  using E = Err;
  static const std::map<std::string, std::vector<Err>> failures = {
      {"open_read", {E::not_found, E::denied, E::busy, E::interrupted, E::io}},
      {"read", {E::io, E::interrupted}},
      {"read_at", {E::io, E::interrupted}},
      {"state", {E::io}},
      {"create_new", {E::exists, E::denied, E::no_space, E::busy, E::interrupted, E::io}},
      {"write", {E::no_space, E::interrupted, E::io}},
      {"flush", {E::no_space, E::interrupted, E::io}},
      {"close_written", {E::no_space, E::io}},
      {"attributes", {E::denied, E::io}},
      {"new_file_attributes", {E::denied, E::io}},
      {"set_group", {E::denied, E::io}},
      {"set_mode", {E::denied, E::io}},
      {"set_acl", {E::no_space, E::unsupported, E::io}},
      {"rename", {E::denied, E::busy, E::no_space, E::interrupted, E::io}},  // io: EXDEV too
      {"link", {E::exists, E::not_found, E::unsupported, E::denied, E::busy, E::interrupted, E::io}},
      {"remove", {E::busy, E::interrupted, E::io}},
      {"replaceable", {E::busy, E::io}},
      {"same_file", {E::denied, E::io}},
      {"names_in", {E::denied, E::io}},
      {"modified_seconds", {E::io}},
      {"try_lock_folder", {E::busy, E::denied, E::unsupported, E::not_found, E::interrupted, E::io}},
      {"map", {E::io}},
      {"start_thread", {E::io}},
      {"out", {E::no_space, E::io}},
  };
  std::vector<Kind> ways = {{Fault::signal, Err::none}};
  if (call == "read" || call == "read_at" || call == "write") ways.push_back({Fault::short_, Err::none});
  if (call == "read" || call == "read_at") ways.push_back({Fault::ended, Err::none});
  if (const auto it = failures.find(call); it != failures.end())
    for (const Err e : it->second) ways.push_back({Fault::fail, e});
  return ways;
}

std::string name_of(const Kind& kind) {
  if (kind.fault == Fault::signal) return "a signal";
  if (kind.fault == Fault::short_) return "short";
  if (kind.fault == Fault::ended) return "an early end";
  static const char* const names[] = {"none", "ENOENT", "EEXIST", "busy", "ENOSPC",
                                      "EACCES", "EINTR", "unsupported", "EIO"};
  return names[static_cast<int>(kind.with)];
}

// Whether a run must get past this failure of this call: one interrupted,
// a temporary name taken, a file held for a moment.
bool retried(const std::string& call, Err error) {
  if (error == Err::exists) return call == "create_new" || call == "link";
  const bool held_for_a_moment = call == "create_new" || call == "rename" || call == "link" ||
                                 call == "replaceable" || call == "remove" || call == "flush" ||
                                 call == "try_lock_folder";
  if (error == Err::busy) return held_for_a_moment;
  return error == Err::interrupted &&
         (held_for_a_moment || call == "open_read" || call == "read" || call == "read_at" || call == "write");
}

// Whether a run may end well with this call failed for good: what it only
// tries (a group, a mode, a hint, stale files), reads in chunks that fall
// back to one piece, a file not told from the game file (what stands there
// must still carry the mark), and a file system without links or locks.
bool may_go_on(const std::string& call, Err error) {
  for (const char* tried : {"set_group", "set_mode", "start_flush", "close", "names_in",
                            "modified_seconds", "remove", "unlock_folder", "state", "map",
                            "start_thread", "read_at", "out", "same_file"})
    if (call == tried) return true;
  if (call == "link") return error == Err::unsupported || error == Err::denied || error == Err::not_found;
  return call == "try_lock_folder" && error == Err::unsupported;
}

// The files a run may write: the two reports, the page and the data file.
struct Pair {
  Report cross, standings, page, data;
};

Pair reports_in(const TempDir& dir) {
  return {report_at(dir / "clubx.txt"), report_at(dir / "clubs.txt"), report_at(dir / "club.html"),
          report_at(dir / "club.json")};
}

// Whether two sets of files are the same, with their attributes or in
// their bytes only.
bool same(const Pair& a, const Pair& b) {
  return a.cross == b.cross && a.standings == b.standings && a.page == b.page && a.data == b.data;
}
bool same_text(const Pair& a, const Pair& b) {
  return a.cross.text == b.cross.text && a.standings.text == b.standings.text && a.page.text == b.page.text &&
         a.data.text == b.data.text;
}

std::vector<std::string> temps_in(const TempDir& dir) {
  std::vector<std::string> temps;
  for (const auto& entry : fs::directory_iterator(dir.path))
    if (entry.path().filename().string().rfind("table5-", 0) == 0) temps.push_back(entry.path().string());
  return temps;
}

// The outcome of a clean run of an input: status, output, reports.
struct Clean {
  int status;
  std::string output;
  Pair before, after;
};

Clean clean_run(const Input& input, std::vector<std::string>* trail = nullptr) {
  TempDir dir;
  input.setup(dir);
  FaultySystem sys(native_system());
  sys.record = trail != nullptr;
  Clean clean{0, "", reports_in(dir), {}};
  clean.status = run(args_of(input, dir), sys);
  clean.output = sys.output;
  clean.after = reports_in(dir);
  if (trail) *trail = sys.trail;
  return clean;
}

// One run with the fault at call n.
void run_with_fault(const Input& input, const Clean& clean, const Kind& kind, long n) {
  TempDir dir;
  input.setup(dir);
  FaultySystem sys(native_system());
  sys.at = n;
  sys.fault = kind.fault;
  sys.with = kind.with;
  const auto both_old_or_new = [&](const char* when) {
    const Pair now = reports_in(dir);
    const bool old = same(now, clean.before);
    const bool fresh = same_text(now, clean.after);
    EXPECT_TRUE(old || fresh) << when;
    // Where removing a file fails for good, it stays: a later run removes it.
    const bool unremovable = sys.faulted == "remove" && !retried("remove", kind.with) &&
                             kind.fault == Fault::fail;
    if (!unremovable) {
      EXPECT_EQ(temps_in(dir), std::vector<std::string>()) << when;
    }
  };
  prepare_signals(sys);
  const int status = run(args_of(input, dir), sys);
  const std::string where = std::string(input.name) + ", " + name_of(kind) + " at call " +
                            std::to_string(n) + " (" + sys.faulted + ")";
  SCOPED_TRACE(where);
  const std::size_t left_open = sys.end();
  EXPECT_TRUE(sys.signalled || left_open == 0) << left_open << " files or locks left open";
  both_old_or_new(sys.signalled ? "after the signal" : "after the run");
  const Pair now = reports_in(dir);
  if (sys.signalled) {
    // The process ended at the signal: what the run did after it is no one's.
  } else if (status == 0) {
    EXPECT_EQ(clean.status, 0);
    if (kind.fault == Fault::fail && !retried(sys.faulted, kind.with) && !may_go_on(sys.faulted, kind.with))
      ADD_FAILURE() << "a failure reported as success";
    const bool tolerated = sys.faulted == "set_mode" || sys.faulted == "set_group";
    if (!tolerated || kind.fault != Fault::fail) {
      EXPECT_TRUE(same(now, clean.after));
    }
    const bool locking = sys.faulted == "try_lock_folder" && kind.fault == Fault::fail;
    if (locking && kind.with == Err::unsupported) {
      EXPECT_NE(sys.errors, "");
    } else if (locking && !retried(sys.faulted, kind.with)) {
      ADD_FAILURE() << "went on unlocked in silence";
    }
    const bool waited = locking && kind.with == Err::busy;
    EXPECT_EQ(sys.output, waited ? dir / "clubx.txt: waiting for another run\n" : "");
  } else {
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(same(now, clean.before));
    std::string output = sys.output;  // one line, after a word that it waits
    const std::string waiting = ": waiting for another run\n";
    if (const auto w = output.find(waiting); w != std::string::npos) output.erase(0, w + waiting.size());
    if (sys.faulted != "out") {  // else the line may lack its end
      EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << sys.output;
    }
    if (clean.status == 0 && kind.fault != Fault::fail) ADD_FAILURE() << "a run that could go on failed: " << output;
    if (clean.status == 0 && kind.fault == Fault::fail && retried(sys.faulted, kind.with))
      ADD_FAILURE() << "a call that may pass when made again was not: " << output;
    // A folder whose lock cannot be had fails the run, where the system has locks.
    if (sys.faulted == "try_lock_folder" && kind.with == Err::unsupported) ADD_FAILURE() << output;
  }
  EXPECT_TRUE(kind.fault != Fault::signal || sys.calls < n || sys.signalled) << "a signal was lost";
  const Handle lock = native_system().try_lock_folder((dir.path / ".").string());
  EXPECT_GE(lock, 0) << "the folder is still locked";
  if (lock >= 0) native_system().unlock_folder(lock);
  EXPECT_GE(sys.calls, n) << "not the same calls each time";
}

TEST(FailPoints, EveryCallFailsInTurn) {
  for (const Input& input : inputs) {
    std::vector<std::string> trail;
    const Clean clean = clean_run(input, &trail);
    const FileAttributes want = input.attributes == Expect::default_acl ? under_default_acl()
                                : input.attributes == Expect::kept     ? clean.before.cross.attributes
                                                                       : clean.after.cross.attributes;
    EXPECT_EQ(clean.after.cross.attributes, want) << input.name;
    std::size_t runs = 0;
    for (std::size_t n = 1; n <= trail.size() && !HasFailure(); ++n)
      for (const Kind& kind : ways_of(trail[n - 1])) {
        run_with_fault(input, clean, kind, static_cast<long>(n));
        ++runs;
      }
    std::printf("%s: %zu calls, failed in %zu runs\n", input.name, trail.size(), runs);
    EXPECT_GE(trail.size(), 5u);
  }
}

// A report that another program holds for a moment (on Windows an editor
// or a virus scanner) is tried again for two seconds, on the run's clock.
TEST(FailPoints, AHeldReportIsTriedForTwoSeconds) {
  for (const int busy : {39, 40}) {
    TempDir dir;
    fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
    spit(dir / "clubx.txt", "old");
    FaultySystem sys(native_system());
    sys.every = "rename";
    sys.left = busy;
    sys.with = Err::busy;
    const int status = run({"table5", dir / "club.pgn"}, sys);
    EXPECT_EQ(sys.clock_ms, 39 * 50) << busy;
    EXPECT_EQ(status, busy < 40 ? 0 : 1) << busy;
    EXPECT_EQ(slurp(dir / "clubx.txt") == "old", busy == 40) << busy;
  }
}

// A memory resource that fails from the Nth allocation on: no memory, or,
// as a 32-bit system says of a buffer of 1 GiB and more, too long.
struct FailingResource : std::pmr::memory_resource {
  long count = 0, fail_at = 0;
  bool too_long = false;
  void* do_allocate(std::size_t n, std::size_t align) override {
    if (fail_at != 0 && ++count >= fail_at && too_long) throw std::length_error("too long");
    if (fail_at != 0 && count >= fail_at) throw std::bad_alloc();
    return std::pmr::new_delete_resource()->allocate(n, align);
  }
  void do_deallocate(void* p, std::size_t n, std::size_t align) override {
    std::pmr::new_delete_resource()->deallocate(p, n, align);
  }
  bool do_is_equal(const memory_resource& o) const noexcept override { return this == &o; }
};

TEST(FailPoints, EveryAllocationFailsInTurn) {
  for (const Input& input : inputs) {
    const Clean clean = clean_run(input);
    long points = 0;
    for (long n = 1;; ++n) {
      TempDir dir;
      input.setup(dir);
      FaultySystem sys(native_system());
      sys.cpus = 1;      // one piece: the same allocations each time
      sys.huge = false;  // and every large buffer from the failing resource
      FailingResource upstream;
      upstream.fail_at = n;
      upstream.too_long = n % 2 == 0;
      const std::vector<std::string> args = args_of(input, dir);
      news = 0;
      fail_new_at = n;
      const int status = run(args, sys, &upstream);
      fail_new_at = 0;
      SCOPED_TRACE(std::string(input.name) + ", allocation " + std::to_string(n));
      const Pair now = reports_in(dir);
      EXPECT_EQ(temps_in(dir), std::vector<std::string>());
      if (status == 0) {
        EXPECT_TRUE(same(now, clean.after));
      } else {
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(sys.output == "out of memory\n" || sys.output == clean.output) << sys.output;
        EXPECT_TRUE(same(now, clean.before));
      }
      if (HasFailure()) return;
      if (news < n && upstream.count < n) break;
      points = n;
    }
    std::printf("%s: %ld allocations, each failed in turn\n", input.name, points);
  }
}

// The threaded path: chunks on threads of their own, each positional read
// failed in turn, whichever thread makes it.
TEST(FailPoints, ThreadedReadsFailInTurn) {
  const Input& league = inputs[2];
  const Clean clean = clean_run(league);
  int failed = 0, recovered = 0;
  for (long n = 1; n < 80; n += 3) {
    TempDir dir;
    league.setup(dir);
    FaultySystem sys(native_system());
    sys.threads = true;
    sys.at = n;
    const int status = run(args_of(league, dir), sys);
    const Pair now = reports_in(dir);
    if (status == 0) {
      ++recovered;
      EXPECT_EQ(now.cross, clean.after.cross) << n;
    } else {
      ++failed;
      EXPECT_FALSE(now.cross.exists) << n;
    }
    EXPECT_EQ(temps_in(dir), std::vector<std::string>());
  }
  std::printf("threaded: %d runs failed, %d recovered\n", failed, recovered);
}

}  // namespace
