#include "reportfiles.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>

#include "names.h"
#include "signals.h"
#include "store.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/xattr.h>
#endif

namespace {

#ifndef _WIN32
mode_t process_umask = 022;
#endif

// Calls attempt until it succeeds. On Windows a file that another program
// holds open (an editor, a virus scanner, an indexer) fails with a sharing
// or access violation for a moment: try again for about two seconds.
template <class Attempt>
bool with_retries(Attempt attempt) {
#ifdef _WIN32
  for (int tries = 0; tries < 40; ++tries) {
    if (attempt()) return true;
    const DWORD error = ::GetLastError();
    if (errno != EACCES && error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
#else
  return attempt();
#endif
}

bool rename_over(const NativePath& from, const NativePath& to) {
#ifdef _WIN32
  return with_retries([&] {
    errno = 0;
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  });
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Whether the file at path may be replaced now. On Windows a file that
// another program holds open without delete sharing (a spreadsheet, say)
// may not, and is tried again for about two seconds; asked of every report
// before the first is replaced, so that a held one leaves both old ones.
bool replaceable(const NativePath& path) {
#ifdef _WIN32
  return with_retries([&] {
    errno = 0;
    const HANDLE file = ::CreateFileW(
        path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    ::CloseHandle(file);
    return true;
  });
#else
  (void)path;
  return true;
#endif
}

// Creates a new file for writing, owner-only, failing with EEXIST where a
// file of that name exists. On Windows it may be deleted while open, so that
// the console handler can remove it.
int create_exclusive(const NativePath& path) {
#ifdef _WIN32
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST
            : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES
                                                                                : ENOENT;
    return -1;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) ::CloseHandle(file);
  return fd;
#else
  return open_native(path, O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0600);
#endif
}

// Eight letters and digits no other run can guess.
std::string random_letters() {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t bits;
  try {
    std::random_device device;
    bits = (std::uint64_t(device()) << 32) ^ device();
  } catch (const std::exception&) {  // no entropy source: time and place still differ
    bits = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(&bits);
  }
  std::string letters(8, 'a');
  for (char& c : letters) {
    c = alphabet[bits % 36];
    bits /= 36;
  }
  return letters;
}

// A lock on a folder that every run replacing reports there takes, held
// until destroyed or the process ends, and leaving no file behind. It is
// tried without blocking until patience runs out, saying once that it
// waits: a run that holds it takes milliseconds, and one that never lets go
// (or a reader of the folder that locks it) must not hang this one. held is
// false then; where the system gives no lock for the folder, runs go on
// without one.
struct FolderLock {
  bool held = true;
#ifdef _WIN32
  HANDLE mutex = nullptr;
  FolderLock(const std::string& folder, const std::string& report,
             std::chrono::milliseconds patience) {
    // A named mutex for the folder's final path: the system releases it with
    // the process that holds it.
    const HANDLE dir = ::CreateFileW(native(folder).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return;
    wchar_t final_path[32768];
    const DWORD n = ::GetFinalPathNameByHandleW(dir, final_path, 32768, 0);
    ::CloseHandle(dir);
    if (n == 0 || n >= 32768) return;
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a of the upper-case path
    ::CharUpperBuffW(final_path, n);
    for (DWORD i = 0; i < n; ++i) hash = (hash ^ final_path[i]) * 1099511628211u;
    std::wstring name = L"Global\\table5-";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[hash >> shift & 15];
    mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) return;
    DWORD got = ::WaitForSingleObject(mutex, 0);
    if (got == WAIT_TIMEOUT) {
      say_waiting(report);
      got = ::WaitForSingleObject(mutex, static_cast<DWORD>(patience.count()));
    }
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) return;
    held = got != WAIT_TIMEOUT;
    ::CloseHandle(mutex);
    mutex = nullptr;
  }
  ~FolderLock() {
    if (!mutex) return;
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
  }
#else
  int fd;
  FolderLock(const std::string& folder, const std::string& report,
             std::chrono::milliseconds patience)
      : fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (bool said = false; ::flock(fd, LOCK_EX | LOCK_NB) != 0;) {
      if (errno != EWOULDBLOCK && errno != EINTR) return;  // no lock here (NFS, say)
      if (std::chrono::steady_clock::now() >= deadline) {
        held = false;
        return;
      }
      if (!said) say_waiting(report);
      said = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ~FolderLock() {
    if (fd >= 0) ::close(fd);
  }
#endif
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  static void say_waiting(const std::string& report) {
    std::printf("%s: waiting for another run\n", report.c_str());
    std::fflush(stdout);
  }
};

#ifdef __linux__
constexpr char acl_name[] = "system.posix_acl_access";
#endif

// Writes a file's data through to the disk.
bool flush_to_disk(int fd) {
#ifdef _WIN32
  return ::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) != 0;
#else
  while (::fdatasync(fd) != 0)
    if (errno != EINTR) return errno == EINVAL;  // a file system that keeps nothing on a disk
  return true;
#endif
}

// One file being replaced: its temporary file while that exists.
struct Temp {
  NativePath path;
  int fd = -1;
  std::size_t slot = 0;  // its place among the noted temporary files
  bool live = false;

  // Creates the temporary file beside target, under a short name of its own,
  // exclusively; owner-only until its content is complete.
  bool create(const std::string& target, std::size_t at) {
    slot = at;
    const std::string prefix = folder_prefix(target) + "table5-";
    for (int tries = 0; tries < 100; ++tries) {
      NativePath name = native(prefix + random_letters() + ".tmp");
      bool exists = false;
      const bool made = with_retries([&] {
        const HoldSignals hold;
        fd = create_exclusive(name);
        exists = fd < 0 && errno == EEXIST;
        if (fd < 0) return false;
        path = std::move(name);
        note_temp(slot, path.c_str());
        live = true;
        return true;
      });
      if (made) return true;
      if (!exists) return false;
    }
    return false;
  }

  // Writes text and gives the file the mode target has, or a new file's.
  bool fill(std::string_view text, const std::string& target, WriteFn write_fn) {
#ifdef _WIN32
    std::string crlf;  // reports are text files: Windows line ends there
    crlf.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    text = crlf;
#endif
    const char* data = text.data();
    std::size_t n = text.size();
    while (n > 0) {
      const long done = write_fn(fd, data, n);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      data += done;
      n -= static_cast<std::size_t>(done);
    }
#ifndef _WIN32
    struct stat old;
    const bool kept = ::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    // The report's group where the runner may give it (a shared folder's);
    // else the runner's.
    if (kept && old.st_gid != ::getegid())
      static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0);
    // Permission bits only: no setuid or setgid bit on a file the runner now
    // owns. A file system without modes (FAT) refuses: it stays owner-only.
    (void)::fchmod(fd, kept ? old.st_mode & 0777 : 0666 & ~process_umask);
#ifdef __linux__
    char acl[4096];  // an access control list, where the old report has one
    const auto acl_size = kept ? ::lgetxattr(target.c_str(), acl_name, acl, sizeof acl) : -1;
    if (acl_size > 0) (void)::fsetxattr(fd, acl_name, acl, static_cast<std::size_t>(acl_size), 0);
#endif
#else
    (void)target;
#endif
#ifdef __linux__
    // The disk may start on it while the next report is written.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return true;
  }

  // Puts the file on the disk and closes it. Before it replaces anything:
  // else a power cut soon after may leave an empty report where the old one
  // was. Done for all files after all are written, so that one commit of
  // the file system's journal may serve them all.
  bool settle() {
    if (!flush_to_disk(fd)) return false;
    const bool closed = ::close(fd) == 0;
    fd = -1;
    return closed;
  }

  // Once renamed over its target, the file is no longer temporary.
  void renamed() {
    note_temp(slot, nullptr);
    live = false;
  }

  ~Temp() {
    if (fd >= 0) ::close(fd);
    if (!live) return;
    const HoldSignals hold;
    remove_native(path.c_str());
    note_temp(slot, nullptr);
  }
};

}  // namespace

void prepare_report_files() {
#ifndef _WIN32
  std::signal(SIGXFSZ, SIG_IGN);
  process_umask = ::umask(0);
  ::umask(process_umask);
#endif
}

long write_fd(int fd, const char* data, std::size_t n) {
  return static_cast<long>(::write(fd, data, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX)));
}

std::size_t replace_files(const std::vector<Replacement>& files, WriteFn write_fn,
                          std::chrono::milliseconds patience) {
  if (files.empty()) return 0;
  if (files.size() > max_temps) throw std::length_error("replace_files: too many files");
#ifdef _WIN32
  for (const Replacement& file : files)
    if (is_device_name(file.path.substr(folder_prefix(file.path).size())))
      throw Failure(file.path + ": reserved device name");
#endif
  const FolderLock lock(folder_prefix(files[0].path) + ".", files[0].path, patience);
  if (!lock.held) throw Failure(files[0].path + ": locked by another run");
  Temp temps[max_temps];
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!temps[i].create(files[i].path, i) ||
        !temps[i].fill(files[i].text, files[i].path, write_fn))
      return i;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!temps[i].settle()) return i;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!replaceable(native(files[i].path))) return i;
  const HoldSignals hold;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!rename_over(temps[i].path, native(files[i].path))) return i;
    temps[i].renamed();
  }
  return files.size();
}

bool is_device_name(std::string_view name) {
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

bool replace_file(const std::string& path, std::string_view text, WriteFn write_fn) {
  return replace_files({{path, text}}, write_fn) == 1;
}
