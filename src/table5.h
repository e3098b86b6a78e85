// Run control: the command line, the run sequence and the report names.
#pragma once

#include <memory_resource>
#include <string>
#include <vector>

#include "paths.h"
#include "system.h"

struct ReportNames {
  std::string cross;      // the cross table, ending in "x.txt"
  std::string standings;  // the standings list, ending in "s.txt"
  std::string page;       // the web page, ending in ".html"
  std::string data;       // the data file, ending in ".json"
};

// The report names for a game file: its name cut at its first '.', the
// directory part kept as written.
ReportNames report_names(const std::string& path, const char* separators = path_separators);

// The whole run for a command line through sys; prints its messages and
// returns the exit status. Memory beyond the run's arena comes from upstream.
int run(const std::vector<std::string>& args, System& sys,
        std::pmr::memory_resource* upstream = std::pmr::new_delete_resource());
