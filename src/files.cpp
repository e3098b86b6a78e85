#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <system_error>
#include <thread>

#include "chunks.h"
#include "input.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/xattr.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

// A path as the system takes it: UTF-16 on Windows, bytes elsewhere.
#ifdef _WIN32
using NativeChar = wchar_t;
std::wstring native(const std::string& path) {
  const std::u16string wide = utf16_of(path);
  return std::wstring(wide.begin(), wide.end());
}
#else
using NativeChar = char;
const std::string& native(const std::string& path) { return path; }
#endif
using NativePath = std::basic_string<NativeChar>;

int open_native(const NativePath& path, int flags, int mode = 0) {
#ifdef _WIN32
  return ::_wopen(path.c_str(), flags, mode);
#else
  return ::open(path.c_str(), flags, mode);
#endif
}

void remove_native(const NativeChar* path) {
#ifdef _WIN32
  ::DeleteFileW(path);
#else
  ::unlink(path);
#endif
}

// The temporary files that exist at this moment, for the signal handler:
// set and cleared only while the signals are held off.
constexpr std::size_t max_files = 2;
std::atomic<const NativeChar*> live_temps[max_files];

void remove_live_temps() {
  for (auto& temp : live_temps)
    if (const NativeChar* path = temp.load()) remove_native(path);
}

#ifdef _WIN32
// Windows runs the console handler on a thread of its own: the critical
// section keeps it out while a temporary file is created or renamed.
CRITICAL_SECTION signal_guard;

// The console's code page before the run: the console outlives it.
UINT console_code_page = 0;

// Ends the process at once: ExitProcess from this thread would run the C
// runtime's exit, which may wait for a lock that the stopped main thread
// holds (under Wine a run hung so, 1 in 150).
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  ::EnterCriticalSection(&signal_guard);
  remove_live_temps();
  ::SetConsoleOutputCP(console_code_page);
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

struct HoldSignals {
  HoldSignals() { ::EnterCriticalSection(&signal_guard); }
  ~HoldSignals() { ::LeaveCriticalSection(&signal_guard); }
};
#else
// The signals that others send and that end a process by default: each
// removes the temporary files first. Those of a fault in the program itself
// (SIGSEGV, SIGABRT and the like) are left to their default.
constexpr int termination_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE,
                                       SIGALRM, SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM,
#ifdef __linux__
                                       SIGPOLL, SIGPWR,
#endif
                                       SIGPROF};

sigset_t termination_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : termination_signals) sigaddset(&set, sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
#endif
  return set;
}

extern "C" void on_termination(int sig) {
  const int saved = errno;
  remove_live_temps();
  std::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered once the handler returns: the usual status
  errno = saved;
}

// Holds every signal that can be held off for its lifetime; one that comes
// meanwhile is acted on when it ends.
struct HoldSignals {
  sigset_t old;
  HoldSignals() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &old);
  }
  ~HoldSignals() { ::sigprocmask(SIG_SETMASK, &old, nullptr); }
};

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

// The folder part of a path with its last separator, "" when it has none.
std::string folder_prefix(const std::string& path) {
  const std::size_t end = path.find_last_of(path_separators);
  return end == std::string::npos ? "" : path.substr(0, end + 1);
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
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
  std::size_t slot = 0;  // its entry in live_temps
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
        live_temps[slot] = path.c_str();
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
    // On the disk before it replaces anything: else a power cut soon after
    // may leave an empty report where the old one was.
    if (!flush_to_disk(fd)) return false;
    const bool closed = ::close(fd) == 0;
    fd = -1;
    return closed;
  }

  // Once renamed over its target, the file is no longer temporary.
  void renamed() {
    live_temps[slot] = nullptr;
    live = false;
  }

  ~Temp() {
    if (fd >= 0) ::close(fd);
    if (!live) return;
    const HoldSignals hold;
    remove_native(path.c_str());
    live_temps[slot] = nullptr;
  }
};

// A game file as it stands at one moment: a file saved anew differs.
struct FileState {
  bool regular = false;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // in the finest unit the system keeps
  bool operator!=(const FileState& o) const {
    return regular != o.regular || size != o.size || modified != o.modified;
  }
};

FileState state_of(int fd) {
#ifdef _WIN32
  struct _stat64 info;
  FILETIME written{};
  if (::_fstat64(fd, &info) != 0 ||
      !::GetFileTime(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), nullptr, nullptr, &written))
    return {};
  return {(info.st_mode & _S_IFMT) == _S_IFREG, static_cast<std::uint64_t>(info.st_size),
          std::int64_t(written.dwHighDateTime) << 32 | written.dwLowDateTime};
