// A name as text of the web page and the data file: UTF-8 as it stands, any
// other name read as Windows-1252 reads in a browser, so that one Latin-1
// name does not garble the UTF-8 ones.
#pragma once

#include <string>
#include <string_view>

// Appends name to out as UTF-8: as it stands where it is UTF-8, else each
// byte as Windows-1252 (a byte that encoding leaves undefined as the C1
// control of its value, as browsers read it).
void append_utf8_name(std::string& out, std::string_view name);

// Whether a page may not hold the character: a control character (C0,
// DEL, C1) or a noncharacter.
bool unfit_for_page(char32_t c);
