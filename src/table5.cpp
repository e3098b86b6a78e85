#include "table5.h"

#include <initializer_list>
#include <new>
#include <stdexcept>
#include <utility>

#include "alike.h"
#include "datafile.h"
#include "gamefile.h"
#include "memory.h"
#include "ranking.h"
#include "reportfiles.h"
#include "reports.h"
#include "store.h"
#include "webpage.h"

namespace {

const char usage[] = "usage: table5 [--html] [--json] GAMEFILE\n";

const char help[] =
    "Reads the White, Black and Result tags of a chess game file, ranks the\n"
    "players by score percentage, Buchholz and Sonneborn-Berger, and writes two\n"
    "reports beside the game file: a cross table (GAMEx.txt for GAME.pgn) and a\n"
    "standings list (GAMEs.txt). At most 19 players and 998 games per pair.\n"
    "Ranking: the larger points / (games + 0.01) first, compared exactly, so at\n"
    "equal percentage more games rank higher; then the larger Buchholz, then\n"
    "the larger Sonneborn-Berger. Players without games rank last.\n"
    "\n"
    "Before the game file, in any order (-- ends them):\n"
    "  --html      also write a web page, GAME.html: both tables, self-contained,\n"
    "              to upload as it is, print or read on a phone\n"
    "  --json      also write the data file GAME.json: every player's rank, name,\n"
    "              points, games, percentage, Buchholz, Sonneborn-Berger (exact)\n"
    "              and results against each player, for scripts\n"
    "A page or data file that this tool did not write is never written over.\n"
    "\n";

// The options, and where the help and the licence point: the manual page and
// the packages' files, or what the Windows .zip holds.
const char* const options =
    on_windows ? "Options (instead of a game file):\n"
                 "  -h, --help, /?  show this help and exit\n"
                 "  --version       show the version and licence and exit\n"
               : "Options (instead of a game file):\n"
                 "  -h, --help  show this help and exit\n"
                 "  --version   show the version and licence and exit\n";

const char exit_status[] =
    "\n"
    "Exit status: 0 done, 1 failed (the message says why), 2 no game file given\n"
    "or an unknown option.\n";

const char* const report_where =
    on_windows ? "Report a problem in the project's issue tracker; see README.txt, section\n"
                 "\"Reporting a problem\".\n"
               : "Report a problem in the project's issue tracker; see the README's section\n"
                 "\"Reporting a problem\" and `man table5`.\n";

const char version[] =
    "table5 " TABLE5_VERSION "\n"
    "Copyright (c) 2026 the table5 developers\n";

const char* const licence = on_windows
                                ? "MIT License: you may use, copy, change and pass it on; see LICENSE.txt.\n"
                                : "MIT License: you may use, copy, change and pass it on; see LICENSE.\n";

const char no_warranty[] = "There is NO WARRANTY, to the extent permitted by law.\n";

// In a console window of its own, which a user opened by dropping a file or
// double-clicking: what to do, or where the reports went.
const char drop_a_file[] = "To make the reports of a tournament, drop its game file on table5.exe.\n";

// Prints text on standard output; status 0, or 1 with a word on standard
// error when it could not be written (a full disk).
int print(System& sys, std::initializer_list<const char*> texts) {
  for (const char* text : texts)
    if (!sys.out(text)) {
      sys.err("table5: cannot write to standard output\n");
      return 1;
    }
  return 0;
}

// On standard error, where the game file makes the run fail and why. The
// message on standard output stands alone where that cannot be told.
void say_where(System& sys, const std::string& path) {
  try {
    const StorePtr st = new_store(sys);
    const Diagnosis found = diagnose_game_file(sys, *st, path);
    if (found.line > 0)
      sys.err("table5: " + path + ":" + std::to_string(found.line) + ": " + found.what + "\n");
  } catch (const std::exception&) {
  }
}

// On standard error, each two players whose names read alike, with the
// lines where the names first stand: found by reading the file once more,
// only where there is something to say.
void warn_of_alike_names(System& sys, const Store& st, const std::string& path) {
  std::vector<std::pair<int, int>> pairs;
  for (int p = 1; p <= st.nptr; ++p)
    for (int q = p + 1; q <= st.nptr; ++q)
      if (alike(name_as_read(st, p), name_as_read(st, q))) pairs.emplace_back(p, q);
  if (pairs.empty()) return;
  const StorePtr read_again = new_store(sys);
  const Diagnosis found = diagnose_game_file(sys, *read_again, path);
  const auto line_of = [&](int p) {
    for (int k = 1; k < static_cast<int>(found.first_line.size()); ++k)
      if (name_as_read(*read_again, k) == name_as_read(st, p)) return std::to_string(found.first_line[k]);
    return std::string("?");
  };
  for (const auto& [p, q] : pairs)
    sys.err("table5: " + path + ":" + line_of(q) + ": " + quoted(name_as_read(st, q)) + " differs from " +
            quoted(name_as_read(st, p)) + " (line " + line_of(p) + ") " + alike_in +
            "; they count as two players\n");
}

// On standard error, what a director should know of a run that went well:
// a file with no tag at all (or one saved as UTF-16), names that read alike,
// and results left out. The reports stand by then: memory running out only
// leaves a word unsaid.
void warn(System& sys, const Store& st, const std::string& path) noexcept try {
  const std::string where = "table5: " + path + ": ";
  if (st.nptr == 0)
    sys.err(where + (looks_like_utf16(first_bytes(sys, path, 256))
                         ? "this looks like UTF-16 (\"Unicode\"): no tag can be read; save it as UTF-8\n"
                         : "no White, Black or Result tag: is this a game file?\n"));
  warn_of_alike_names(sys, st, path);
  if (st.no_games == 1)
    sys.err(where + "1 result was no game (\"*\" or the like) and is left out\n");
  if (st.no_games > 1)
    sys.err(where + std::to_string(st.no_games) +
            " results were no game (\"*\" or the like) and are left out\n");
} catch (const std::exception&) {
}

}  // namespace

