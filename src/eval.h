// Static evaluation and its parameter tables.
#pragma once

#include "general.h"

// A packed score holds the middlegame value in the low 16 bits and the endgame value above.
constexpr int S(int mg, int eg) { return eg * 65536 + mg; }
inline int mgScore(int packed) { return int16_t(uint16_t(uint32_t(packed))); }
inline int egScore(int packed) { return (packed + 32768) >> 16; }

extern const int pieceValue[8];
extern const int16_t pieceValuePhase[8];
extern const int pieceSquareScore[6][64];

// Static score from the side to move's point of view; the integer argument has no effect.
int evaluateN(int, positionStruct* pos);
