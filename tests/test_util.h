// Helpers shared by the tests.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "input.h"
#include "store.h"

// A fresh, zeroed store (too big for the stack).
inline std::unique_ptr<Store> empty_store() { return std::make_unique<Store>(); }

template <class T, std::size_t N>
void zero(T (&table)[N]) {
  std::fill(table, table + N, T{});
}

// Empties a store that was used before, touching only the pair records in
// use: a fresh 1.6 MB store for each of many inputs would make a test crawl.
inline void reset_store(Store& st) {
  for (auto& row : st.s)
    for (auto& pair : row) std::fill(pair, pair + 2 + pair[0], 0);
  zero(st.hashkey), zero(st.nrhash), zero(st.namehash), zero(st.namelen);
  zero(st.pt), zero(st.games), zero(st.Buch), zero(st.SB), zero(st.r);
  st.names.clear();
  st.cptr = 0, st.nptr = 0, st.maxn = 0, st.no_games = 0;
}

// A store filled from a game file's text.
inline std::unique_ptr<Store> read_text(const std::string& text) {
  auto st = empty_store();
  MemorySource in(text);
  read_games(*st, in);
  return st;
}

// The symbols of p's games against q, in order.
inline std::string symbols(const Store& st, int p, int q) {
  std::string out;
  for (int g = 1; g <= st.s[p][q][0]; ++g) out += static_cast<char>(st.s[p][q][1 + g]);
  return out;
}

// The text of one game's three tags.
inline std::string game(const std::string& white, const std::string& black,
                        const std::string& result) {
  return "[White \"" + white + "\"]\n[Black \"" + black + "\"]\n[Result \"" + result + "\"]\n";
}

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

// A folder of its own for one test, removed with everything in it.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    static std::mt19937_64 draw{std::random_device{}()};
    do path = std::filesystem::temp_directory_path() / ("table5-test-" + std::to_string(draw() % 1000000000));
    while (!std::filesystem::create_directory(path));
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