#else
  struct stat info;
  if (::fstat(fd, &info) != 0) return {};
  return {S_ISREG(info.st_mode), static_cast<std::uint64_t>(info.st_size),
          std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
#endif
}

// One reading of a game file: its sources note an end of the file met
// where the file's size at opening does not put it.
struct Reading {
  const std::string& path;
  FileState opened;
  std::atomic<bool> changed{false};
  void ended_at(std::uint64_t offset) {
    if (opened.regular && offset != opened.size) changed = true;
  }
};

// A game file read in large blocks straight from its descriptor.
struct FileSource : ByteSource {
  int fd;
  Reading& reading;
  std::uint64_t offset = 0;
  FileSource(int f, Reading& r) : fd(f), reading(r) {}
  std::size_t read(char* buf, std::size_t n) override {
    for (;;) {
      const auto got = ::read(fd, buf, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX));
      if (got > 0) offset += static_cast<std::uint64_t>(got);
      if (got == 0) reading.ended_at(offset);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw Failure(reading.path + ": not found");  // a directory, say
    }
  }
};

// A game file read from an offset on by positional reads, which threads can
// make on one descriptor at once.
struct PositionalSource : ByteSource {
  int fd;
  std::uint64_t offset;
  Reading& reading;
  PositionalSource(int f, std::uint64_t at, Reading& r) : fd(f), offset(at), reading(r) {}
  std::size_t read(char* buf, std::size_t n) override {
    n = std::min<std::size_t>(n, INT_MAX);
    for (;;) {
#ifdef _WIN32
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
      if (::ReadFile(file, buf, static_cast<DWORD>(n), &got, &at) ||
          ::GetLastError() == ERROR_HANDLE_EOF) {
        offset += got;
        if (got == 0) reading.ended_at(offset);
        return got;
      }
      throw Failure(reading.path + ": not found");
#else
      const auto got = ::pread(fd, buf, n, static_cast<off_t>(offset));
      if (got >= 0) {
        offset += static_cast<std::uint64_t>(got);
        if (got == 0) reading.ended_at(offset);
        return static_cast<std::size_t>(got);
      }
      if (errno != EINTR) throw Failure(reading.path + ": not found");
#endif
    }
  }
};

// Bytes of a file per chunk at least, for reading it in parallel.
constexpr std::uint64_t chunk_bytes = std::uint64_t(2) << 20;

// The processors this process may run on.
int usable_cpus() {
#ifdef _WIN32
  DWORD_PTR process = 0, system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return 1;
  return __builtin_popcountll(process);
#elif defined(__linux__)
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
#else
  return std::max(1u, std::thread::hardware_concurrency());
#endif
}

// Starts a task on a thread of its own; where no thread can be had, the
// task runs when waited for.
std::function<void()> launch_thread(std::function<void()> task) {
  try {
    auto thread = std::make_shared<std::thread>(task);
    return [thread] { thread->join(); };
  } catch (const std::system_error&) {
    return task;
  }
}

#ifdef __linux__
// Linux starts a new thread on its creator's processor and moves it to an
// idle one only milliseconds later: on a 2-core virtual machine a third of
// the parallel reads took as long as one. So each thread is started on a
// processor other than this one's, in turn, and then may run anywhere.
struct Placed {
  std::function<void()> task;
  cpu_set_t usable;
};

// A task that throws ends the process, as on a std::thread.
void* run_placed(void* arg) noexcept {
  const std::unique_ptr<Placed> placed(static_cast<Placed*>(arg));
  ::sched_setaffinity(0, sizeof placed->usable, &placed->usable);
  placed->task();
  return nullptr;
}
#endif

// The store is 1.6 MB, and a league file touches nearly all of it. On Linux
// it goes in one 2 MB huge page where the kernel has one to give: one page
// to set up instead of 393, and one address translation for all the pair
// records the games touch. Its pages are asked for in one call.
constexpr std::size_t huge_page = std::size_t(2) << 20;
static_assert(sizeof(Store) <= huge_page, "the store fits one huge page");
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it, and faults serve
#endif