ReportNames report_names(const std::string& path, const char* separators) {
  const std::string stem = path.substr(0, path.find('.', name_start(path, separators)));
  return {stem + "x.txt", stem + "s.txt", stem + ".html", stem + ".json"};
}

int run(const std::vector<std::string>& args, System& sys, std::pmr::memory_resource* upstream) {
  bool html = false, json = false;
  std::size_t at = 1;
  for (; at < args.size(); ++at) {
    const std::string& arg = args[at];
    if (arg == "--help" || arg == "-h" || (on_windows && arg == "/?"))
      return print(sys, {usage, help, options, exit_status, report_where});
    if (arg == "--version") return print(sys, {version, licence, no_warranty});
    if (arg == "--html" || arg == "--json") {
      (arg == "--html" ? html : json) = true;
    } else if (arg == "--") {
      ++at;
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      sys.err("table5: unknown option " + quoted(arg) + "\n");
      sys.out(usage);
      return 2;
    } else {
      break;
    }
  }
  if (at >= args.size()) {
    sys.out(usage);
    if (sys.own_console()) sys.out(drop_a_file);
    return 2;
  }
  const std::string& path = args[at];

  try {
    RunArena arena(sys, upstream);
    const StorePtr st = new_store(sys);
    read_game_file(sys, *st, path, &arena);
    compute_tiebreaks(*st);
    rank_players(*st);
    // The reports are assembled in memory and replace their files together.
    Text cross(&arena), standings(&arena), page(&arena), data(&arena);
    write_cross_table(*st, cross);
    write_standings(*st, standings);
    const ReportNames names = report_names(path);
    std::vector<Replacement> reports = {{names.cross, cross}, {names.standings, standings}};
    if (html) {
      write_page(*st, path.substr(name_start(path, path_separators)), page);
      reports.push_back({names.page, page, page_mark, path});
    }
    if (json) {
      write_data(*st, data);
      reports.push_back({names.data, data, data_mark, path});
    }
    const std::size_t failed = replace_files(sys, reports);
    if (failed == reports.size()) {
      warn(sys, *st, path);
      if (sys.own_console())
        sys.out("Cross table: " + names.cross + "\nStandings:   " + names.standings + "\n" +
                (html ? "Web page:    " + names.page + "\n" : "") + (json ? "Data file:   " + names.data + "\n" : ""));
      return 0;
    }
    sys.out(reports[failed].path), sys.out(": cannot write\n");
  } catch (const Failure& failure) {  // printed without a copy: memory may be short
    sys.out(failure.what()), sys.out("\n");
    if (failure.in_content) say_where(sys, path);
  } catch (const std::bad_alloc&) {
    sys.out("out of memory\n");
  } catch (const std::length_error&) {  // a line longer than a 32-bit system can hold
    sys.out("out of memory\n");
  }
  return 1;
}
