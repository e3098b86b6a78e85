// Names a director would take for one player's: the same but for letter
// case, blanks, or how a UTF-8 name encodes its accents. The reader keeps
// such names apart, as it must; a run says so.
#pragma once

#include <string>
#include <string_view>

// How the names differ when alike, for messages.
constexpr char alike_in[] = "only in blanks, letter case or how accents are encoded";

// A name as a director reads it: ASCII letters in lower case, blanks
// (spaces, tabs, no-break spaces) neither at the ends nor doubled, and, for a
// UTF-8 name, its characters canonically decomposed and ordered.
std::u32string plain_form(std::string_view name, bool utf8);

// Whether two different names read alike; in UTF-8 where both are UTF-8,
// else a byte a character (0xA0 a no-break space, as in Latin-1).
bool alike(std::string_view a, std::string_view b);
