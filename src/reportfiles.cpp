#include "reportfiles.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "failure.h"
#include "paths.h"
#include "signals.h"

namespace {

constexpr char temp_prefix[] = "table5-";
constexpr char temp_suffix[] = ".tmp";
constexpr int temp_letters = 8;
// A temporary of the program's own naming older than this was left by a
// run that was killed: none takes minutes.
constexpr std::int64_t stale_seconds = 5 * 60;

// Calls attempt until it succeeds or fails for good. A call interrupted by a
// signal is made again; on Windows a file that another program holds open
// (an editor, a virus scanner, an indexer) is busy for a moment: it is tried
// again for about two seconds.
template <class Attempt>
bool with_retries(System& sys, Attempt attempt) {
  for (int busy = 0;;) {
    if (attempt()) return true;
    if (sys.error == Err::interrupted) continue;
    if (sys.error != Err::busy || ++busy == 40) return false;
    sys.sleep_ms(50);
  }
}

// Eight letters and digits no other run can guess.
std::string temp_name(System& sys, const std::string& folder) {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t bits = sys.random();
  std::string name = folder + temp_prefix;
  for (int i = 0; i < temp_letters; ++i, bits /= 36) name += alphabet[bits % 36];
  return name + temp_suffix;
}

bool is_temp_name(const std::string& name) {
  const std::size_t prefix = sizeof temp_prefix - 1, suffix = sizeof temp_suffix - 1;
  if (name.size() != prefix + temp_letters + suffix || name.compare(0, prefix, temp_prefix) != 0 ||
      name.compare(prefix + temp_letters, suffix, temp_suffix) != 0)
    return false;
  for (int i = 0; i < temp_letters; ++i) {
    const char c = name[prefix + static_cast<std::size_t>(i)];
    if (!std::islower(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)))
      return false;
  }
  return true;
}

// Removes the temporary files that killed runs left in folder. Under the
// folder's lock, so that none is a running one's.
void remove_stale_temps(System& sys, const std::string& folder) {
  const std::int64_t now = sys.wall_seconds();
  for (const std::string& name : sys.names_in(folder + ".")) {
    std::int64_t modified = 0;
    if (is_temp_name(name) && sys.modified_seconds(folder + name, modified) &&
        now - modified > stale_seconds)
      sys.remove(folder + name);
  }
}

// A lock on a folder that every run replacing reports there takes, held
// until destroyed or the process ends, and leaving no file behind. It is
// tried without blocking until patience runs out, saying once that it
// waits: a run that holds it takes milliseconds, and one that never lets go
// (or a reader of the folder that locks it) must not hang this one.
struct FolderLock {
  System& sys;
  Handle lock = -1;
  FolderLock(System& s, const std::string& folder, const std::string& report, int patience_ms)
      : sys(s) {
    const std::int64_t deadline = sys.now_ms() + patience_ms;
    for (bool said = false;; said = true) {
      lock = sys.try_lock_folder(folder + ".");
      if (lock >= 0) return;
      if (sys.error == Err::interrupted) continue;
      if (sys.error == Err::not_found) throw Failure(report + ": cannot write");
      if (sys.error == Err::unsupported) {  // NFS, say: go on, but not in silence
        sys.err("table5: " + report + ": the folder cannot be locked; runs at the same time may mix their reports\n");
        return;
      }
      if (sys.error != Err::busy && sys.error != Err::interrupted)
        throw Failure(report + ": cannot lock its folder");
      if (sys.now_ms() >= deadline) throw Failure(report + ": locked by another run");
      if (!said) sys.out(report + ": waiting for another run\n");
      sys.sleep_ms(2);
    }
  }
  ~FolderLock() {
    if (lock >= 0) sys.unlock_folder(lock);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
};

// One file being replaced: its temporary file while that exists.
struct Temp {
  System& sys;
  std::string path;
  Handle file = -1;
  LiveTemp live;

  explicit Temp(System& s) : sys(s) { live.path = &path; }

