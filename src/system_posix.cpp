// The System of POSIX systems (Linux first): each call is the system's own,
// its errno turned into an Err.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "system.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __linux__
#include <sys/xattr.h>
#endif

static_assert(sizeof(off_t) >= 8, "game files of 2 GiB and more need 64-bit file offsets");

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it, and faults serve
#endif

Err err_of(int e) {
  switch (e) {
    case ENOENT: case ENOTDIR: return Err::not_found;
    case EEXIST: return Err::exists;
    case EWOULDBLOCK: return Err::busy;
    case ENOSPC: case EFBIG: case EDQUOT: return Err::no_space;
    case EACCES: case EPERM: case EROFS: return Err::denied;
    case EINTR: return Err::interrupted;
    case ENOLCK: case EOPNOTSUPP: case EINVAL: case ENOSYS: return Err::unsupported;
    default: return Err::io;
  }
}

unsigned clamp_int(std::size_t n) { return static_cast<unsigned>(n < INT_MAX ? n : INT_MAX); }

// The signals whose default ends the process, sent by others or by a fault:
// each first removes the temporary files.
bool ends_process(int sig) {
  switch (sig) {
    case SIGKILL: case SIGSTOP: case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:
    case SIGTSTP: case SIGTTIN: case SIGTTOU: return false;
    default: return true;
  }
}

SignalCleanup signal_cleanup = nullptr;

extern "C" void on_signal(int sig) {
  const int saved = errno;
  if (signal_cleanup) signal_cleanup();
  std::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered once the handler returns: the usual status
  errno = saved;
}

#ifdef __linux__
constexpr char acl_access[] = "system.posix_acl_access";
constexpr char acl_default[] = "system.posix_acl_default";

// An extended attribute whatever its size; false where it cannot be read,
// true with an empty value where there is none.
bool get_attribute(const std::string& path, const char* name, std::string& out) {
  out.clear();
  for (;;) {
    const auto size = ::lgetxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return errno == ENODATA || errno == ENOTSUP;
    out.resize(static_cast<std::size_t>(size));
    const auto got = ::lgetxattr(path.c_str(), name, out.data(), out.size());
    if (got >= 0) return out.resize(static_cast<std::size_t>(got)), true;
    if (errno != ERANGE) return false;  // grown meanwhile: ask again
  }
}

// The access ACL that a new file made with mode 0666 gets from its folder's
// default ACL: the entries of the owner, the mask (or the group without
// one) and others lose what 0666 lacks. Entries: a 4-byte header, then
// { tag, permissions (16 bits each), id (32 bits) }, little-endian.
unsigned acl_for_new_file(std::string& acl) {
  unsigned owner = 6, group = 6, other = 6, mask = 8;
  for (std::size_t at = 4; at + 8 <= acl.size(); at += 8) {
    const unsigned tag = static_cast<unsigned char>(acl[at]) | static_cast<unsigned char>(acl[at + 1]) << 8;
    unsigned perm = static_cast<unsigned char>(acl[at + 2]);
    if (tag == 0x01 || tag == 0x10 || tag == 0x20) perm &= 6;
    if (tag == 0x01) owner = perm;
    if (tag == 0x04) group = perm;
    if (tag == 0x10) mask = perm;
    if (tag == 0x20) other = perm;
    acl[at + 2] = static_cast<char>(perm);
  }
  if (mask == 8) {  // no mask: the group's entry is the group class
    for (std::size_t at = 4; at + 8 <= acl.size(); at += 8)
      if (acl[at] == 0x04) acl[at + 2] = static_cast<char>(group &= 6);
  } else {
    group = mask;
  }
  return owner << 6 | group << 3 | other;
}
#endif

struct PosixSystem final : System {
  mode_t umask_bits = 022;
  int held = 0;
  sigset_t before_hold;

  bool fail() {
    error = err_of(errno);
    return false;
  }
  Handle failed() { return fail(), -1; }

