#include "table5.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

#include "input.h"
#include "ranking.h"
#include "reports.h"
#include "store.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

const char usage[] = "usage: table5 GAMEFILE\n";

const char help[] =
    "Reads the White, Black and Result tags of a chess game file, ranks the\n"
    "players by score percentage, Buchholz and Sonneborn-Berger, and writes two\n"
    "reports beside the game file: a cross table (GAMEx.txt for GAME.pgn) and a\n"
    "standings list (GAMEs.txt). At most 19 players and 998 games per pair.\n"
    "Ranking: the larger points / (games + 0.01) first, compared exactly, so at\n"
    "equal percentage more games rank higher; then the larger Buchholz, then\n"
    "the larger Sonneborn-Berger. Players without games rank last.\n"
    "Exit status: 0 done, 1 failed (the message says why), 2 no game file given.\n";

// A game file read in large blocks straight from its descriptor.
struct FileSource : ByteSource {
  int fd;
  const std::string& path;
  FileSource(int f, const std::string& p) : fd(f), path(p) {}
  std::size_t read(char* buf, std::size_t n) override {
    for (;;) {
      const auto got = ::read(fd, buf, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX));
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw Failure(path + ": not found");  // a directory, say
    }
  }
};

// The store is 1.6 MB, and a league file touches nearly all of it. On Linux
// it goes in one 2 MB huge page where the kernel has one to give: one page
// to set up instead of 393, and one address translation for all the pair
// records the games touch. Its pages are asked for in one call.
constexpr std::size_t huge_page = std::size_t(2) << 20;
static_assert(sizeof(Store) <= huge_page, "the store fits one huge page");
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it, and faults serve
#endif

struct StoreFree {
  void* mapping = nullptr;  // Linux: the mapping that holds the store
  void operator()(Store* st) const {
#ifdef __linux__
    st->~Store();
    ::munmap(mapping, 2 * huge_page);
#else
    delete st;
#endif
  }
};

std::unique_ptr<Store, StoreFree> new_store() {
#ifdef __linux__
  void* mapping = ::mmap(nullptr, 2 * huge_page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  const auto at = (reinterpret_cast<std::uintptr_t>(mapping) + huge_page - 1) & ~(huge_page - 1);
  void* mem = reinterpret_cast<void*>(at);
  ::madvise(mem, huge_page, MADV_HUGEPAGE);
  ::madvise(mem, sizeof(Store), MADV_POPULATE_WRITE);
  return std::unique_ptr<Store, StoreFree>(new (mem) Store(), StoreFree{mapping});
#else
  return std::unique_ptr<Store, StoreFree>(new Store());
#endif
}

void read_file(Store& st, const std::string& path) {
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_BINARY);
  if (fd < 0) throw Failure(path + ": not found");
  const Closer closer{fd};
  FileSource in(fd, path);
  read_games(st, in);
}

long write_fd(int fd, const char* data, std::size_t n) {
  return static_cast<long>(::write(fd, data, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX)));
}

bool write_all(int fd, const char* data, std::size_t n, WriteFn write_fn) {
  while (n > 0) {
    const long done = write_fn(fd, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

bool rename_over(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

#ifdef _WIN32
// Reports are text files: Windows line ends there.
std::string with_crlf(const std::string& content) {
  std::string crlf;
  crlf.reserve(content.size() + content.size() / 16);
  for (const char c : content) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}
#endif

}  // namespace

ReportNames report_names(const std::string& path, const char* separators) {
  const std::size_t dir_end = path.find_last_of(separators);
  const std::size_t name_start = dir_end == std::string::npos ? 0 : dir_end + 1;
  const std::string stem = path.substr(0, path.find('.', name_start));
  return {stem + "x.txt", stem + "s.txt"};
}

bool replace_file(const std::string& path, const std::string& content, WriteFn write_fn) {
  // A fresh name beside the report, never a file someone else already has.
  std::string temp;
  int fd = -1;
  for (int i = 0; fd < 0 && i < 1000; ++i) {
    temp = path + "." + std::to_string(i) + ".tmp";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
#ifdef _WIN32
  const std::string text = with_crlf(content);
#else
  const std::string& text = content;
#endif
  const bool written = write_all(fd, text.data(), text.size(), write_fn);
  const bool closed = ::close(fd) == 0;
  if (written && closed && rename_over(temp, path)) return true;
  std::remove(temp.c_str());
  return false;
}

bool replace_file(const std::string& path, const std::string& content) {
  return replace_file(path, content, write_fd);
}

int run(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs(usage, stdout);
    return 2;
  }
  const std::string path = argv[1];
  if (path == "--help" || path == "-h") {
    std::fputs(usage, stdout);
    std::fputs(help, stdout);
    return 0;
  }
  if (path == "--version") {
    std::fputs("table5 " TABLE5_VERSION "\n", stdout);
    return 0;
  }

  const auto st = new_store();
  try {
    read_file(*st, path);
  } catch (const Failure& failure) {
    std::printf("%s\n", failure.what());
    return 1;
  }
  compute_tiebreaks(*st);
  rank_players(*st);

  // Each report is assembled in memory and replaces its file whole; the
  // standings are not written when the cross table could not be.
  const auto report = [&](const std::string& file, void (*write)(const Store&, std::string&)) {
    std::string text;
    write(*st, text);
    if (replace_file(file, text)) return true;
    std::printf("%s: cannot write\n", file.c_str());
    return false;
  };
  const ReportNames names = report_names(path);
  return report(names.cross, write_cross_table) && report(names.standings, write_standings) ? 0 : 1;
}
