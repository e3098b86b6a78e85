// The operating system as a run meets it: every call that can fail goes
// through one System, so that a test can fail each call in turn. The POSIX
// side is system_posix.cpp, the Windows side system_windows.cpp; what the
// program decides about a failure (retry, fall back, give up) stays above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Why a call failed, in the few kinds the program tells apart.
enum class Err {
  none,
  not_found,    // no such file or folder
  exists,       // the name is taken
  busy,         // held by another program for now (Windows: sharing, lock)
  no_space,     // a full disk or the file-size limit
  denied,       // not allowed
  interrupted,  // a signal came first: the call may be made again
  unsupported,  // the file system does not do it (a lock on NFS, a link on FAT)
  io,           // anything else
};

// A file handle of the System's own; -1 is none.
using Handle = std::intptr_t;

// A file as it stands at one moment: a file saved anew differs.
struct FileState {
  bool regular = false;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // in the finest unit the system keeps
  std::int64_t changed = 0;   // the status change time, which cannot be set back
  bool operator!=(const FileState& o) const {
    return regular != o.regular || size != o.size || modified != o.modified ||
           changed != o.changed;
  }
};

// What a report keeps of the file it replaces, or what a new file in its
// folder gets there.
struct Attributes {
  bool regular = false;  // an earlier regular file stands at the name
  unsigned mode = 0;     // permission bits (0777)
  long group = -1;       // its group, -1 where none need be given
  std::string acl;       // an access control list as the system stores it, or empty
};

// The end of a run by a signal, for the handler the program registers: it
// removes what must not stay, and the System then ends the process as the
// signal would.
using SignalCleanup = void (*)();

class System {
 public:
  virtual ~System() = default;
  Err error = Err::none;  // why the last call that failed failed

  // The game file.
  virtual Handle open_read(const std::string& path) = 0;
  virtual long read(Handle file, char* buf, std::size_t n) = 0;  // -1 on failure
  virtual long read_at(Handle file, char* buf, std::size_t n, std::uint64_t offset) = 0;
  virtual bool state(Handle file, FileState& out) = 0;
  virtual void close(Handle file) = 0;

  // Report files. create_new makes a file only the owner may read, failing
  // with Err::exists where the name is taken.
  virtual Handle create_new(const std::string& path) = 0;
  virtual long write(Handle file, const char* data, std::size_t n) = 0;
  virtual void start_flush(Handle file) = 0;  // a hint: the disk may start
  virtual bool flush(Handle file) = 0;        // data on the disk
  virtual bool close_written(Handle file) = 0;
  // The attributes of the file at path (not followed if a link); true with
  // regular false where none is there.
  virtual bool attributes(const std::string& path, Attributes& out) = 0;
  // What a new file in folder gets: the umask's mode, or its default ACL's.
  virtual bool new_file_attributes(const std::string& folder, Attributes& out) = 0;
  virtual bool set_group(Handle file, long group) = 0;
  virtual bool set_mode(Handle file, unsigned mode) = 0;
  virtual bool set_acl(Handle file, const std::string& acl) = 0;
  virtual bool rename(const std::string& from, const std::string& to) = 0;
  virtual bool link(const std::string& from, const std::string& to) = 0;
  virtual bool remove(const std::string& path) = 0;
  // Whether two paths name one file (followed through links); false where
  // either names none or cannot be looked at.
  virtual bool same_file(const std::string& a, const std::string& b) = 0;
  // Windows: whether the file at path may be replaced now (no program holds
  // it open without delete sharing); elsewhere always.
  virtual bool replaceable(const std::string& path) = 0;
  // The names in a folder and the modification time of one, in seconds of
  // the wall clock, for the temporaries that a killed run left.
  virtual std::vector<std::string> names_in(const std::string& folder) = 0;
  virtual bool modified_seconds(const std::string& path, std::int64_t& out) = 0;

  // The folder lock, tried without waiting: Err::busy while another run
  // holds it, Err::unsupported where the system gives none there.
  virtual Handle try_lock_folder(const std::string& folder) = 0;
  virtual void unlock_folder(Handle lock) = 0;

  // Signals (Windows: console events). cleanup runs on every signal that
  // would end the process; hold and release nest.
  virtual void on_signals(SignalCleanup cleanup) = 0;
  virtual void hold_signals() = 0;
  virtual void release_signals() = 0;

  // Memory: zeroed pages, one huge page where asked and given.
  virtual void* map(std::size_t bytes, bool huge) = 0;
  virtual void unmap(void* at, std::size_t bytes) = 0;
  virtual bool huge_pages() = 0;

  // Threads: how many processors may run this process, and a task started
  // on a thread of its own (on Linux first on another processor, then free
  // to move); returns the wait for it, empty where no thread can be had.
  virtual int processors() = 0;
  virtual std::function<void()> start_thread(std::function<void()> task) = 0;

  // The console: standard output flushed (false where it cannot be
  // written), standard error; whether the process has a console window of
  // its own that shows standard output and reads keys (on Windows, started
  // from Explorer or by a file dropped on it; never elsewhere), and a key
  // asked for before that window closes.
  virtual bool out(std::string_view text) = 0;
  virtual void err(std::string_view text) = 0;
  virtual bool own_console() = 0;
  virtual void wait_for_key() = 0;

  // The clock for every wait, in milliseconds since some start; the wall
  // clock in seconds; and a random number no other run can guess.
  virtual std::int64_t now_ms() = 0;
  virtual void sleep_ms(int ms) = 0;
  virtual std::int64_t wall_seconds() = 0;
  virtual std::uint64_t random() = 0;
};

// A task started on a std::thread, free to run anywhere: its wait, or
// empty where no thread can be had. Both sides start threads so, Linux
// after it tried to place one.
std::function<void()> start_std_thread(std::function<void()> task);

// The real system of this platform, set up once for the process: console,
// memory tuning, the signals the report writer needs.
System& native_system();

// The command line as UTF-8: on Windows read as UTF-16 from the system, so
// that no character of a file name is lost to a code page.
std::vector<std::string> command_line(int argc, char* argv[]);

// Whether this is Windows, where paths also part at '\\' and ':', reports
// end their lines in CR LF and names such as aux.txt stand for devices.
#ifdef _WIN32
constexpr bool on_windows = true;
#else
constexpr bool on_windows = false;
#endif
constexpr const char* path_separators = on_windows ? "/\\:" : "/";
