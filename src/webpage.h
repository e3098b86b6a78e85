// The web page: the cross table and the standings as one self-contained
// HTML5 page, to upload as it is, print, or read on a phone.
#pragma once

#include <string_view>

#include "reports.h"
#include "store.h"

// What every page of this tool's holds in its head, by which it is known.
constexpr std::string_view page_mark = "<meta name=\"generator\" content=\"table5 ";

// Appends the page of a ranked store to out; title names the tournament
// (the game file's name, say) and is taken as bytes of a name.
void write_page(const Store& st, std::string_view title, Text& out);
