// The data file: the standings and every pair's results as JSON, for
// scripts and spreadsheets.
#pragma once

#include <string_view>

#include "reports.h"
#include "store.h"

// What begins every data file, by which a file of this tool's is known.
constexpr std::string_view data_mark = "{\"generator\": \"table5 ";

// Appends the data file of a ranked store to out: the players in rank order
// with rank, name (UTF-8), points, games, percentage as the standings print
// it, Buchholz and Sonneborn-Berger exact, and the symbols of their games
// against each player in rank order.
void write_data(const Store& st, Text& out);

// units / per (per 2 or 4) exactly, with one decimal at least: 8.0, 8.25.
std::string exact_value(long long units, int per);
