#include "faulty_system.h"

bool FaultySystem::hit(const char* name) {
  if (cleaning) return false;  // the handler's own calls are not counted
  if (signalled) return error = Err::io, true;
  if (record) trail.emplace_back(name);
  if (left > 0 && every == name) {
    --left;
    ++calls;
    return error = with, true;
  }
  if (++calls != at) return false;
  faulted = name;
  if (before_call) before_call();
  if (fault == Fault::signal) {
    if (held > 0)
      pending = true;
    else
      deliver();
    return false;
  }
  if (fault != Fault::fail) return false;
  error = with;
  return true;
}

void FaultySystem::deliver() {
  pending = false;
  signalled = true;
  cleaning = true;
  if (cleanup) cleanup();
  cleaning = false;
}

bool FaultySystem::forget(std::vector<Handle>& handles, Handle h) {
  for (auto it = handles.begin(); it != handles.end(); ++it)
    if (*it == h) return handles.erase(it), true;
  return false;
}

std::size_t FaultySystem::end() {
  const std::size_t held_open = open_files.size() + locks.size();
  for (const Handle file : open_files) real.close(file);
  for (const Handle lock : locks) real.unlock_folder(lock);
  open_files.clear();
  locks.clear();
  return held_open;
}

void FaultySystem::hold_signals() {
  hit("hold_signals");
  ++held;
}

void FaultySystem::release_signals() {
  if (--held == 0 && pending && !signalled) deliver();
}

void FaultySystem::sleep_ms(int ms) {
  if (signalled) return;
  hit("sleep_ms");
  clock_ms += ms;
}

// A short read or write: a third of what was asked, at least one byte.
static std::size_t shortened(Fault fault, long at, long call, std::size_t n) {
  return fault == Fault::short_ && at == call && n > 1 ? n / 3 + 1 : n;
}

// A call made on the real system unless it is to fail; result is what it
// gives, failed what it gives on failure.
#define FORWARD(name, failed, call)                \
  if (hit(name)) return failed;                     \
  const auto result = call;                         \
  if (result == failed) error = real.error;         \
  return result

Handle FaultySystem::open_read(const std::string& path) {
  if (hit("open_read")) return -1;
  const Handle h = real.open_read(path);
  note(open_files, h);
  return pass(h, h < 0);
}
long FaultySystem::read(Handle file, char* buf, std::size_t n) {
  if (hit("read")) return -1;
  if (fault == Fault::ended && calls == at) return 0;
  const long got = real.read(file, buf, shortened(fault, at, calls, n));
  return pass(got, got < 0);
}
long FaultySystem::read_at(Handle file, char* buf, std::size_t n, std::uint64_t offset) {
  if (hit("read_at")) return -1;
  if (fault == Fault::ended && calls == at) return 0;
  const long got = real.read_at(file, buf, shortened(fault, at, calls, n), offset);
  return pass(got, got < 0);
}
bool FaultySystem::state(Handle file, FileState& out) { FORWARD("state", false, real.state(file, out)); }
void FaultySystem::close(Handle file) {
  hit("close");
  if (signalled || !forget(open_files, file)) return;  // closed at the end, or never opened
  real.close(file);
}
Handle FaultySystem::create_new(const std::string& path) {
  if (hit("create_new")) return -1;
  const Handle h = real.create_new(path);
  note(open_files, h);
  return pass(h, h < 0);
}
long FaultySystem::write(Handle file, const char* data, std::size_t n) {
  FORWARD("write", -1L, real.write(file, data, shortened(fault, at, calls, n)));
}
void FaultySystem::start_flush(Handle file) {
  hit("start_flush");
  if (!signalled) real.start_flush(file);
}
bool FaultySystem::flush(Handle file) { FORWARD("flush", false, real.flush(file)); }
bool FaultySystem::close_written(Handle file) {
  const bool fails = hit("close_written");
  if (signalled || !forget(open_files, file)) return false;
  const bool closed = real.close_written(file);  // closed all the same where it fails
  return pass(closed && !fails, !fails && !closed);
}
bool FaultySystem::attributes(const std::string& path, Attributes& out) {
  FORWARD("attributes", false, real.attributes(path, out));
}
bool FaultySystem::new_file_attributes(const std::string& folder, Attributes& out) {
  FORWARD("new_file_attributes", false, real.new_file_attributes(folder, out));
}
bool FaultySystem::set_group(Handle file, long group) { FORWARD("set_group", false, real.set_group(file, group)); }
bool FaultySystem::set_mode(Handle file, unsigned mode) { FORWARD("set_mode", false, real.set_mode(file, mode)); }
bool FaultySystem::set_acl(Handle file, const std::string& acl) { FORWARD("set_acl", false, real.set_acl(file, acl)); }
bool FaultySystem::rename(const std::string& from, const std::string& to) {
  FORWARD("rename", false, real.rename(from, to));
}
bool FaultySystem::link(const std::string& from, const std::string& to) { FORWARD("link", false, real.link(from, to)); }
bool FaultySystem::remove(const std::string& path) { FORWARD("remove", false, real.remove(path)); }
bool FaultySystem::same_file(const std::string& a, const std::string& b) {
  FORWARD("same_file", false, real.same_file(a, b));
}
bool FaultySystem::replaceable(const std::string& path) { FORWARD("replaceable", false, real.replaceable(path)); }
std::vector<std::string> FaultySystem::names_in(const std::string& folder) {
  if (hit("names_in")) return {};
  return real.names_in(folder);
}
bool FaultySystem::modified_seconds(const std::string& path, std::int64_t& out) {
  FORWARD("modified_seconds", false, real.modified_seconds(path, out));
}
Handle FaultySystem::try_lock_folder(const std::string& folder) {
  if (hit("try_lock_folder")) return -1;
  const Handle h = real.try_lock_folder(folder);
  note(locks, h);
  return pass(h, h < 0);
}
void FaultySystem::unlock_folder(Handle lock) {
  hit("unlock_folder");
  if (signalled || !forget(locks, lock)) return;
  real.unlock_folder(lock);
}
void* FaultySystem::map(std::size_t bytes, bool huge) { FORWARD("map", nullptr, real.map(bytes, huge)); }
std::function<void()> FaultySystem::start_thread(std::function<void()> task) {
  if (hit("start_thread") || !threads) return nullptr;
  return real.start_thread(std::move(task));
}
bool FaultySystem::out(std::string_view text) {
  if (hit("out")) return false;
  output += text;
  return true;
}