  // Creates the temporary file beside target under a name of its own,
  // exclusively; owner-only until its content is complete.
  bool create(const std::string& folder) {
    for (int tries = 0; tries < 100; ++tries) {
      std::string name = temp_name(sys, folder);
      const bool made = with_retries(sys, [&] {
        const HoldSignals hold(sys);
        file = sys.create_new(name);
        if (file < 0) return false;
        path = std::move(name);
        note_temp(live);
        return true;
      });
      if (made) return true;
      if (sys.error != Err::exists) return false;
    }
    return false;
  }

  // Writes text and gives the file the attributes of target, or a new
  // file's in folder; the disk may start on it meanwhile.
  bool fill(std::string_view text, bool text_file, const std::string& target,
            const std::string& folder) {
    std::string crlf;  // reports are text files: Windows line ends there
    if (on_windows && text_file) {
      crlf.reserve(text.size() + text.size() / 16);
      for (const char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
      }
      text = crlf;
    }
    while (!text.empty()) {
      const long done = sys.write(file, text.data(), text.size());
      if (done < 0 && sys.error == Err::interrupted) continue;
      if (done <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(done));
    }
    Attributes want;
    if (!sys.attributes(target, want) ||
        (!want.regular && !sys.new_file_attributes(folder + ".", want)))
      return false;
    // The old report's group where the runner may give it (a shared
    // folder's); else the runner's. Permission bits only: no setuid or
    // setgid bit on a file the runner now owns. A file system without modes
    // (FAT) refuses: the report then stays owner-only. An ACL is copied
    // whole or the report is not written: else a group that was denied
    // could gain access.
    if (want.group >= 0) sys.set_group(file, want.group);
    sys.set_mode(file, want.mode);
    if (!want.acl.empty() && !sys.set_acl(file, want.acl)) return false;
    sys.start_flush(file);
    return true;
  }

  // Puts the file on the disk and closes it. Before it replaces anything:
  // else a power cut soon after may leave an empty report where the old one
  // was. Done for all files after all are written, so that one commit of
  // the file system's journal may serve them all.
  bool settle() {
    const bool flushed = with_retries(sys, [&] { return sys.flush(file); });
    const Handle was = file;
    file = -1;
    return sys.close_written(was) && flushed;
  }

  // Once renamed over its target, the file is no longer temporary.
  void renamed() {
    forget_temp(live);
    path.clear();
  }

  ~Temp() {
    if (file >= 0) sys.close(file);
    if (path.empty()) return;
    const HoldSignals hold(sys);
    with_retries(sys, [&] { return sys.remove(path); });
    forget_temp(live);
  }
};

// The file a report replaces, kept aside under a temporary name by a second
// link until both reports stand, so that it can be put back.
struct Aside {
  System* sys = nullptr;
  std::string path;  // empty: nothing stood there, or it could not be kept
  bool nothing_before = false;
  Aside() = default;
  Aside(const Aside&) = delete;
  Aside& operator=(const Aside&) = delete;
  ~Aside() {
    if (!path.empty()) with_retries(*sys, [&] { return sys->remove(path); });
  }
};

// Keeps target aside; false where that failed in a way that forbids going on.
bool keep_aside(System& sys, const std::string& target, const std::string& folder, Aside& aside) {
  for (int tries = 0; tries < 100; ++tries) {
    std::string name = temp_name(sys, folder);
    if (with_retries(sys, [&] { return sys.link(target, name); })) {
      aside.sys = &sys;
      aside.path = std::move(name);
      return true;
    }
    if (sys.error == Err::not_found) return aside.nothing_before = true;
    // A file system without links (FAT): the pair can no longer be undone.
    if (sys.error == Err::unsupported || sys.error == Err::denied) return true;
    if (sys.error != Err::exists) return false;
  }
  return false;
}

// Renames each temporary file over its target; where one fails, the targets
// renamed before it are put back. Index of the failed one, or temps.size().
// Nothing is allocated once the first is renamed: memory running out there
// would leave the pair mixed.
std::size_t swap_in(System& sys, std::vector<std::unique_ptr<Temp>>& temps,
                    const std::vector<Replacement>& files, const std::string& folder) {
  std::vector<Aside> asides(files.size());
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!keep_aside(sys, files[i].path, folder, asides[i])) return i;
  std::size_t renamed = 0;
  while (renamed < files.size() &&
         with_retries(sys, [&] { return sys.rename(temps[renamed]->path, files[renamed].path); }))
    temps[renamed++]->renamed();
  if (renamed == files.size()) return renamed;
  // Those renamed before the one that failed are undone, the last first:
  // the old file back, or none where there was none.
  for (std::size_t k = renamed; k-- > 0;) {
    if (!asides[k].path.empty() &&
        with_retries(sys, [&] { return sys.rename(asides[k].path, files[k].path); }))
      asides[k].path.clear();
    else if (asides[k].nothing_before)
      with_retries(sys, [&] { return sys.remove(files[k].path); });
  }
  return renamed;  // the files kept aside go with them
}

