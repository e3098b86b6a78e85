// The game file: opening it and reading it, in chunks on threads where it
// is large.
#pragma once

#include <memory_resource>
#include <string>

#include "chunks.h"
#include "diagnosis.h"
#include "store.h"
#include "system.h"

// Reads the game file at path into the store. Throws Failure "PATH: not
// found" when it cannot be opened or read, "PATH: changed while read" when
// it was saved anew during two reads, and what read_games throws. Buffers
// come from mem.
void read_game_file(System& sys, Store& st, const std::string& path,
                    std::pmr::memory_resource* mem = std::pmr::get_default_resource());

// Reads the game file at path once more, plainly, into st (empty), to say
// where it makes the run fail. Throws Failure where it cannot be read.
Diagnosis diagnose_game_file(System& sys, Store& st, const std::string& path);

// The first n bytes of the game file at path, or fewer; "" where it cannot
// be read.
std::string first_bytes(System& sys, const std::string& path, std::size_t n);

// Starts tasks on threads of their own through sys, for read_in_chunks;
// where no thread can be had, a task runs when waited for.
Launch thread_launcher(System& sys);
