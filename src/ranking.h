// Tie-breaks and the order of the players.
#pragma once

#include "store.h"

// Fills Buch (half-points) and SB (quarter-points) from the final scores.
void compute_tiebreaks(Store& st);

// Whether player p ranks before q: the larger score ratio pt / (games + 0.01),
// compared exactly; at equal ratios the larger Buchholz, then the larger SB.
bool ranks_before(const Store& st, int p, int q);

// Fills r with the player numbers in rank order (a selection sort by ranks_before).
void rank_players(Store& st);