  Handle open_read(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? failed() : fd;
  }
  long read(Handle file, char* buf, std::size_t n) override {
    const auto got = ::read(static_cast<int>(file), buf, clamp_int(n));
    return got < 0 ? (fail(), -1) : static_cast<long>(got);
  }
  long read_at(Handle file, char* buf, std::size_t n, std::uint64_t offset) override {
    const auto got = ::pread(static_cast<int>(file), buf, clamp_int(n), static_cast<off_t>(offset));
    return got < 0 ? (fail(), -1) : static_cast<long>(got);
  }
  bool state(Handle file, FileState& out) override {
    struct stat info;
    if (::fstat(static_cast<int>(file), &info) != 0) return fail();
    out = {S_ISREG(info.st_mode), static_cast<std::uint64_t>(info.st_size),
           std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
           std::int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
    return true;
  }
  void close(Handle file) override { ::close(static_cast<int>(file)); }

  Handle create_new(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd < 0 ? failed() : fd;
  }
  long write(Handle file, const char* data, std::size_t n) override {
    const auto done = ::write(static_cast<int>(file), data, clamp_int(n));
    return done < 0 ? (fail(), -1) : static_cast<long>(done);
  }
  void start_flush(Handle file) override {
#ifdef __linux__
    ::sync_file_range(static_cast<int>(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
#endif
  }
  bool flush(Handle file) override {
    if (::fdatasync(static_cast<int>(file)) == 0) return true;
    return errno == EINVAL ? true : fail();  // a file system that keeps nothing on a disk
  }
  bool close_written(Handle file) override {
    return ::close(static_cast<int>(file)) == 0 ? true : fail();
  }
  bool attributes(const std::string& path, Attributes& out) override {
    out = {};
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT ? true : fail();
    if (!S_ISREG(info.st_mode)) return true;
    out.regular = true;
    out.mode = info.st_mode & 0777;
    out.group = info.st_gid == ::getegid() ? -1 : static_cast<long>(info.st_gid);
#ifdef __linux__
    if (!get_attribute(path, acl_access, out.acl)) return fail();
#endif
    return true;
  }
  bool new_file_attributes(const std::string& folder, Attributes& out) override {
    out = {};
    out.mode = 0666 & ~umask_bits;
#ifdef __linux__
    if (!get_attribute(folder, acl_default, out.acl)) return fail();
    if (!out.acl.empty()) out.mode = acl_for_new_file(out.acl);
#else
    (void)folder;
#endif
    return true;
  }
  bool set_group(Handle file, long group) override {
    return ::fchown(static_cast<int>(file), static_cast<uid_t>(-1), static_cast<gid_t>(group)) == 0
               ? true : fail();
  }
  bool set_mode(Handle file, unsigned mode) override {
    return ::fchmod(static_cast<int>(file), mode) == 0 ? true : fail();
  }
  bool set_acl(Handle file, const std::string& acl) override {
#ifdef __linux__
    return ::fsetxattr(static_cast<int>(file), acl_access, acl.data(), acl.size(), 0) == 0
               ? true : fail();
#else
    (void)file, (void)acl;
    return true;
#endif
  }
  bool rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0 ? true : fail();
  }
  bool link(const std::string& from, const std::string& to) override {
    return ::link(from.c_str(), to.c_str()) == 0 ? true : fail();
  }
  bool remove(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? true : fail();
  }
  bool same_file(const std::string& a, const std::string& b) override {
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return fail();
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  bool replaceable(const std::string&) override { return true; }
  std::vector<std::string> names_in(const std::string& folder) override {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return fail(), names;
    while (const dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);  // may throw
    return names;
  }
  bool modified_seconds(const std::string& path, std::int64_t& out) override {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return fail();
    out = info.st_mtim.tv_sec;
    return true;
  }

  Handle try_lock_folder(const std::string& folder) override {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failed();
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    fail();
    ::close(fd);
    return -1;
  }
  void unlock_folder(Handle lock) override { ::close(static_cast<int>(lock)); }

  void on_signals(SignalCleanup cleanup) override {
    signal_cleanup = cleanup;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigfillset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
      struct sigaction old {};
      // A signal the caller ignores (nohup) stays ignored, and a handler of
      // the sanitizers' stays theirs.
      if (ends_process(sig) && ::sigaction(sig, nullptr, &old) == 0 &&
          !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL)
        ::sigaction(sig, &action, nullptr);
    }
  }
  void hold_signals() override {
    if (held++ > 0) return;
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before_hold);
  }
  void release_signals() override {
    if (--held == 0) ::sigprocmask(SIG_SETMASK, &before_hold, nullptr);
  }

  void* map(std::size_t bytes, bool huge) override {
    if (!huge) {
      void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      return at == MAP_FAILED ? (fail(), nullptr) : at;
    }
    // One huge page's worth, aligned to one: twice that mapped, the rest given back.
    const std::size_t size = (bytes + huge_page - 1) & ~(huge_page - 1);
    void* whole = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (whole == MAP_FAILED) return fail(), nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(whole);
    const auto at = (start + huge_page - 1) & ~(huge_page - 1);
    if (at > start) ::munmap(whole, at - start);
    if (at + size < start + size + huge_page)
      ::munmap(reinterpret_cast<void*>(at + size), start + huge_page - at);
#ifdef __linux__
    ::madvise(reinterpret_cast<void*>(at), size, MADV_HUGEPAGE);
    ::madvise(reinterpret_cast<void*>(at), size, MADV_POPULATE_WRITE);
#endif
    return reinterpret_cast<void*>(at);
  }
  void unmap(void* at, std::size_t bytes) override { ::munmap(at, bytes); }
  bool huge_pages() override {
    char mode[64] = {};
    const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const auto got = ::read(fd, mode, sizeof mode - 1);
    ::close(fd);
    return got > 0 && (std::strstr(mode, "[always]") || std::strstr(mode, "[madvise]"));
  }

  int processors() override {
#ifdef __linux__
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return CPU_COUNT(&set);
#else
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
#endif
  }
  std::function<void()> start_thread(std::function<void()> task) override;

  bool out(std::string_view text) override {
    while (!text.empty()) {
      const auto done = ::write(1, text.data(), clamp_int(text.size()));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return fail();
      text.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
  }
  void err(std::string_view text) override {
    while (!text.empty()) {
      const auto done = ::write(2, text.data(), clamp_int(text.size()));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return;
      text.remove_prefix(static_cast<std::size_t>(done));
    }
  }
  bool own_console() override { return false; }
  void wait_for_key() override {}

  std::int64_t now_ms() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  void sleep_ms(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  std::int64_t wall_seconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
  }
  std::uint64_t random() override {
    try {
      std::random_device device;
      return (std::uint64_t(device()) << 32) ^ device();
    } catch (const std::exception&) {  // no entropy source: time and place still differ
      return static_cast<std::uint64_t>(now_ms()) * 1000003u ^ static_cast<std::uint64_t>(::getpid());
    }
  }
};

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

std::function<void()> start_placed(std::function<void()>& task) {
  static std::atomic<unsigned> started{0};
  cpu_set_t usable;
  const int here = ::sched_getcpu();
  if (here < 0 || ::sched_getaffinity(0, sizeof usable, &usable) != 0) return nullptr;
  std::vector<int> others;  // where threads start, in turn
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (cpu != here && CPU_ISSET(cpu, &usable)) others.push_back(cpu);
  if (others.empty()) return nullptr;
  cpu_set_t start;
  CPU_ZERO(&start);
  CPU_SET(others[started++ % others.size()], &start);
  auto placed = std::make_unique<Placed>(Placed{task, usable});
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return nullptr;
  pthread_t thread;
  const bool made = ::pthread_attr_setaffinity_np(&attr, sizeof start, &start) == 0 &&
                    ::pthread_create(&thread, &attr, run_placed, placed.get()) == 0;
  ::pthread_attr_destroy(&attr);
  if (!made) return nullptr;
  placed.release();  // run_placed owns it now
  return [thread] { ::pthread_join(thread, nullptr); };
}
#endif

std::function<void()> PosixSystem::start_thread(std::function<void()> task) {
#ifdef __linux__
  if (auto wait = start_placed(task)) return wait;
#endif
  if (auto wait = start_std_thread(std::move(task))) return wait;
  error = Err::io;
  return nullptr;
}

}  // namespace

System& native_system() {
  static PosixSystem* system = [] {
#ifdef __GLIBC__
    // Fewer fresh pages, each a fault (15 to 20 us on a virtual machine):
    // large blocks from the heap (not mmap), one heap for all threads and
    // nothing given back early, so that the reports reuse the pages that the
    // chunks' stores and buffers touched and freed.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
    ::mallopt(M_ARENA_MAX, 1);
#endif
    static PosixSystem posix;
    // A write past the file-size limit then fails instead of ending the run.
    std::signal(SIGXFSZ, SIG_IGN);
    posix.umask_bits = ::umask(0);
    ::umask(posix.umask_bits);
    return &posix;
  }();
  return *system;
}

std::vector<std::string> command_line(int argc, char* argv[]) {
  return std::vector<std::string>(argv, argv + argc);
}
