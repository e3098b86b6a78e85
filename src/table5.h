// Run control: the command line, the run sequence, report names and files.
#pragma once

#include <cstddef>
#include <string>

// Characters that end a directory part in a path on this platform.
#ifdef _WIN32
constexpr const char* path_separators = "/\\:";
#else
constexpr const char* path_separators = "/";
#endif

struct ReportNames {
  std::string cross;      // the cross table, ending in "x.txt"
  std::string standings;  // the standings list, ending in "s.txt"
};

// The report names for a game file: its name cut at its first '.', the
// directory part kept as written.
ReportNames report_names(const std::string& path, const char* separators = path_separators);

// Writes n bytes to a file descriptor: returns the count written or -1.
using WriteFn = long (*)(int fd, const char* data, std::size_t n);

// Replaces the file at path by content, atomically: the content goes to a
// temporary file beside it that is renamed over path only when complete.
// False when that failed; path is then untouched and no temporary file is left.
bool replace_file(const std::string& path, const std::string& content, WriteFn write_fn);
bool replace_file(const std::string& path, const std::string& content);

// The whole run for a command line; prints its messages, returns the exit status.
int run(int argc, char* argv[]);
