// Tie-breaks and the order of the players.
#pragma once

#include "store.h"

// Fills Buch (half-points) and SB (quarter-points) from the final scores.
void compute_tiebreaks(Store& st);

// The weighted key that orders players: score ratio, then Buchholz, then SB.
double rank_key(const Store& st, int p);

// Fills r with the player numbers in rank order (a selection sort by rank_key).
void rank_players(Store& st);
