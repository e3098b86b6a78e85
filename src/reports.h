// The two reports: the cross table and the standings list, in rank order.
#pragma once

#include <memory_resource>
#include <string>

#include "store.h"

// Lines per player block and characters per cell line, from the busiest pair.
int cell_rows(int maxn);
int cell_width(int maxn);

// The percentage of p's points the reports print ("%3.0f").
double percentage(const Store& st, int p);

// "%5.1f" of q / 4 for q >= 0, with halves of tenths rounded away from zero on
// every platform (C libraries differ there).
std::string format_quarters(long long q);

// A report's text: from the default memory resource (the run's arena where
// one is set), for a league's cross table runs to hundreds of KB.
using Text = std::pmr::string;

// Appends the cross table to out.
void write_cross_table(const Store& st, Text& out);

// Appends the standings list to out.
void write_standings(const Store& st, Text& out);
