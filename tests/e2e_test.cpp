// Runs the built table5 on files in a folder of its own and checks what it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "ranking.h"
#include "reports.h"
#include "signals.h"
#include "system.h"
#include "table5.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out, err;
};

// Runs table5 with the given arguments (shell words) in the folder where,
// relative to dir, after the shell commands first (limits, say).
Outcome run_tool(const TempDir& dir, const std::string& args, const std::string& where = ".",
                 const std::string& first = "") {
  const std::string command = "cd '" + (dir / where) + "' && " + first + " '" TABLE5_EXE "' " +
                              args + " >'" + (dir / "stdout.log") + "' 2>'" +
                              (dir / "stderr.log") + "'";
  const int raw = std::system(command.c_str());
  Outcome result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "stdout.log"),
                 slurp(dir / "stderr.log")};
  // Standard error is for what a person needs to see: a clean run has nothing
  // to say, of the failures only those of the file's content say where, and
  // the warnings are the tests' own to check.
  const bool content = result.out == "result without player\n" ||
                       result.out.rfind("too many ", 0) == 0;
  const bool warned = (result.status == 0 && std::regex_search(result.err, std::regex(
      "^table5: [^\n]*: (no White|[0-9]+ results? (was|were) no game|this looks like UTF-16|.* differs from "
      ".* only in blanks)"))) ||
      (result.status == 2 && result.err.rfind("table5: unknown option ", 0) == 0);
  EXPECT_EQ(result.err.empty(), !content && !warned) << result.err;
  fs::remove(dir / "stdout.log");
  fs::remove(dir / "stderr.log");
  return result;
}

std::size_t files_in(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path), {}));
}

const char worked_cross[] =
    "Cross table, sorted by score percentage, Buchholz, SB\n"
    "\n"
    "                              Ann Car Eva\n"
    " 1. Anna Berg                 ### 1=0 1  \n"
    "                              ### 01        58%   3.5 ( 15.5,   8.0)\n"
    "\n"
    " 2. Carl Dahl                 0=1 ### =  \n"
    "                              10  ###       50%   3.0 ( 18.0,   9.0)\n"
    "\n"
    " 3. Eva Fors                  0   =   ###\n"
    "                                      ###   25%   0.5 (  6.5,   1.5)\n"
    "\n";

const char worked_standings[] =
    "    name                       perc.  pnt games  Buchh    S-B\n"
    "\n"
    " 1. Anna Berg                   58%   3.5 /  6  ( 15.5,   8.0)\n"
    " 2. Carl Dahl                   50%   3.0 /  6  ( 18.0,   9.0)\n"
    " 3. Eva Fors                    25%   0.5 /  2  (  6.5,   1.5)\n";

// A league of n players named prefix1, prefix2, ... with per_pair games per
// pair, the lower numbers scoring more.
std::string league(const std::string& prefix, int n, int per_pair) {
  std::string text;
  unsigned seed = 1;
  for (int i = 1; i <= n; ++i)
    for (int j = i + 1; j <= n; ++j)
      for (int g = 0; g < per_pair; ++g) {
        seed = seed * 1103515245u + 12345u;
        const int roll = static_cast<int>(seed >> 16) % 100 - (j - i);
        text += game(prefix + std::to_string(i), prefix + std::to_string(j),
                     roll < 30 ? "1-0" : roll < 70 ? "1/2-1/2" : "0-1");
      }
  return text;
}

TEST(EndToEnd, ClubEveningReportsAreExact) {
  TempDir dir;
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
  const Outcome run = run_tool(dir, "club.pgn ignored-second-argument");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(slurp(dir / "clubx.txt"), worked_cross);
  EXPECT_EQ(slurp(dir / "clubs.txt"), worked_standings);
  EXPECT_EQ(files_in(dir), 3u);
  // A second run replaces both reports with the same bytes.
  spit(dir / "clubx.txt", "stale");
  EXPECT_EQ(run_tool(dir, "club.pgn").status, 0);
  EXPECT_EQ(slurp(dir / "clubx.txt"), worked_cross);
}

