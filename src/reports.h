// The two reports: the cross table and the standings list, in rank order.
#pragma once

#include <string>

#include "store.h"

// Lines per player block and characters per cell line, from the busiest pair.
int cell_rows(int maxn);
int cell_width(int maxn);

// "%5.1f" of q / 4 for q >= 0, with halves of tenths rounded away from zero on
// every platform (C libraries differ there).
std::string format_quarters(long long q);

// Appends the cross table to out.
void write_cross_table(const Store& st, std::string& out);

// Appends the standings list to out.
void write_standings(const Store& st, std::string& out);
