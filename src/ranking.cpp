#include "ranking.h"

#include <climits>
#include <utility>

// Each player meets at most 18 others at most 998 times, so every sum fits an int.
static_assert(18LL * (2LL * 18 * max_pair_games) * (2LL * max_pair_games) <= INT_MAX,
              "Sonneborn-Berger overflows an int");

void compute_tiebreaks(Store& st) {
  for (int i = 1; i <= st.nptr; ++i)
    for (int k = 1; k <= st.nptr; ++k) {
      st.Buch[i] += st.pt[k] * st.s[i][k][0];
      st.SB[i] += st.pt[k] * st.s[i][k][1];
    }
}

bool ranks_before(const Store& st, int p, int q) {
  // pt[p] / (games[p] + 0.01) > pt[q] / (games[q] + 0.01), scaled by 100 to
  // integers: a league's points times its games stay far inside 64 bits.
  const long long ratio_p = st.pt[p] * (100LL * st.games[q] + 1);
  const long long ratio_q = st.pt[q] * (100LL * st.games[p] + 1);
  if (ratio_p != ratio_q) return ratio_p > ratio_q;
  if (st.Buch[p] != st.Buch[q]) return st.Buch[p] > st.Buch[q];
  return st.SB[p] > st.SB[q];
}

void rank_players(Store& st) {
  for (int i = 1; i <= st.nptr; ++i) st.r[i] = i;
  for (int i = 1; i <= st.nptr; ++i) {
    // Only a player strictly before the best so far wins, and the exchange
    // moves the displaced player: equal players do not keep registration order.
    int bestpos = i;
    for (int k = i + 1; k <= st.nptr; ++k)
      if (ranks_before(st, st.r[k], st.r[bestpos])) bestpos = k;
    std::swap(st.r[i], st.r[bestpos]);
  }
}
