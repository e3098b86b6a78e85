#include "store.h"

#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <new>

// Powers of 23 for eight bytes at a time: h * 23^8 + c0 * 23^7 + ... + c7.
constexpr std::uint32_t pow23[9] = {1u,      23u,       529u,       12167u,     279841u,
                                    6436343u, 148035889u, 3404825447u, 1001573953u};

int name_hash(const char* name, std::size_t len) {
  // h * 23 + c over each byte, eight bytes per step so that the multiplications
  // do not wait on one another; unsigned so that the wrap-around is defined.
  const auto c = [name](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<signed char>(name[i]));
  };
  std::uint32_t h = 0;
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    std::uint32_t step = 0;
    for (std::size_t k = 0; k < 8; ++k) step += c(i + k) * pow23[7 - k];
    h = h * pow23[8] + step;
  }
  for (; i < len; ++i) h = h * 23 + c(i);
  return static_cast<std::int32_t>(h);
}

void clear_store(Store& st) {
  st.~Store();
  new (&st) Store();
}

[[noreturn]] void too_many_games() {
  throw content_failure("too many games between two players (at most " +
                        std::to_string(max_pair_games) + ")");
}

[[noreturn]] static void too_many_players() {
  throw content_failure("too many players (at most " + std::to_string(max_players) + ")");
}

int find_player(Store& st, const char* name, std::size_t len) {
  const int h = name_hash(name, len);
  // A slot is used when it holds a player number; its hash only narrows the
  // search, the name's own bytes decide identity.
  int j = h & (hash_slots - 1);
  while (st.nrhash[j] != 0) {
    if (st.hashkey[j] == h && has_name(st, st.nrhash[j], name, len))
      return st.nrhash[j];
    j = (j + 1) & (hash_slots - 1);
  }
  if (st.nptr == max_players) too_many_players();

  const int p = ++st.nptr;
  st.hashkey[j] = h;
  st.nrhash[j] = p;
  st.namehash[p] = st.cptr;
  st.namelen[p] = len;
  st.names.append(name, len);
  if (len < name_field) st.names.append(name_field - len, ' ');
  st.names.push_back('\0');
  st.cptr = st.names.size();
  return p;
}

void record_games(Store& st, int a, int b, const std::uint8_t* points, int n) {
  int* as = st.s[a][b];
  int* bs = st.s[b][a];
  if (as[0] + n > max_pair_games) too_many_games();
  int* a_games = as + 2 + as[0];
  int* b_games = bs + 2 + bs[0];
  int sum = 0;
  for (int g = 0; g < n; ++g) {
    a_games[g] = symbol_of(points[g]);
    b_games[g] = symbol_of(2 - points[g]);
    sum += points[g];
  }
  as[0] += n;
  bs[0] += n;
  as[1] += sum;
  bs[1] += 2 * n - sum;
  if (as[0] > st.maxn) st.maxn = as[0];
  st.pt[a] += sum;
  st.games[a] += n;
  st.pt[b] += 2 * n - sum;
  st.games[b] += n;
}

int find_player(ChunkStore& cs, const char* name, std::size_t len) {
  // Few names, and the reader asks only for those its own table misses.
  for (int p = 1; p <= cs.nptr; ++p)
    if (has_name(cs, p, name, len)) return p;
  if (cs.nptr == max_players) too_many_players();
  const int p = ++cs.nptr;
  cs.name_at[p] = cs.names.size();
  cs.namelen[p] = len;
  cs.names.append(name, len);
  return p;
}

ChunkStorePtr new_chunk_store(std::pmr::memory_resource* mem) {
  void* at = mem->allocate(sizeof(ChunkStore), alignof(ChunkStore));
  return ChunkStorePtr(new (at) ChunkStore, ChunkStoreFree{mem});
}

void ChunkStoreFree::operator()(ChunkStore* cs) const {
  cs->~ChunkStore();
  mem->deallocate(cs, sizeof(ChunkStore), alignof(ChunkStore));
}

std::string_view stored_name(const Store& st, int p) {
  const std::size_t len = st.namelen[p] < name_field ? name_field : st.namelen[p];
  return std::string_view(st.names).substr(st.namehash[p], len);
}
