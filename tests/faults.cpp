#include "faults.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

namespace faults {
std::atomic<int> names_taken{0};
std::atomic<bool> close_fails{false};
std::atomic<bool> flush_fails{false};
std::atomic<ino_t> broken_file{0};
std::atomic<std::uint64_t> broken_at{0};
std::atomic<int> early_ends{0};
}  // namespace faults

template <class Function>
Function* next_definition(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

extern "C" int open(const char* path, int flags, ...) {
  static const auto next = next_definition<int(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  const int mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(args, int) : 0;
  va_end(args);
  if ((flags & O_EXCL) && faults::names_taken > 0) {
    --faults::names_taken;
    errno = EEXIST;
    return -1;
  }
  return next(path, flags, mode);
}

extern "C" int close(int fd) {
  static const auto next = next_definition<int(int)>("close");
  char path[4096] = {};
  const bool fails = faults::close_fails &&
                     readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, 4095) > 4 &&
                     std::string_view(path).substr(std::strlen(path) - 4) == ".tmp";
  const int result = next(fd);
  if (!fails) return result;
  errno = EIO;  // as NFS may say at close: the data never reached the disk
  return -1;
}

extern "C" int fdatasync(int fd) {
  static const auto next = next_definition<int(int)>("fdatasync");
  if (!faults::flush_fails) return next(fd);
  errno = EIO;
  return -1;
}

// Whether a read of n bytes at offset at fails; else n is cut short of the
// broken byte, as a disk gives what it could read before it, or to nothing
// where the file seems to end.
bool read_fails(int fd, std::uint64_t at, std::size_t& n) {
  struct stat info;
  if (faults::broken_file == 0 || fstat(fd, &info) != 0 || info.st_ino != faults::broken_file)
    return false;
  if (at >= faults::broken_at && faults::early_ends > 0) {
    if (--faults::early_ends == 0) faults::broken_file = 0;
    n = 0;
    return false;
  }
  if (at >= faults::broken_at) return errno = EIO, true;
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, faults::broken_at - at));
  return false;
}

void break_reads(ino_t file, std::uint64_t at, int ends) {
  faults::broken_at = at;
  faults::early_ends = ends;
  faults::broken_file = file;
}

extern "C" ssize_t read(int fd, void* buf, std::size_t n) {
  static const auto next = next_definition<ssize_t(int, void*, std::size_t)>("read");
  if (faults::broken_file != 0 && read_fails(fd, lseek(fd, 0, SEEK_CUR), n)) return -1;
  return next(fd, buf, n);
}

extern "C" ssize_t pread(int fd, void* buf, std::size_t n, off_t at) {
  static const auto next = next_definition<ssize_t(int, void*, std::size_t, off_t)>("pread");
  if (read_fails(fd, static_cast<std::uint64_t>(at), n)) return -1;
  return next(fd, buf, n, at);
}