#ifdef __linux__
// A stretch of huge_page bytes aligned to a huge page and asked to be one,
// in a mapping of twice that (for the alignment), which it sets; nullptr
// when no memory can be had.
void* map_huge_page(void*& mapping) {
  mapping = ::mmap(nullptr, 2 * huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto at = (reinterpret_cast<std::uintptr_t>(mapping) + huge_page - 1) & ~(huge_page - 1);
  void* mem = reinterpret_cast<void*>(at);
  ::madvise(mem, huge_page, MADV_HUGEPAGE);
  return mem;
}
#endif

// The run's heap: see prepare_heap_page. Sanitizer builds keep their own
// allocator, which checks every block.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TABLE5_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TABLE5_SANITIZED 1
#endif
#if defined(__linux__) && !defined(TABLE5_SANITIZED)
#define TABLE5_HEAP_PAGE 1
std::uintptr_t heap_page = 0;  // set before any thread starts, if at all
std::atomic<std::size_t> heap_used{0};

void* from_heap_page(std::size_t n) {
  if (heap_page == 0 || n > huge_page) return nullptr;
  n = (n + 15) & ~std::size_t(15);  // the alignment new must give
  std::size_t used = heap_used.load(std::memory_order_relaxed);
  do
    if (n > huge_page - used) return nullptr;
  while (!heap_used.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
  return reinterpret_cast<void*>(heap_page + used);
}

bool on_heap_page(void* p) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  return heap_page != 0 && at >= heap_page && at < heap_page + huge_page;
}
#endif

}  // namespace

#ifdef TABLE5_HEAP_PAGE
// Not inlined: GCC would then take the free below for one of a block from new.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (void* p = from_heap_page(n)) return p;
  for (;;) {
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (!on_heap_page(p)) std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
#endif

bool prepare_heap_page() {
#ifdef TABLE5_HEAP_PAGE
  if (heap_page != 0) return true;
  // Only where the kernel gives huge pages on request: else the page would
  // be 4 KiB pages as fresh as malloc's, which malloc might have reused.
  char mode[64] = {};
  const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY);
  if (fd < 0) return false;
  const auto got = ::read(fd, mode, sizeof mode - 1);
  ::close(fd);
  if (got <= 0 || !(std::strstr(mode, "[always]") || std::strstr(mode, "[madvise]"))) return false;
  void* mapping = nullptr;
  heap_page = reinterpret_cast<std::uintptr_t>(map_huge_page(mapping));
  return heap_page != 0;
#else
  return false;
#endif
}

#ifdef __linux__
Launch spread_launcher() {
  cpu_set_t usable;
  const int here = ::sched_getcpu();
  if (here < 0 || ::sched_getaffinity(0, sizeof usable, &usable) != 0) return launch_thread;
  std::vector<int> others;  // where threads start, in turn
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (cpu != here && CPU_ISSET(cpu, &usable)) others.push_back(cpu);
  if (others.empty()) return launch_thread;
  auto started = std::make_shared<std::size_t>(0);
  return [usable, others, started](std::function<void()> task) -> std::function<void()> {
    cpu_set_t start;
    CPU_ZERO(&start);
    CPU_SET(others[(*started)++ % others.size()], &start);
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) return launch_thread(std::move(task));
    auto placed = std::make_unique<Placed>(Placed{task, usable});
    pthread_t thread;
    const bool made = ::pthread_attr_setaffinity_np(&attr, sizeof start, &start) == 0 &&
                      ::pthread_create(&thread, &attr, run_placed, placed.get()) == 0;
    ::pthread_attr_destroy(&attr);
    if (!made) return launch_thread(std::move(task));
    placed.release();  // run_placed owns it now
    return [thread] { ::pthread_join(thread, nullptr); };
  };
}
#else
Launch spread_launcher() { return launch_thread; }
#endif

void prepare_process() {
#ifdef _WIN32
  ::InitializeCriticalSection(&signal_guard);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
  // The console outlives the run: its code page is given back at exit.
  console_code_page = ::GetConsoleOutputCP();
  ::SetConsoleOutputCP(CP_UTF8);
  std::atexit([] { ::SetConsoleOutputCP(console_code_page); });
#else
#ifdef __GLIBC__
  // Where the heap page cannot serve, fewer fresh pages from malloc: large
  // blocks from the heap (not mmap), one heap for all threads and nothing
  // given back early, so that the reports reuse the pages that the chunks'
  // stores and buffers have touched and freed.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
  ::mallopt(M_ARENA_MAX, 1);
#endif
  prepare_heap_page();
  std::signal(SIGXFSZ, SIG_IGN);
  process_umask = ::umask(0);
  ::umask(process_umask);
  struct sigaction action {};
  action.sa_handler = on_termination;
  action.sa_mask = termination_set();
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old {};
    // A signal the caller ignores (nohup) stays ignored.
    if (sigismember(&action.sa_mask, sig) == 1 && ::sigaction(sig, nullptr, &old) == 0 &&
        old.sa_handler != SIG_IGN)
      ::sigaction(sig, &action, nullptr);
  }
