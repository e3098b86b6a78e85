#include "table5.h"

#include <cstdio>
#include <initializer_list>
#include <new>

#include "gamefile.h"
#include "memory.h"
#include "ranking.h"
#include "reportfiles.h"
#include "reports.h"
#include "store.h"

namespace {

const char usage[] = "usage: table5 GAMEFILE\n";

const char help[] =
    "Reads the White, Black and Result tags of a chess game file, ranks the\n"
    "players by score percentage, Buchholz and Sonneborn-Berger, and writes two\n"
    "reports beside the game file: a cross table (GAMEx.txt for GAME.pgn) and a\n"
    "standings list (GAMEs.txt). At most 19 players and 998 games per pair.\n"
    "Ranking: the larger points / (games + 0.01) first, compared exactly, so at\n"
    "equal percentage more games rank higher; then the larger Buchholz, then\n"
    "the larger Sonneborn-Berger. Players without games rank last.\n"
    "\n"
    "Options (instead of a game file):\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and licence and exit\n"
    "\n"
    "Exit status: 0 done, 1 failed (the message says why), 2 no game file given.\n"
    "Report a problem in the project's issue tracker; see the README's section\n"
    "\"Reporting a problem\" and `man table5`.\n";

const char version[] =
    "table5 " TABLE5_VERSION "\n"
    "Copyright (c) 2026 the table5 developers\n"
    "MIT License: you may use, copy, change and pass it on; see LICENSE.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

// Prints text on standard output; status 0, or 1 with a word on standard
// error when it could not be written (a full disk, a closed pipe).
int print(std::initializer_list<const char*> texts) {
  for (const char* text : texts) std::fputs(text, stdout);
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fputs("table5: cannot write to standard output\n", stderr);
  return 1;
}

}  // namespace

ReportNames report_names(const std::string& path, const char* separators) {
  const std::string stem = path.substr(0, path.find('.', name_start(path, separators)));
  return {stem + "x.txt", stem + "s.txt"};
}

int run(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    std::fputs(usage, stdout);
    return 2;
  }
  const std::string& path = args[1];
  if (path == "--help" || path == "-h") return print({usage, help});
  if (path == "--version") return print({version});

  try {
    const auto st = new_store();
    read_game_file(*st, path);
    compute_tiebreaks(*st);
    rank_players(*st);
    // Both reports are assembled in memory and replace their files together.
    Text cross, standings;
    write_cross_table(*st, cross);
    write_standings(*st, standings);
    const ReportNames names = report_names(path);
    const std::vector<Replacement> reports = {{names.cross, cross}, {names.standings, standings}};
    const std::size_t failed = replace_files(reports);
    if (failed == reports.size()) return 0;
    std::printf("%s: cannot write\n", reports[failed].path.c_str());
  } catch (const Failure& failure) {
    std::printf("%s\n", failure.what());
  } catch (const std::bad_alloc&) {
    std::fputs("out of memory\n", stdout);
  }
  return 1;
}
