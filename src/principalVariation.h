// The principal variation, read back from the transposition table.
#pragma once

#include <string>

#include "general.h"

// The moves of the exact table entries from the root, at most maxMoves, into the ply records'
// pvMove fields and pvLength.
void getPVFromHashTable(unsigned char, positionStruct* pos, int maxMoves);
// The variation of one root move: the move, then the table's moves after it.
void getPVFromMove(positionStruct* pos, moveStruct first, int maxMoves);
// The variation as move words separated by blanks.
std::string PVToString(positionStruct* pos);