#endif
}

std::vector<std::string> command_line(int argc, char* argv[]) {
#ifdef _WIN32
  (void)argc, (void)argv;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; wide && i < count; ++i) {
    const std::wstring arg = wide[i];
    args.push_back(utf8_of(std::u16string(arg.begin(), arg.end())));
  }
  ::LocalFree(wide);
  return args;
#else
  return std::vector<std::string>(argv, argv + argc);
#endif
}

std::string utf8_of(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string utf16_of(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(
                                               static_cast<unsigned char>(text[k])); };
    const std::uint32_t lead = byte(i);
    const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t c = n == 1 ? lead : lead & (0x7F >> n);
    bool whole = lead < 0x80 || (lead >= 0xC0 && lead < 0xF8 && i + n <= text.size());
    for (std::size_t k = 1; whole && k < n; ++k) {
      whole = (byte(i + k) & 0xC0) == 0x80;
      c = c << 6 | (byte(i + k) & 0x3F);
    }
    if (!whole) {  // not UTF-8: the byte stands for itself
      c = lead;
      i += 1;
    } else {
      i += n;
    }
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

void StoreFree::operator()(Store* st) const {
#ifdef __linux__
  st->~Store();
  ::munmap(mapping, 2 * huge_page);
#else
  delete st;
#endif
}

std::unique_ptr<Store, StoreFree> new_store() {
#ifdef __linux__
  void* mapping = nullptr;
  void* mem = map_huge_page(mapping);
  if (mem == nullptr) throw std::bad_alloc();
  ::madvise(mem, sizeof(Store), MADV_POPULATE_WRITE);
  return std::unique_ptr<Store, StoreFree>(new (mem) Store(), StoreFree{mapping});
#else
  return std::unique_ptr<Store, StoreFree>(new Store());
#endif
}

namespace {

// Reads the game file once into the store: false when it changed meanwhile
// (it ended elsewhere than its size said, or its size or time changed).
bool read_once(Store& st, const std::string& path) {
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  };
  const int fd = open_native(native(path), O_RDONLY | O_BINARY);
  if (fd < 0) throw Failure(path + ": not found");
  const Closer closer{fd};
  Reading reading{path, state_of(fd)};
  const FileState& opened = reading.opened;
  const int chunks = opened.regular ? static_cast<int>(std::min<std::uint64_t>(
                                          {static_cast<std::uint64_t>(usable_cpus()), 8,
                                           opened.size / chunk_bytes}))
                                    : 1;
  try {
    if (chunks < 2) {
      FileSource in(fd, reading);
      read_games(st, in);
    } else {
      const OpenAt open_at = [&](std::uint64_t offset) {
        return std::unique_ptr<ByteSource>(new PositionalSource(fd, offset, reading));
      };
      read_in_chunks(st, split_points(opened.size, chunks), open_at, spread_launcher());
    }
  } catch (const Failure&) {
    // A mix of two states may fail where neither would.
    if (opened.regular && state_of(fd) != opened) return false;
    throw;
  }
  return !(opened.regular && (reading.changed || state_of(fd) != opened));
}

}  // namespace

void read_game_file(Store& st, const std::string& path) {
  // A file saved anew while it is read (a tournament program writing the
  // next round, say) may give a mix of two states: it is read once more, and
  // a second change fails the run.
  if (read_once(st, path)) return;
  clear_store(st);
  if (!read_once(st, path)) throw Failure(path + ": changed while read");
}

long write_fd(int fd, const char* data, std::size_t n) {
  return static_cast<long>(::write(fd, data, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX)));
}

std::size_t replace_files(const std::vector<Replacement>& files, WriteFn write_fn,
                          std::chrono::milliseconds patience) {
  if (files.empty()) return 0;
  if (files.size() > max_files) throw std::length_error("replace_files: too many files");
#ifdef _WIN32
  for (const Replacement& file : files)
    if (is_device_name(file.path.substr(folder_prefix(file.path).size())))
      throw Failure(file.path + ": reserved device name");
#endif
  const FolderLock lock(folder_prefix(files[0].path) + ".", files[0].path, patience);
  if (!lock.held) throw Failure(files[0].path + ": locked by another run");
  Temp temps[max_files];
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!temps[i].create(files[i].path, i) ||
        !temps[i].fill(files[i].text, files[i].path, write_fn))
      return i;
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