// The page and the data file: written beside the reports when asked, in any
// order, replaced with them, and never over the game file or over a page or
// data file that this tool did not write; a failing run replaces none.
TEST(EndToEnd, PageAndDataFile) {
  const std::string worked_data =
      "{\"generator\": \"table5 " TABLE5_VERSION "\", \"players\": [\n"
      "{\"rank\": 1, \"name\": \"Anna Berg\", \"points\": 3.5, \"games\": 6, \"percent\": 58, \"buchholz\": 15.5, "
      "\"sonneborn_berger\": 8.0, \"results\": [null, \"1=001\", \"1\"]},\n"
      "{\"rank\": 2, \"name\": \"Carl Dahl\", \"points\": 3.0, \"games\": 6, \"percent\": 50, \"buchholz\": 18.0, "
      "\"sonneborn_berger\": 9.0, \"results\": [\"0=110\", null, \"=\"]},\n"
      "{\"rank\": 3, \"name\": \"Eva Fors\", \"points\": 0.5, \"games\": 2, \"percent\": 25, \"buchholz\": 6.5, "
      "\"sonneborn_berger\": 1.5, \"results\": [\"0\", \"=\", null]}\n]}\n";
  const std::string club = "cp '" TABLE5_TEST_DATA "/worked.pgn' club.pgn";
  const struct {
    std::string setup, args;
    int status;
    std::string out;
    std::vector<std::string> files;  // the folder's files afterwards
  } rows[] = {
      {club, "--html --json club.pgn", 0, "", {"club.html", "club.json", "club.pgn", "clubs.txt", "clubx.txt"}},
      {club, "--json -- club.pgn --html", 0, "", {"club.json", "club.pgn", "clubs.txt", "clubx.txt"}},
      {club + " && mkdir sub && mv club.pgn club.html", "--html sub/../club.html", 1,
       "sub/../club.html: is the game file\n", {"club.html", "sub"}},
      {club + " && echo '<p>mine</p>' >club.html", "--json --html club.pgn", 1,
       "club.html: not written by table5\n", {"club.html", "club.pgn"}},
      {club + " && echo '{\"generator\": \"other\"}' >club.json && echo old >clubx.txt", "--html --json club.pgn", 1,
       "club.json: not written by table5\n", {"club.json", "club.pgn", "clubx.txt"}},
      {club + " && mkdir club.json", "--json club.pgn", 1, "club.json: cannot write\n", {"club.json", "club.pgn"}},
      {"echo '[Result \"1-0\"]' >club.pgn", "--html --json club.pgn", 1, "result without player\n", {"club.pgn"}},
      {club, "--htm club.pgn", 2, "usage: table5 [--html] [--json] GAMEFILE\n", {"club.pgn"}},
      {club + " && mv -- club.pgn -club.pgn", "-- -club.pgn", 0, "", {"-club.pgn", "-clubs.txt", "-clubx.txt"}},
  };
  for (const auto& row : rows) {
    TempDir dir;
    ASSERT_EQ(std::system(("cd '" + dir.path.string() + "' && " + row.setup).c_str()), 0);
    const std::string before = slurp(dir / "club.html") + slurp(dir / "club.json") + slurp(dir / "clubx.txt");
    const Outcome run = run_tool(dir, row.args);
    SCOPED_TRACE(row.args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.out, row.out);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.path)) files.push_back(entry.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, row.files);
    if (row.status != 0) {
      EXPECT_EQ(slurp(dir / "club.html") + slurp(dir / "club.json") + slurp(dir / "clubx.txt"), before);
    }
    if (fs::exists(dir / "club.json") && row.status == 0) {
      EXPECT_EQ(slurp(dir / "club.json"), worked_data);
      EXPECT_EQ(slurp(dir / "clubs.txt"), worked_standings);
      // A second run replaces what the first wrote.
      EXPECT_EQ(run_tool(dir, row.args).status, 0);
    }
  }
}

