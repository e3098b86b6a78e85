#include "gamefile.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "input.h"

namespace {

// The game file open for reading while this lives. Throws Failure
// "PATH: not found" where it cannot be opened.
struct OpenFile {
  System& sys;
  Handle file = -1;
  OpenFile(System& s, const std::string& path) : sys(s) {
    while ((file = sys.open_read(path)) < 0)
      if (sys.error != Err::interrupted) throw Failure(path + ": not found");
  }
  ~OpenFile() { sys.close(file); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
};

// The state of a file, or that of no regular file where it cannot be had.
FileState state_of(System& sys, Handle file) {
  FileState state;
  return sys.state(file, state) ? state : FileState{};
}

// One reading of a game file: its sources note an end of the file met
// where the file's size at opening does not put it.
struct Reading {
  System& sys;
  const std::string& path;
  FileState opened;
  std::atomic<bool> changed{false};
  void ended_at(std::uint64_t offset) {
    if (opened.regular && offset != opened.size) changed = true;
  }
};

// A game file read from its handle: in large blocks from where it stands,
// or, from an offset on, by positional reads, which threads can make on one
// handle at once.
struct FileSource : ByteSource {
  Reading& reading;
  Handle file;
  bool positional;
  std::uint64_t offset;
  FileSource(Reading& r, Handle f, bool p, std::uint64_t at = 0)
      : reading(r), file(f), positional(p), offset(at) {}
  std::size_t read(char* buf, std::size_t n) override {
    System& sys = reading.sys;
    for (;;) {
      const long got = positional ? sys.read_at(file, buf, n, offset) : sys.read(file, buf, n);
      if (got > 0) offset += static_cast<std::uint64_t>(got);
      if (got == 0) reading.ended_at(offset);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (sys.error != Err::interrupted) throw Failure(reading.path + ": not found");  // a folder, say
    }
  }
};

// Reads the game file once into the store: false when it changed meanwhile
// (it ended elsewhere than its size said, or its size or times changed).
bool read_once(System& sys, Store& st, const std::string& path, std::pmr::memory_resource* mem) {
  const OpenFile open(sys, path);
  const Handle file = open.file;
  Reading reading{sys, path, state_of(sys, file)};
  const FileState& opened = reading.opened;
  const int chunks = opened.regular ? chunk_count(opened.size, sys.processors()) : 1;
  try {
    if (chunks < 2) {
      FileSource in(reading, file, false);
      read_games(st, in, default_block_size, mem);
    } else {
      const OpenAt open_at = [&](std::uint64_t offset) {
        return std::unique_ptr<ByteSource>(new FileSource(reading, file, true, offset));
      };
      read_in_chunks(st, split_points(opened.size, chunks), open_at, thread_launcher(sys),
                     default_block_size, mem);
    }
  } catch (const Failure&) {
    // A mix of two states may fail where neither would.
    if (opened.regular && state_of(sys, file) != opened) return false;
    throw;
  }
  return !(opened.regular && (reading.changed || state_of(sys, file) != opened));
}

}  // namespace

Diagnosis diagnose_game_file(System& sys, Store& st, const std::string& path) {
  const OpenFile open(sys, path);
  Reading reading{sys, path, FileState{}};
  FileSource in(reading, open.file, false);
  return diagnose(st, in);
}

std::string first_bytes(System& sys, const std::string& path, std::size_t n) {
  try {
    const OpenFile open(sys, path);
    std::string bytes(n, '\0');
    Reading reading{sys, path, FileState{}};
    bytes.resize(FileSource(reading, open.file, true).read(bytes.data(), n));
    return bytes;
  } catch (const Failure&) {
    return "";
  }
}

Launch thread_launcher(System& sys) {
  return [&sys](std::function<void()> task) -> std::function<void()> {
    auto wait = sys.start_thread(task);
    return wait ? wait : task;
  };
}

void read_game_file(System& sys, Store& st, const std::string& path,
                    std::pmr::memory_resource* mem) {
  // A file saved anew while it is read (a tournament program writing the
  // next round, say) may give a mix of two states: it is read once more, and
  // a second change fails the run.
  if (read_once(sys, st, path, mem)) return;
  clear_store(st);
  if (!read_once(sys, st, path, mem)) throw Failure(path + ": changed while read");
}
