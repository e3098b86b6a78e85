// The report files: replacing both reports as one step, with temporary
// files, a folder lock, the signals held off and their modes kept.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Sets the process up once for replacing reports: ignores SIGXFSZ (a write
// past the file-size limit then fails) and notes the umask for new reports.
void prepare_report_files();

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