// Both headings, and a word on standard error for a file with no tag at all
// (or a UTF-16 one), and for results that were no game.
TEST(EndToEnd, WhatHappensInSilenceIsSaid) {
  TempDir dir;
  const std::string alike = "differs from \"Miller, John\" (line 1) only in blanks, letter case or "
                            "how accents are encoded; they count as two players";
  // Each row: the file, and standard error after "table5: club.pgn".
  const std::pair<std::string, std::string> rows[] = {
      {"1. e4 e5 1-0\n", ": no White, Black or Result tag: is this a game file?"},
      {"", ": no White, Black or Result tag: is this a game file?"},
      {std::string("\xFF\xFE[\0W\0h\0", 8), ": this looks like UTF-16 (\"Unicode\"): no tag can be read; save it as UTF-8"},
      {std::string("[\0W\0h\0i\0t\0e\0 \0", 14), ": this looks like UTF-16 (\"Unicode\"): no tag can be read; save it as UTF-8"},
      {game("A", "B", "*") + game("A", "B", "1-0"), ": 1 result was no game (\"*\" or the like) and is left out"},
      {game("A", "B", "*") + game("A", "B", "?") + game("B", "A", ""), ": 3 results were no game (\"*\" or the like) and are left out"},
      {game("A", "B", "1-0") + "[Result 1-0]\n", ""},
      {game("Miller, John", "B", "1-0") + game("B", "Miller, John ", "1-0"), ":5: \"Miller, John \" " + alike},
      {game("Miller, John", "B", "1-0") + game("miller,\tjohn", "b", "1-0"),
       ":4: \"miller,\\x09john\" " + alike + "\ntable5: club.pgn:5: \"b\" differs from \"B\" (line 2) only in "
       "blanks, letter case or how accents are encoded; they count as two players"},
      {game("Miller, John", "\xC3\xA9mile", "1-0") + "\n[White \"e\xCC\x81mile\"]\n" +
           game("Miller,\xC2\xA0John", "B", "1-0"), ":6: \"Miller,\xC2\xA0John\" " + alike +
       "\ntable5: club.pgn:5: \"e\xCC\x81mile\" differs from \"\xC3\xA9mile\" (line 2) only in blanks, letter "
       "case or how accents are encoded; they count as two players"},
      {game("Miller, John", "M\xFCller", "1-0") + game("Miller,\xA0John", "Muller", "1-0"), ":4: \"Miller,\xA0John\" " + alike},
  };
  for (const auto& [text, warning] : rows) {
    spit(dir / "club.pgn", text);
    const Outcome run = run_tool(dir, "club.pgn");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, warning.empty() ? "" : "table5: club.pgn" + warning + "\n") << text;
  }
  spit(dir / "empty.pgn", "1. e4 e5 1-0\n");
  EXPECT_EQ(run_tool(dir, "empty.pgn").status, 0);
  EXPECT_EQ(slurp(dir / "emptyx.txt"),
            "Cross table, sorted by score percentage, Buchholz, SB\n\n" + std::string(29, ' ') + "\n");
  EXPECT_EQ(slurp(dir / "emptys.txt"),
            "    name                       perc.  pnt games  Buchh    S-B\n\n");
}

