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

double rank_key(const Store& st, int p) {
  return st.pt[p] * 1e14 / (st.games[p] + 0.01) + st.Buch[p] * 1e6 + st.SB[p];
}

void rank_players(Store& st) {
  for (int i = 1; i <= st.nptr; ++i) st.r[i] = i;
  for (int i = 1; i <= st.nptr; ++i) {
    // Only a strictly greater key wins, and the exchange moves the displaced
    // player: equal keys do not keep registration order.
    double best = -1.0;
    int bestpos = i;
    for (int k = i; k <= st.nptr; ++k) {
      const double key = rank_key(st, st.r[k]);
      if (key > best) {
        best = key;
        bestpos = k;
      }
    }
    std::swap(st.r[i], st.r[bestpos]);
  }
}
