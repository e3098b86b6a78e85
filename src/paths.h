// Paths as the system takes them: their folder and file parts, and the
// UTF-16 that Windows keeps them in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "system.h"

// Where the file name in path begins: after its last separator, or at 0.
std::size_t name_start(const std::string& path, const char* separators = path_separators);

// The folder part of a path with its last separator, "" when it has none.
std::string folder_prefix(const std::string& path);

// UTF-16 to UTF-8 and back; a lone surrogate, which Windows allows in file
// names, is carried through as the three bytes UTF-8 would give it, so that
// every name comes back as it was.
std::string utf8_of(std::u16string_view text);
std::u16string utf16_of(std::string_view text);
// utf16_of into room units at out, allocating nothing: the units written,
// or SIZE_MAX where the text needs more.
std::size_t utf16_into(std::string_view text, char16_t* out, std::size_t room);