TEST(EndToEnd, ReportsGoBesideTheInput) {
  TempDir dir;
  fs::create_directories(dir / "results/2008.d");
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "results/2008.d/club.pgn");
  EXPECT_EQ(run_tool(dir, "results/2008.d/club.pgn").status, 0);
  EXPECT_EQ(slurp(dir / "results/2008.d/clubs.txt"), worked_standings);
  fs::create_directory(dir / "sub");
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "cup.pgn");
  EXPECT_EQ(run_tool(dir, "../cup.pgn", "sub").status, 0);
  EXPECT_EQ(slurp(dir / "cupx.txt"), worked_cross);
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST(EndToEnd, CommandLine) {
  TempDir dir;
  Outcome run = run_tool(dir, "");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "usage: table5 [--html] [--json] GAMEFILE\n");
  for (const char* flag : {"--help", "-h"}) {
    run = run_tool(dir, flag);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("usage: table5 [--html] [--json] GAMEFILE\n", 0), 0u);
    EXPECT_NE(run.out.find("Buchholz"), std::string::npos);
  }
  run = run_tool(dir, "--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_search(run.out, std::regex("^table5 [0-9]+\\.[0-9]+\\.[0-9]+\nCopyright ")));
  EXPECT_NE(run.out.find("MIT License"), std::string::npos);
  for (const std::string flag : {"--help", "--version"}) {  // nothing could be written
    const int raw = std::system(("'" TABLE5_EXE "' " + flag + " >/dev/full 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 1) << flag;
  }
  // Into a pipe whose reader has gone, it ends as tools do there: by SIGPIPE.
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  close(out[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it, whatever runs the tests
    if (dup2(out[1], 1) == 1) execl(TABLE5_EXE, TABLE5_EXE, "--help", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
  EXPECT_EQ(files_in(dir), 0u);
}

TEST(EndToEnd, InputThatCannotBeRead) {
  TempDir dir;
  Outcome run = run_tool(dir, "missing.pgn");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "missing.pgn: not found\n");
  fs::create_directory(dir / "folder.pgn");
  run = run_tool(dir, "folder.pgn");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "folder.pgn: not found\n");
  // A file that opens but fails to read: reading /proc/self/mem at 0 fails.
  if (fs::exists("/proc/self/mem")) {
    run = run_tool(dir, "/proc/self/mem");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "/proc/self/mem: not found\n");
  }
  if (geteuid() != 0) {  // root reads everything
    spit(dir / "locked.pgn", game("A", "B", "1-0"));
    chmod((dir / "locked.pgn").c_str(), 0);
    run = run_tool(dir, "locked.pgn");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "locked.pgn: not found\n");
  }
  EXPECT_FALSE(fs::exists(dir / "folderx.txt"));
  EXPECT_FALSE(fs::exists(dir / "lockedx.txt"));
}

TEST(EndToEnd, ReadingFailuresTouchNoReport) {
  TempDir dir;
  std::string many_players, many_games;
  for (int i = 1; i <= 20; ++i) many_players += game("P" + std::to_string(i), "Q", "1-0");
  for (int i = 0; i < 999; ++i) many_games += game("A", "B", "0-1");
  const std::pair<std::string, std::string> cases[] = {
      {"[Result \"1-0\"]\n" + game("A", "B", "1-0"), "result without player\n"},
      {many_players, "too many players (at most 19)\n"},
      {many_games, "too many games between two players (at most 998)\n"}};
  spit(dir / "clubx.txt", "old cross table");
  for (const auto& [text, message] : cases) {
    spit(dir / "club.pgn", text);
    const Outcome run = run_tool(dir, "club.pgn");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, message);
    EXPECT_EQ(run.err.rfind("table5: club.pgn:", 0), 0u) << run.err;
    EXPECT_EQ(slurp(dir / "clubx.txt"), "old cross table");
    EXPECT_FALSE(fs::exists(dir / "clubs.txt"));
    EXPECT_EQ(files_in(dir), 2u);
  }
}

TEST(EndToEnd, ReportsThatCannotBeWritten) {
  TempDir dir;
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
  fs::create_directory(dir / "clubx.txt");
  Outcome run = run_tool(dir, "club.pgn");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "clubx.txt: cannot write\n");
  EXPECT_FALSE(fs::exists(dir / "clubs.txt"));
  EXPECT_EQ(files_in(dir), 2u);

  fs::remove(dir / "clubx.txt");
  fs::create_directory(dir / "clubs.txt");
  run = run_tool(dir, "club.pgn");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "clubs.txt: cannot write\n");
  EXPECT_FALSE(fs::exists(dir / "clubx.txt"));  // both old: there was none
  EXPECT_EQ(files_in(dir), 2u);
}

TEST(EndToEnd, LeagueRanksByRatioBeforeTiebreaks) {
  // 18 engines at 998 games per pair and a newcomer with 3 wins: Buchholz
  // reaches 10^8 half-points.
  TempDir dir;
  std::string text = league("Engine ", 18, max_pair_games);
  for (int i = 1; i <= 3; ++i) text += game("Newcomer", "Engine " + std::to_string(i), "1-0");
  spit(dir / "league.pgn", text);
  ASSERT_EQ(run_tool(dir, "league.pgn").status, 0);
  EXPECT_NE(slurp(dir / "leaguex.txt").find("\n 1. Newcomer "), std::string::npos);
  const std::string standings = slurp(dir / "leagues.txt");
  EXPECT_NE(standings.find("\n 1. Newcomer "), std::string::npos);

  // Rows in order of ratio, exactly; at equal ratios by Buchholz, then SB.
  const std::regex row(
      " *[0-9]+\\. .*%  *([0-9]+)\\.([05]) /([ 0-9]{3,})  \\( *([0-9.]+), *([0-9.]+)\\)\n");
  std::vector<std::array<double, 4>> rows;  // half-points, games, Buchholz, SB
  for (std::sregex_iterator m(standings.begin(), standings.end(), row), end; m != end; ++m)
    rows.push_back({std::stod((*m)[1]) * 2 + ((*m)[2] == "5"), std::stod((*m)[3]),
                    std::stod((*m)[4]), std::stod((*m)[5])});
  ASSERT_EQ(rows.size(), 19u);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const auto &a = rows[i - 1], &b = rows[i];
    const double ratio_a = a[0] * (100 * b[1] + 1), ratio_b = b[0] * (100 * a[1] + 1);
    EXPECT_TRUE(ratio_a > ratio_b || (ratio_a == ratio_b && std::make_pair(a[2], a[3]) >=
                                                                std::make_pair(b[2], b[3])))
        << "rank " << i;
  }
}

