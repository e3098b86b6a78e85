// The game file: opening it and reading it, in chunks on threads where it
// is large.
#pragma once

#include <string>

#include "chunks.h"
#include "store.h"

// Reads the game file at path into the store. Throws Failure "PATH: not
// found" when it cannot be opened or read, "PATH: changed while read" when
// it was saved anew during two reads, and what read_games throws.
void read_game_file(Store& st, const std::string& path);

// Starts tasks on threads of their own, for read_in_chunks: on Linux each
// first on a processor other than the caller's, in turn, then free to move;
// where no thread can be had, a task runs when waited for.
Launch spread_launcher();
