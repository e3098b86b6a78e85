// A System for tests: every call goes to the real one and is counted, and
// the Nth call can be made to fail in a chosen way, to come back short, to
// have a signal delivered at it, or to run an action first. Waits run on a
// clock of its own, output is captured, and no handler reaches the process.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "system.h"

enum class Fault {
  fail,    // the call fails with error
  short_,  // a read or write gives less than asked (elsewhere: nothing happens)
  ended,   // a read meets the end of the file there, as one cut short meanwhile
  signal,  // a signal comes at the call: handled there, or once released
};

struct FaultySystem final : System {
  System& real;
  // Output is captured in room kept ready: an allocation there would count.
  explicit FaultySystem(System& r) : real(r) {
    output.reserve(4096);
    errors.reserve(4096);
    open_files.reserve(64);
    locks.reserve(64);
  }
  ~FaultySystem() override { end(); }

  // The end of the process: the files it holds open are closed, its lock let
  // go. How many were still open or held before.
  std::size_t end();

  // What to do, and where: the call numbered at (from 1; 0: none).
  long at = 0;
  Fault fault = Fault::fail;
  Err with = Err::io;
  std::function<void()> before_call;  // run just before call number at
  // Besides: the next `left` calls of this name fail with `with`.
  std::string every;
  int left = 0;

  // What happened.
  std::atomic<long> calls{0};
  std::string faulted;  // the name of the call that was hit
  bool signalled = false;  // the process ended there: every call after it fails
  std::string output, errors;
  std::vector<std::string> trail;  // the calls' names, in order, where record
  bool record = false;

  // Threads: started for real, or refused so that tasks run in place and the
  // Nth call is the same every time.
  bool threads = false;
  int cpus = 2;
  std::int64_t clock_ms = 0;

  Handle open_read(const std::string& path) override;
  long read(Handle file, char* buf, std::size_t n) override;
  long read_at(Handle file, char* buf, std::size_t n, std::uint64_t offset) override;
  bool state(Handle file, FileState& out) override;
  void close(Handle file) override;
  Handle create_new(const std::string& path) override;
  long write(Handle file, const char* data, std::size_t n) override;
  void start_flush(Handle file) override;
  bool flush(Handle file) override;
  bool close_written(Handle file) override;
  bool attributes(const std::string& path, Attributes& out) override;
  bool new_file_attributes(const std::string& folder, Attributes& out) override;
  bool set_group(Handle file, long group) override;
  bool set_mode(Handle file, unsigned mode) override;
  bool set_acl(Handle file, const std::string& acl) override;
  bool rename(const std::string& from, const std::string& to) override;
  bool link(const std::string& from, const std::string& to) override;
  bool remove(const std::string& path) override;
  bool same_file(const std::string& a, const std::string& b) override;
  bool replaceable(const std::string& path) override;
  std::vector<std::string> names_in(const std::string& folder) override;
  bool modified_seconds(const std::string& path, std::int64_t& out) override;
  Handle try_lock_folder(const std::string& folder) override;
  void unlock_folder(Handle lock) override;
  void on_signals(SignalCleanup c) override { cleanup = c; }
  void hold_signals() override;
  void release_signals() override;
  void* map(std::size_t bytes, bool huge) override;
  void unmap(void* at, std::size_t bytes) override { real.unmap(at, bytes); }
  bool huge_pages() override { return huge && real.huge_pages(); }
  bool huge = true;  // huge pages given where the system gives them
  int processors() override { return cpus; }
  std::function<void()> start_thread(std::function<void()> task) override;
  bool out(std::string_view text) override;
  void err(std::string_view text) override { errors += text; }
  bool own_console() override { return console; }
  void wait_for_key() override { output += "[key]\n"; }
  bool console = false;  // a console window of the process's own
  std::int64_t now_ms() override { return clock_ms; }
  void sleep_ms(int ms) override;
  std::int64_t wall_seconds() override { return real.wall_seconds(); }
  std::uint64_t random() override { return real.random(); }

 private:
  SignalCleanup cleanup = nullptr;
  int held = 0;
  bool pending = false;
  bool cleaning = false;
  // What is open, in room kept ready like the output's.
  std::vector<Handle> open_files, locks;
  static void note(std::vector<Handle>& handles, Handle h) {
    if (h >= 0) handles.push_back(h);
  }
  static bool forget(std::vector<Handle>& handles, Handle h);
  // Counts a call; true where it is to fail (error then set).
  bool hit(const char* name);
  void deliver();
  template <class T>
  T pass(T result, bool failed) {
    if (failed) error = real.error;
    return result;
  }
};