// Sanitizers reserve terabytes of address space: no memory limit under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

TEST(EndToEnd, LimitsAndLeftoversEndInAFailureThatLeavesNothing) {
  TempDir dir;
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
  if (!sanitized) {
    // Every memory limit below the one a run needs says so, also where the
    // runtime cannot even have the memory for an exception.
    int enough = 4000;
    while (run_tool(dir, "club.pgn", ".", "ulimit -v " + std::to_string(enough) + ";").status != 0)
      enough += 256;
    for (int limit = enough - 4; limit > enough - 1024; limit -= 4) {
      const Outcome run = run_tool(dir, "club.pgn", ".", "ulimit -v " + std::to_string(limit) + ";");
      EXPECT_TRUE(run.status == 0 || (run.status == 1 && run.out == "out of memory\n"))
          << limit << " KiB: " << run.status << " " << run.out;
    }
    EXPECT_EQ(files_in(dir), 3u);
    fs::remove(dir / "clubx.txt"), fs::remove(dir / "clubs.txt");
    const Outcome run = run_tool(dir, "club.pgn", ".", "ulimit -v 6000;");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "out of memory\n");
    spit(dir / "long.pgn", "[White \"" + std::string(50 << 20, 'x') + "\"]\n");
    EXPECT_EQ(run_tool(dir, "long.pgn", ".", "ulimit -v 120000;").out, "out of memory\n");
    fs::remove(dir / "long.pgn");
  }
  spit(dir / "big.pgn", league("P", 10, 60));  // a cross table of over 8 KiB
  Outcome run = run_tool(dir, "big.pgn", ".", "ulimit -f 8;");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "bigx.txt: cannot write\n");
  EXPECT_EQ(files_in(dir), 2u);

  // A new report gets the mode the umask leaves.
  run = run_tool(dir, "club.pgn", ".", "umask 027;");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(slurp(dir / "clubs.txt"), worked_standings);
  EXPECT_EQ(fs::status(dir / "clubs.txt").permissions(), fs::perms(0640));
  EXPECT_EQ(files_in(dir), 4u);
}

// Where the runtime has no memory left even for an exception it ends the
// process with none (seen with the shared C++ runtime in a band of memory
// limits about 80 KB wide): that end says "out of memory", status 1. An
// exception nothing catches keeps its default end.
TEST(EndToEnd, NoMemoryForAnExceptionIsOutOfMemory) {
  EXPECT_EXIT(
      {
        prepare_signals(native_system());
        std::terminate();
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        prepare_signals(native_system());
        try {
          throw 1;
        } catch (...) {
          std::terminate();
        }
      },
      testing::KilledBySignal(SIGABRT), "");
}

