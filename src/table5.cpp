#include "table5.h"

#include <cstdio>
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
    "Exit status: 0 done, 1 failed (the message says why), 2 no game file given.\n";

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
  if (path == "--help" || path == "-h") {
    std::fputs(usage, stdout);
    std::fputs(help, stdout);
    return 0;
  }
  if (path == "--version") {
    std::fputs("table5 " TABLE5_VERSION "\n", stdout);
    return 0;
  }

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
