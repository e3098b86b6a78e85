// The System of Windows: paths in UTF-16, files by handle, the console's
// events for signals, a named mutex for the folder lock.
#include <windows.h>
#include <conio.h>
#include <shellapi.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>

#include "paths.h"
#include "system.h"

namespace {

// A path as Windows takes it, converted without allocating, for a report
// is renamed where memory may have run out; empty where it is too long.
struct Native {
  wchar_t text[32768];
  explicit Native(const std::string& path) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16");
    const std::size_t n = utf16_into(path, reinterpret_cast<char16_t*>(text), 32767);
    text[n == SIZE_MAX ? 0 : n] = L'\0';
  }
  const wchar_t* c_str() const { return text; }
};

// A file another program holds open (an editor, a virus scanner, an
// indexer) is refused with a sharing or access violation for a moment: busy.
Err err_of(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME:
      return Err::not_found;
    case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: return Err::exists;
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: case ERROR_ACCESS_DENIED:
      return Err::busy;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return Err::no_space;
    case ERROR_WRITE_PROTECT: return Err::denied;
    case ERROR_NOT_SUPPORTED: case ERROR_INVALID_FUNCTION: return Err::unsupported;
    default: return Err::io;
  }
}

HANDLE handle(Handle file) { return reinterpret_cast<HANDLE>(file); }
Handle of(HANDLE h) { return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<Handle>(h); }
DWORD clamp_dword(std::size_t n) { return static_cast<DWORD>(n < INT_MAX ? n : INT_MAX); }
std::int64_t time_of(LARGE_INTEGER t) { return t.QuadPart; }

// Windows runs the console handler on a thread of its own: the critical
// section keeps it out while a temporary file is created or renamed.
CRITICAL_SECTION signal_guard;
SignalCleanup signal_cleanup = nullptr;
UINT console_code_page = 0;  // the console's before the run: it outlives the run

void restore_console() {
  if (console_code_page != 0) ::SetConsoleOutputCP(console_code_page);
}

// Ends the process at once: ExitProcess from this thread would run the C
// runtime's exit, which may wait for a lock that the stopped main thread
// holds (under Wine a run hung so, 1 in 150).
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  ::EnterCriticalSection(&signal_guard);
  if (signal_cleanup) signal_cleanup();
  restore_console();
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

struct WindowsSystem final : System {
  bool fail() {
    error = err_of(::GetLastError());
    return false;
  }
  Handle failed() { return fail(), -1; }