// Starts table5 on game in dir, its output thrown away, with the signal
// ignored (as nohup ignores SIGHUP) unless it is 0.
pid_t start_tool(const TempDir& dir, const std::string& game, int ignored = 0) {
  // Held off until the child ignores it: one sent at once must not find it unready.
  sigset_t held, old;
  sigemptyset(&held);
  if (ignored != 0) sigaddset(&held, ignored);
  sigprocmask(SIG_BLOCK, &held, &old);
  const pid_t pid = fork();
  if (pid != 0) sigprocmask(SIG_SETMASK, &old, nullptr);
  if (pid == 0) {
    if (ignored != 0) signal(ignored, SIG_IGN);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    const rlimit no_core{0, 0};  // SIGQUIT and SIGXCPU would leave one
    setrlimit(RLIMIT_CORE, &no_core);
    const int null = open("/dev/null", O_WRONLY);
    if (chdir(dir.path.c_str()) == 0 && dup2(null, 1) == 1)
      execl(TABLE5_EXE, TABLE5_EXE, game.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(EndToEnd, SignalsLeaveBothOldOrBothNewReports) {
  // Report names of 254 bytes, the longest a file system takes.
  TempDir dir;
  const std::string stem(249, 'n');
  spit(dir / (stem + ".pgn"), league("P", 19, 40));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(wait_for(start_tool(dir, stem + ".pgn")), 0);
  const auto run_time = std::chrono::steady_clock::now() - start;
  std::mt19937 rng(11);
  for (int round = 0; round < 100; ++round) {
    spit(dir / (stem + "x.txt"), "old");
    spit(dir / (stem + "s.txt"), "old");
    // Sent by others, and those of a fault sent with kill (the sanitizers
    // keep their own handlers for the faults they watch).
    std::vector<int> signals = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGXCPU, SIGPIPE, SIGRTMIN + 1,
                                SIGSTKFLT, SIGABRT, SIGTRAP, SIGSYS};
    if (!sanitized) signals.insert(signals.end(), {SIGSEGV, SIGBUS, SIGFPE, SIGILL});
    const int sig = signals[rng() % signals.size()];
    // Every fourth run is started ignoring the signal: it must run to its end.
    const bool ignored = round % 4 == 0;
    const pid_t pid = start_tool(dir, stem + ".pgn", ignored ? sig : 0);
    std::this_thread::sleep_for(run_time * (rng() % 1000) / 800);
    kill(pid, sig);
    const int status = wait_for(pid);
    EXPECT_TRUE(status == 0 || (!ignored && WIFSIGNALED(status) && WTERMSIG(status) == sig))
        << status;
    EXPECT_EQ(slurp(dir / (stem + "x.txt")) == "old", slurp(dir / (stem + "s.txt")) == "old")
        << "round " << round;
    EXPECT_EQ(files_in(dir), 3u) << "round " << round;
  }
}

// A run that finds the folder locked says so while it waits, seen from
// another process, and goes on once the lock is let go.
TEST(EndToEnd, WaitingIsSaidWhileTheRunWaits) {
  TempDir dir;
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "club.pgn");
  const int folder = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.path.c_str()) == 0 && dup2(out[1], 1) == 1)
      execl(TABLE5_EXE, TABLE5_EXE, "club.pgn", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string said;
  char buf[256];
  for (ssize_t n; said.find('\n') == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0;)
    said.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(said, "clubx.txt: waiting for another run\n");
  EXPECT_FALSE(fs::exists(dir / "clubx.txt"));  // still waiting
  close(folder);
  EXPECT_EQ(wait_for(pid), 0);
  close(out[0]);
  EXPECT_EQ(slurp(dir / "clubx.txt"), worked_cross);
}

// Runs as a user whom the folder's modes bind (root passes them by): in a
// folder that user may write to but not read (0733), the lock cannot be
// had, and the run fails rather than go on unlocked.
TEST(EndToEnd, AFolderThatCannotBeLockedFailsTheRun) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  TempDir dir;
  fs::permissions(dir.path, fs::perms(0755));
  fs::create_directory(dir / "dropbox");
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", dir / "dropbox/club.pgn");
  fs::permissions(dir / "dropbox/club.pgn", fs::perms(0644));
  fs::permissions(dir / "dropbox", fs::perms(0733));
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    const int log = open((dir / "out.log").c_str(), O_WRONLY | O_CREAT, 0666);
    if (setgid(65534) == 0 && setuid(65534) == 0 && dup2(log, 1) == 1 && dup2(null, 2) == 2)
      execl(TABLE5_EXE, TABLE5_EXE, (dir / "dropbox/club.pgn").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const int status = wait_for(pid);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(slurp(dir / "out.log"), dir / "dropbox/clubx.txt: cannot lock its folder\n");
  fs::permissions(dir / "dropbox", fs::perms(0755));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dropbox"), {}), 1);
}

// Reports in a folder on another file system than the current one: the
// old report kept aside by a link stays on its own.
TEST(EndToEnd, ReportsOnAnotherFileSystem) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  TempDir here;
  const std::string there = "/dev/shm/" + here.path.filename().string();
  fs::create_directory(there);
  fs::copy_file(TABLE5_TEST_DATA "/worked.pgn", there + "/club.pgn");
  spit(there + "/clubx.txt", "old");
  EXPECT_EQ(run_tool(here, "'" + there + "/club.pgn'").status, 0);
  EXPECT_EQ(slurp(there + "/clubx.txt"), worked_cross);
  EXPECT_EQ(slurp(there + "/clubs.txt"), worked_standings);
  EXPECT_EQ(std::distance(fs::directory_iterator(there), {}), 3);
  fs::remove_all(there);
}

