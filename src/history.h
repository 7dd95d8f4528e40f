// The history tables that order the quiet moves: the butterfly history, the counter-move and
// follow-up histories by the previous moves, counter moves and killers.
#pragma once

#include "general.h"

// Clears killers, counter moves and the three history tables of a position.
void clearSearchTables(positionStruct* pos);

// History bonus for a cut-off at depth, and the two updates of a table entry.
int historyBonus(int depth);
short historyReward(short entry, int bonus);
short historyPenalty(short entry, int bonus);
// Killer, counter-move and history updates after quiet move m cut off at ply.
void updateQuietHistory(unsigned char ply, int depth, moveStruct move, positionStruct* pos);