  Handle open_read(const std::string& path) override {
    const HANDLE file = ::CreateFileW(Native(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? failed() : of(file);
  }
  long read(Handle file, char* buf, std::size_t n) override {
    DWORD got = 0;
    if (::ReadFile(handle(file), buf, clamp_dword(n), &got, nullptr)) return static_cast<long>(got);
    return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : (fail(), -1);
  }
  long read_at(Handle file, char* buf, std::size_t n, std::uint64_t offset) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (::ReadFile(handle(file), buf, clamp_dword(n), &got, &at)) return static_cast<long>(got);
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : (fail(), -1);
  }
  bool state(Handle file, FileState& out) override {
    FILE_BASIC_INFO basic{};
    LARGE_INTEGER size{};
    if (!::GetFileInformationByHandleEx(handle(file), FileBasicInfo, &basic, sizeof basic))
      return fail();
    const bool disk = ::GetFileType(handle(file)) == FILE_TYPE_DISK &&
                      !(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (disk && !::GetFileSizeEx(handle(file), &size)) return fail();
    out = {disk, static_cast<std::uint64_t>(size.QuadPart), time_of(basic.LastWriteTime),
           time_of(basic.ChangeTime)};
    return true;
  }
  void close(Handle file) override { ::CloseHandle(handle(file)); }

  // Deletable while open, so that the console handler can remove it.
  Handle create_new(const std::string& path) override {
    const HANDLE file = ::CreateFileW(Native(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? failed() : of(file);
  }
  long write(Handle file, const char* data, std::size_t n) override {
    DWORD done = 0;
    return ::WriteFile(handle(file), data, clamp_dword(n), &done, nullptr) ? static_cast<long>(done)
                                                                           : (fail(), -1);
  }
  void start_flush(Handle) override {}
  bool flush(Handle file) override { return ::FlushFileBuffers(handle(file)) ? true : fail(); }
  bool close_written(Handle file) override { return ::CloseHandle(handle(file)) ? true : fail(); }
  // A new file takes its folder's inherited permissions, and a renamed one
  // keeps them: nothing to copy.
  bool attributes(const std::string& path, Attributes& out) override {
    out = {};
    const DWORD got = ::GetFileAttributesW(Native(path).c_str());
    out.regular = got != INVALID_FILE_ATTRIBUTES && !(got & FILE_ATTRIBUTE_DIRECTORY);
    return true;
  }
  bool new_file_attributes(const std::string&, Attributes& out) override {
    out = {};
    return true;
  }
  bool set_group(Handle, long) override { return true; }
  bool set_mode(Handle, unsigned) override { return true; }
  bool set_acl(Handle, const std::string&) override { return true; }
  bool rename(const std::string& from, const std::string& to) override {
    return ::MoveFileExW(Native(from).c_str(), Native(to).c_str(), MOVEFILE_REPLACE_EXISTING)
               ? true : fail();
  }
  bool link(const std::string& from, const std::string& to) override {
    return ::CreateHardLinkW(Native(to).c_str(), Native(from).c_str(), nullptr) ? true : fail();
  }
  bool remove(const std::string& path) override {
    return ::DeleteFileW(Native(path).c_str()) ? true : fail();
  }
  bool same_file(const std::string& a, const std::string& b) override {
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::string* paths[2] = {&a, &b};
    for (int k = 0; k < 2; ++k) {
      const HANDLE file = ::CreateFileW(Native(*paths[k]).c_str(), 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (file == INVALID_HANDLE_VALUE) return fail();
      const bool known = ::GetFileInformationByHandle(file, &info[k]);
      ::CloseHandle(file);
      if (!known) return fail();
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
  }
  // A file held open without delete sharing (a spreadsheet, say) may not be
  // replaced; asked of every report before the first is replaced.
  bool replaceable(const std::string& path) override {
    const HANDLE file = ::CreateFileW(
        Native(path).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return ::GetLastError() == ERROR_FILE_NOT_FOUND ? true : fail();
    ::CloseHandle(file);
    return true;
  }
  std::vector<std::string> names_in(const std::string& folder) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    const HANDLE found_first = ::FindFirstFileW(Native(folder + "\\*").c_str(), &found);
    if (found_first == INVALID_HANDLE_VALUE) return fail(), names;
    const std::unique_ptr<void, BOOL (*)(HANDLE)> search(found_first, ::FindClose);
    do {
      const std::wstring name = found.cFileName;  // may throw
      names.push_back(utf8_of(std::u16string(name.begin(), name.end())));
    } while (::FindNextFileW(search.get(), &found));
    return names;
  }
  bool modified_seconds(const std::string& path, std::int64_t& out) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(Native(path).c_str(), GetFileExInfoStandard, &data)) return fail();
    const std::int64_t ticks =
        std::int64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    out = ticks / 10000000 - 11644473600;  // from 1601 in 100 ns to 1970 in seconds
    return true;
  }

  // A named mutex for the folder's final path: the system releases it with
  // the process that holds it.
  Handle try_lock_folder(const std::string& folder) override {
    auto final_path = std::make_unique<wchar_t[]>(32768);
    const HANDLE dir = ::CreateFileW(Native(folder).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {  // not another run's doing: no use waiting
      fail();
      if (error == Err::busy) error = Err::denied;
      return -1;
    }
    const DWORD n = ::GetFinalPathNameByHandleW(dir, final_path.get(), 32768, 0);
    ::CloseHandle(dir);
    if (n == 0 || n >= 32768) return error = Err::unsupported, -1;
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a of the upper-case path
    ::CharUpperBuffW(final_path.get(), n);
    for (DWORD i = 0; i < n; ++i) hash = (hash ^ final_path[i]) * 1099511628211u;
    std::wstring name = L"Global\\table5-";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[hash >> shift & 15];
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) return failed();
    const DWORD got = ::WaitForSingleObject(mutex, 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) return reinterpret_cast<Handle>(mutex);
    ::CloseHandle(mutex);
    error = got == WAIT_TIMEOUT ? Err::busy : Err::io;
    return -1;
  }
  void unlock_folder(Handle lock) override {
    ::ReleaseMutex(handle(lock));
    ::CloseHandle(handle(lock));
  }

  void on_signals(SignalCleanup cleanup) override {
    signal_cleanup = cleanup;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
  }
  void hold_signals() override { ::EnterCriticalSection(&signal_guard); }
  void release_signals() override { ::LeaveCriticalSection(&signal_guard); }

  void* map(std::size_t bytes, bool) override {
    void* at = ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return at ? at : (fail(), nullptr);
  }
  void unmap(void* at, std::size_t) override { ::VirtualFree(at, 0, MEM_RELEASE); }
  bool huge_pages() override { return false; }

  int processors() override {
    DWORD_PTR process = 0, system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return 1;
    return __builtin_popcountll(process);
  }
  std::function<void()> start_thread(std::function<void()> task) override {
    if (auto wait = start_std_thread(std::move(task))) return wait;
    error = Err::io;
    return nullptr;
  }

  bool out(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    error = Err::io;
    return false;
  }
  void err(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
  // The console is this process's alone when it was started from Explorer
  // (a game file dropped on it); it counts only when it shows standard
  // output and a key can be read from it.
  bool own_console() override {
    DWORD processes[2];
    DWORD mode = 0;
    return ::GetConsoleProcessList(processes, 2) == 1 &&
           ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode);
  }
  void wait_for_key() override {
    out("Press a key to close this window.\n");
    ::FlushConsoleInputBuffer(::GetStdHandle(STD_INPUT_HANDLE));
    ::_getch();
  }

  std::int64_t now_ms() override { return static_cast<std::int64_t>(::GetTickCount64()); }
  void sleep_ms(int ms) override { ::Sleep(static_cast<DWORD>(ms)); }
  std::int64_t wall_seconds() override { return static_cast<std::int64_t>(std::time(nullptr)); }
  std::uint64_t random() override {
    try {
      std::random_device device;
      return (std::uint64_t(device()) << 32) ^ device();
    } catch (const std::exception&) {  // no entropy source: time and place still differ
      LARGE_INTEGER t;
      ::QueryPerformanceCounter(&t);
      return static_cast<std::uint64_t>(t.QuadPart) ^ ::GetCurrentProcessId();
    }
  }
};

}  // namespace

System& native_system() {
  static WindowsSystem* system = [] {
    static WindowsSystem windows;
    ::InitializeCriticalSection(&signal_guard);
    // The console prints UTF-8 from here on, and gets its code page back at exit.
    console_code_page = ::GetConsoleOutputCP();
    ::SetConsoleOutputCP(CP_UTF8);
    std::atexit(restore_console);
    return &windows;
  }();
  return *system;
}

std::vector<std::string> command_line(int, char*[]) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; wide && i < count; ++i) {
    const std::wstring arg = wide[i];
    args.push_back(utf8_of(std::u16string(arg.begin(), arg.end())));
  }
  ::LocalFree(wide);
  return args;
}
