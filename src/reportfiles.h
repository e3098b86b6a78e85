// The report files: replacing a set of files as one step, with temporary
// files, a folder lock, the signals held off and their attributes kept.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "system.h"

// A file to replace and its new content. A text report gets Windows line
// ends on Windows; a file with a mark (a page, a data file) is the same bytes
// everywhere, and replaces only a file that holds the mark in its first
// 4 KiB (one of this tool's) and is not the file at keep (the game file).
struct Replacement {
  std::string path;
  std::string_view text;
  std::string_view mark = {};
  std::string keep = {};
};

// Replaces the files, all in one folder, as one step as far as other runs
// and signals can see: each text goes to a new temporary file beside its
// file, and only when all are written and on the disk are they renamed over
// their files, under a lock on the folder and with the signals held off. A
// file that cannot take its name puts the ones renamed before it back, so
// that all are old or all new. While another run holds the lock it says
// "PATH: waiting for another run" once, and after patience_ms throws
// Failure "PATH: locked by another run", PATH being the first file's; where
// the lock cannot be taken it throws "PATH: cannot lock its folder". Under
// the lock, a file with a mark that would replace the file at keep throws
// "PATH: is the game file", one that would replace a file without the mark
// "PATH: not written by table5", and one that cannot read what stands there
// "PATH: cannot write". A
// replaced file keeps its mode bits, group and ACL; a new one gets what a
// new file in the folder gets; a link in its place is replaced, not
// followed. Returns the index of the first file that could not be written
// or renamed (nothing replaced then), files.size() when all were. No
// temporary file is left in any case, and one that a killed run left in
// the folder long ago is removed.
std::size_t replace_files(System& sys, const std::vector<Replacement>& files,
                          int patience_ms = 10000);

// Whether Windows keeps a file name for a device: CON, PRN, AUX, NUL, COM1
// to COM9 and LPT1 to LPT9, in any case and with any extension (aux.txt).
// On Windows replace_files throws Failure "PATH: reserved device name" for one.
bool is_device_name(std::string_view name);