TEST(EndToEnd, ConcurrentRunsNeverMixTheirReports) {
  // a.pgn and a.b.pgn both write ax.txt and as.txt; small files, so that the
  // runs reach their writing at about the same time.
  TempDir dir;
  spit(dir / "a.pgn", league("A", 3, 2));
  spit(dir / "a.b.pgn", league("B", 3, 2));
  for (int round = 0; round < (sanitized ? 20 : 100); ++round) {
    pid_t runs[6];
    for (int i = 0; i < 6; ++i) runs[i] = start_tool(dir, i % 2 ? "a.b.pgn" : "a.pgn");
    for (const pid_t pid : runs) EXPECT_EQ(wait_for(pid), 0);
    EXPECT_EQ(slurp(dir / "ax.txt").find("A1 ") != std::string::npos,
              slurp(dir / "as.txt").find("A1 ") != std::string::npos)
        << "round " << round;
    EXPECT_EQ(files_in(dir), 4u);
  }
}

// Checks a pair of reports against each other: every symbol P has against Q
// is mirrored in Q's row against P, and the points add up to the games.
void check_totals(const Store& st, const std::string& cross, const std::string& standings) {
  std::istringstream lines(cross);
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  std::getline(lines, line);
  const int rows = cell_rows(st.maxn), width = cell_width(st.maxn);
  std::vector<std::vector<std::string>> cells(st.nptr + 1, std::vector<std::string>(st.nptr + 1));
  for (int i = 1; i <= st.nptr; ++i) {
    for (int l = 0; l < rows; ++l) {
      ASSERT_TRUE(std::getline(lines, line));
      const std::size_t label = l == (rows - 1) / 2 ? 4 + stored_name(st, st.r[i]).size() : 29;
      for (int k = 1; k <= st.nptr; ++k)
        cells[i][k] += line.substr(label + (k - 1) * (width + 1) + 1, width);
    }
    if (rows > 1) std::getline(lines, line);
  }
  int symbols = 0;
  for (int i = 1; i <= st.nptr; ++i)
    for (int k = 1; k <= st.nptr; ++k) {
      if (i == k) continue;
      std::string mirrored = cells[k][i];
      for (char& c : mirrored) c = c == '1' ? '0' : c == '0' ? '1' : c;
      EXPECT_EQ(cells[i][k], mirrored) << i << " " << k;
      for (const char c : cells[i][k]) symbols += c != ' ';
    }
  const std::regex row("\\s*([0-9]+)% +([0-9.]+) / *([0-9]+)  \\(");
  double points = 0;
  int games = 0;
  for (std::sregex_iterator m(standings.begin(), standings.end(), row), end; m != end; ++m) {
    points += std::stod((*m)[2]);
    games += std::stoi((*m)[3]);
  }
  EXPECT_EQ(games, symbols);
  EXPECT_EQ(points * 2, games);
}

TEST(EndToEnd, RealTournamentFiles) {
  if (!fs::is_directory(TABLE5_SHARED_DATA)) GTEST_SKIP() << "no " TABLE5_SHARED_DATA;
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(TABLE5_SHARED_DATA)) {
    TempDir dir;
    const std::string name = entry.path().filename().string();
    fs::copy_file(entry.path(), dir / name);
    const Outcome run = run_tool(dir, "'" + name + "'");
    const ReportNames reports = report_names(dir / name);
    if (name == "swiss-34-players.pgn") {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "too many players (at most 19)\n");
      EXPECT_EQ(run.err, "table5: " + name + ":3453: \"ScorpioNN 3.0.12\" would be a 20th player\n");
      EXPECT_EQ(files_in(dir), 1u);
      continue;
    }
    ASSERT_EQ(run.status, 0) << name << ": " << run.out;
    EXPECT_EQ(run.err, name == "match-with-unfinished-game.pgn"
                           ? "table5: " + name + ": 1 result was no game (\"*\" or the like) and is left out\n"
                           : "");
    auto st = read_text(slurp(entry.path().string()));
    compute_tiebreaks(*st);
    rank_players(*st);
    EXPECT_GT(st->maxn, 0) << name;
    check_totals(*st, slurp(reports.cross), slurp(reports.standings));
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

}  // namespace
