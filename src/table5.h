// Run control: the command line, the run sequence and the report names.
#pragma once

#include <string>
#include <vector>

#include "names.h"

struct ReportNames {
  std::string cross;      // the cross table, ending in "x.txt"
  std::string standings;  // the standings list, ending in "s.txt"
};

// The report names for a game file: its name cut at its first '.', the
// directory part kept as written.
ReportNames report_names(const std::string& path, const char* separators = path_separators);

// The whole run for a command line; prints its messages, returns the exit status.
int run(const std::vector<std::string>& args);
