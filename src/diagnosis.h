// Where the game file makes a run fail, for a person: the line and what is
// wrong there in a director's terms. Found only after a failure, by reading
// the file once more line by line by the reader's rules at their plainest,
// so that the fast reader pays nothing for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "input.h"
#include "store.h"

struct Diagnosis {
  std::uint64_t line = 0;  // from 1; 0 where the file makes no run fail
  std::string what;        // what is wrong there, players' names quoted
  std::string failure;     // the failure's own message, as the run prints it
  // By player number, the line where the player's name first stands (the
  // first entry is for no player).
  std::vector<std::uint64_t> first_line = {0};
};

// Reads the source into st (empty) line by line and says where the first
// failure comes, or that none does, and where each player's name first stands.
Diagnosis diagnose(Store& st, ByteSource& in);

// Whether the start of a file looks like UTF-16: its byte order mark, or a
// zero byte beside every other byte of its first line.
bool looks_like_utf16(std::string_view start);

// A name as the file spells it, in double quotes, with every control
// character shown as \xHH, never raw to a terminal.
std::string quoted(std::string_view name);
