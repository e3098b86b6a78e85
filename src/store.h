// The tournament store: player registry and game table, the whole state of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>

#include "failure.h"

constexpr int max_players = 19;      // player numbers 1..19; 0 means "no player"
constexpr int max_pair_games = 998;  // games one pair may play
constexpr int hash_slots = 1024;     // slots of the name index (a power of two)
constexpr int name_field = 25;       // stored names are blank-padded to this width

// Every table of one tournament. Value-initialise it (Store{} or make_unique)
// so that all tables start at zero; tables by player number start at index 1.
struct Store {
  // Registry: name index and name pool.
  int hashkey[hash_slots];         // name hash of the player in each slot
  int nrhash[hash_slots];          // player number in each slot; 0 = free
  std::string names;               // stored names, each blank-padded and NUL-closed
  std::size_t cptr;                // next free position in names
  std::size_t namehash[max_players + 1];  // start of each player's stored name
  std::size_t namelen[max_players + 1];   // length of each name as read, unpadded
  int nptr;                        // number of players

  // Games: s[a][b][0] games a-b, [1] a's half-points, [1+g] a's symbol of game g.
  int s[max_players + 1][max_players + 1][max_pair_games + 2];
  int pt[max_players + 1];         // points in half-points
  int games[max_players + 1];      // games played
  int maxn;                        // most games played by one pair
  int no_games;                    // results that were no game ("*" and the like)

  // Filled after reading by compute_tiebreaks and rank_players.
  int Buch[max_players + 1];       // Buchholz, half-points
  int SB[max_players + 1];         // Sonneborn-Berger, quarter-points
  int r[max_players + 1];          // player number at each rank
};

// Result symbol by the half-points a side scored in one game.
constexpr char sym[] = "0=1";

// sym[p] in arithmetic, which the compiler can do for many games at once.
constexpr int symbol_of(int p) { return '0' + 13 * (p & 1) + (p >> 1); }
static_assert(symbol_of(0) == sym[0] && symbol_of(1) == sym[1] && symbol_of(2) == sym[2],
              "symbol_of matches sym");

// The index hash of a name: h * 23 + byte, bytes signed, wrapping at 32 bits.
int name_hash(const char* name, std::size_t len);

// Empties the store, as if new.
void clear_store(Store& st);

// The player number of a name, registering the name when it is new.
// Throws Failure when a 20th player would be registered.
int find_player(Store& st, const char* name, std::size_t len);

// Throws the Failure for a pair that already played max_pair_games games.
[[noreturn]] void too_many_games();

// Records one game: w and b are player numbers (w != b), p White's half-points.
// Throws Failure when the pair already played max_pair_games games. Inline:
// a league file records a game every few hundred bytes.
inline void record_game(Store& st, int w, int b, int p) {
  int* ws = st.s[w][b];
  int* bs = st.s[b][w];
  // Both records are read before either is written: the two pairs are far
  // apart in the store, and their cache misses then overlap.
  const int wn = ws[0], bn = bs[0], wp = ws[1], bp = bs[1];
  if (wn == max_pair_games) too_many_games();
  ws[0] = wn + 1;
  ws[1] = wp + p;
  ws[2 + wn] = sym[p];
  bs[0] = bn + 1;
  bs[1] = bp + 2 - p;
  bs[2 + bn] = sym[2 - p];
  if (wn + 1 > st.maxn) st.maxn = wn + 1;
  st.pt[w] += p;
  st.games[w] += 1;
  st.pt[b] += 2 - p;
  st.games[b] += 1;
}

// Whether player p's name is exactly these bytes.
inline bool has_name(const Store& st, int p, const char* name, std::size_t len) {
  return st.namelen[p] == len && std::memcmp(st.names.data() + st.namehash[p], name, len) == 0;
}

// The stored name of player p: as read, blank-padded to name_field characters.
std::string_view stored_name(const Store& st, int p);

// The name of player p as read, without the padding.
inline std::string_view name_as_read(const Store& st, int p) {
  return std::string_view(st.names).substr(st.namehash[p], st.namelen[p]);
}

// Appends n games of a against b, a's half-points in points, as record_game
// would one by one. Throws Failure when the pair would pass max_pair_games.
void record_games(Store& st, int a, int b, const std::uint8_t* points, int n);

// The games of one chunk of a game file, read apart from the rest: players
// numbered in order of first appearance in the chunk, and by pair (the lower
// number first) the lower number's half-points in each game, one byte a game.
// Create it with new_chunk_store: points is left unwritten, so that only the
// pages the games touch are ever used.
struct ChunkStore {
  std::string names;                          // the names one after another
  std::size_t name_at[max_players + 1] = {};  // where each player's name starts
  std::size_t namelen[max_players + 1] = {};
  int nptr = 0;
  int no_games = 0;  // results that were no game
  std::uint16_t count[max_players + 1][max_players + 1] = {};  // games of a pair a < b
  // By pair_index(a, b): only pairs a < b, one after another, so that the
  // games touch as few pages as can be.
  std::uint8_t points[max_players * (max_players - 1) / 2][max_pair_games];
};

// Frees a chunk store made by new_chunk_store.
struct ChunkStoreFree {
  std::pmr::memory_resource* mem;
  void operator()(ChunkStore* cs) const;
};
using ChunkStorePtr = std::unique_ptr<ChunkStore, ChunkStoreFree>;

// A new chunk store from mem (the run's arena), its points unwritten.
ChunkStorePtr new_chunk_store(std::pmr::memory_resource* mem = std::pmr::get_default_resource());

// Where the pair a < b stands in ChunkStore::points.
constexpr int pair_index(int a, int b) { return (b - 1) * (b - 2) / 2 + a - 1; }
static_assert(pair_index(max_players - 1, max_players) == max_players * (max_players - 1) / 2 - 1,
              "pair_index fills ChunkStore::points");

// The chunk's number for a name, registering it when it is new. Throws
// Failure when a 20th name would be registered.
int find_player(ChunkStore& cs, const char* name, std::size_t len);

inline bool has_name(const ChunkStore& cs, int p, const char* name, std::size_t len) {
  return cs.namelen[p] == len && std::memcmp(cs.names.data() + cs.name_at[p], name, len) == 0;
}

// Records one game of the chunk, as record_game does for the store.
inline void record_game(ChunkStore& cs, int w, int b, int p) {
  const int low = w < b ? w : b, high = w < b ? b : w;
  const int n = cs.count[low][high];
  if (n == max_pair_games) too_many_games();
  cs.points[pair_index(low, high)][n] = static_cast<std::uint8_t>(w < b ? p : 2 - p);
  cs.count[low][high] = static_cast<std::uint16_t>(n + 1);
}
