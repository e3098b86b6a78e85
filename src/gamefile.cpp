#include "gamefile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include "input.h"
#include "names.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#ifndef _WIN32
static_assert(sizeof(off_t) >= 8, "game files of 2 GiB and more need 64-bit file offsets");
#endif

namespace {

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

}  // namespace

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
  const int chunks = opened.regular ? chunk_count(opened.size, usable_cpus()) : 1;
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

