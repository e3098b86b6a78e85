// Everything that touches the operating system: the command line, the game
// file and the threads that read it, the store's memory and the heap, and
// the report files with their lock, their temporary files and the signals
// that must not leave one behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chunks.h"
#include "store.h"

// Characters that end a directory part in a path on this platform.
#ifdef _WIN32
constexpr const char* path_separators = "/\\:";
#else
constexpr const char* path_separators = "/";
#endif

// Sets the process up once, before anything else: ignores SIGXFSZ (a write
// past the file-size limit then fails), and makes SIGINT, SIGTERM, SIGHUP
// (on Windows Ctrl-C, Ctrl-Break, closing the console) remove the temporary
// report files before the process ends as the signal would end it. On
// Windows the console prints UTF-8; on Linux the heap gets a huge page
// (prepare_heap_page).
void prepare_process();

// Carves the process's C++ allocations (new and delete) from one
// transparent huge page from here on, on Linux where the kernel gives such
// pages; those that do not fit go to malloc. A run allocates about a
// megabyte, freeing little before it ends, and each fresh 4 KiB page costs a
// fault, dear on a virtual machine (15 to 20 us on this project's, over 200
// on a league): one huge page is faulted in once. Blocks freed there are
// not reused, so it is for one run. Call it before any thread starts; false
// where it cannot serve. prepare_process calls it.
bool prepare_heap_page();

// The command line as UTF-8: on Windows read as UTF-16 from the system, so
// that no character of a file name is lost to a code page.
std::vector<std::string> command_line(int argc, char* argv[]);

// UTF-16 to UTF-8 and back; a lone surrogate, which Windows allows in file
// names, is carried through as the three bytes UTF-8 would give it, so that
// every name comes back as it was.
std::string utf8_of(std::u16string_view text);
std::u16string utf16_of(std::string_view text);

// Releases the store's memory.
struct StoreFree {
  void* mapping = nullptr;  // Linux: the mapping that holds the store
  void operator()(Store* st) const;
};

// A new, zeroed store. Throws std::bad_alloc.
std::unique_ptr<Store, StoreFree> new_store();

// Reads the game file at path into the store. Throws Failure "PATH: not
// found" when it cannot be opened or read, and what read_games throws.
void read_game_file(Store& st, const std::string& path);

// Starts tasks on threads of their own, for read_in_chunks: on Linux each
// first on a processor other than the caller's, in turn, then free to move;
// where no thread can be had, a task runs when waited for.
Launch spread_launcher();

// Writes n bytes to a file descriptor: returns the count written or -1.
using WriteFn = long (*)(int fd, const char* data, std::size_t n);
long write_fd(int fd, const char* data, std::size_t n);

// A file to replace and its new content.
struct Replacement {
  std::string path;
  std::string_view text;
};

// Replaces the files in order, as one step as far as other runs and the
// termination signals can see: each text goes to a new temporary file beside
// its file, and only when all are written are they renamed over their files,
// under a lock on the first file's folder and with the signals held off.
// While another run holds the lock it says "PATH: waiting for another run"
// once, and after patience it throws Failure "PATH: locked by another run",
// PATH being the first file's. A
// replaced file keeps its mode bits; a link in its place is replaced, not
// followed. Returns the index of the first file that could not be written or
// renamed, files.size() when all were replaced: a failed write replaces
// nothing, a failed rename leaves the files before it replaced. No temporary
// file is left in any case. At most two files.
std::size_t replace_files(const std::vector<Replacement>& files, WriteFn write_fn = write_fd,
                          std::chrono::milliseconds patience = std::chrono::seconds(10));

// Whether Windows keeps a file name for a device: CON, PRN, AUX, NUL, COM1
// to COM9 and LPT1 to LPT9, in any case and with any extension (aux.txt).
// On Windows replace_files throws Failure "PATH: reserved device name" for one.
bool is_device_name(std::string_view name);

// replace_files for one file: true when it was replaced.
bool replace_file(const std::string& path, std::string_view text, WriteFn write_fn = write_fd);
