// The platform's names: paths, the command line and the console as the
// system takes them (UTF-16 on Windows, bytes elsewhere).
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Characters that end a directory part in a path on this platform.
#ifdef _WIN32
constexpr const char* path_separators = "/\\:";
#else
constexpr const char* path_separators = "/";
#endif

// Where the file name in path begins: after its last separator, or at 0.
std::size_t name_start(const std::string& path, const char* separators = path_separators);

// The folder part of a path with its last separator, "" when it has none.
std::string folder_prefix(const std::string& path);

// The command line as UTF-8: on Windows read as UTF-16 from the system, so
// that no character of a file name is lost to a code page.
std::vector<std::string> command_line(int argc, char* argv[]);

// On Windows the console prints UTF-8 from here on, and gets its code page
// back at exit or from restore_console; elsewhere nothing.
void prepare_console();
void restore_console();

// On Windows, when the console is this process's alone (it was started from
// Explorer, a game file dropped on it) and a key can be read, asks for a key
// before the window closes, so that the message printed can be read.
void wait_if_own_console();

// UTF-16 to UTF-8 and back; a lone surrogate, which Windows allows in file
// names, is carried through as the three bytes UTF-8 would give it, so that
// every name comes back as it was.
std::string utf8_of(std::u16string_view text);
std::u16string utf16_of(std::string_view text);

// A path as the system takes it, and the calls that take one.
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativePath = std::basic_string<NativeChar>;
#ifdef _WIN32
std::wstring native(const std::string& path);
#else
inline const std::string& native(const std::string& path) { return path; }
#endif
// open(); flags as open takes them, with O_BINARY (0 where files have no
// text mode) for the bytes as they are.
int open_native(const NativePath& path, int flags, int mode = 0);
#ifndef O_BINARY
#define O_BINARY 0
#endif
void remove_native(const NativeChar* path);