// Whether the first 4 KiB of the file open as in hold mark. A read that
// ends before the size the file has is tried on.
bool holds_mark(System& sys, Handle in, std::string_view mark) {
  constexpr std::size_t head_size = 4096;
  std::string head(head_size, '\0');
  FileState state;
  const std::size_t want = sys.state(in, state) ? std::min<std::uint64_t>(state.size, head_size) : head_size;
  std::size_t got = 0;
  bool failed = false;
  for (int ends = 0; got < want && ends < 3 && !failed;) {
    long n = 0;
    failed = !with_retries(sys, [&] { return (n = sys.read(in, &head[got], want - got)) >= 0; });
    if (n == 0) ++ends;
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  return !failed && head.substr(0, got).find(mark) != std::string::npos;
}

// Throws Failure where file may not replace what stands at its path: the
// file at keep, or a file without the mark (one that cannot be read cannot
// be told).
void check_may_replace(System& sys, const Replacement& file) {
  if (file.mark.empty()) return;
  if (!file.keep.empty() && sys.same_file(file.path, file.keep))
    throw Failure(file.path + ": is the game file");
  Attributes there;
  if (!sys.attributes(file.path, there)) throw Failure(file.path + ": cannot write");
  if (!there.regular) return;  // nothing, or a link that is replaced, not followed
  Handle in = -1;
  while ((in = sys.open_read(file.path)) < 0)
    if (sys.error != Err::interrupted) throw Failure(file.path + ": cannot write");
  const bool ours = holds_mark(sys, in, file.mark);
  sys.close(in);
  if (!ours) throw Failure(file.path + ": not written by table5");
}

}  // namespace

std::size_t replace_files(System& sys, const std::vector<Replacement>& files, int patience_ms) {
  if (files.empty()) return 0;
  const std::string folder = folder_prefix(files[0].path);
  if (on_windows)
    for (const Replacement& file : files)
      if (is_device_name(file.path.substr(folder_prefix(file.path).size())))
        throw Failure(file.path + ": reserved device name");
  const FolderLock lock(sys, folder, files[0].path, patience_ms);
  for (const Replacement& file : files) check_may_replace(sys, file);
  remove_stale_temps(sys, folder);
  std::vector<std::unique_ptr<Temp>> temps;
  for (std::size_t i = 0; i < files.size(); ++i) {
    temps.push_back(std::make_unique<Temp>(sys));
    if (!temps[i]->create(folder) || !temps[i]->fill(files[i].text, files[i].mark.empty(), files[i].path, folder))
      return i;
  }
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!temps[i]->settle()) return i;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!with_retries(sys, [&] { return sys.replaceable(files[i].path); })) return i;
  const HoldSignals hold(sys);
  return swap_in(sys, temps, files, folder);
}

bool is_device_name(std::string_view name) {
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}
