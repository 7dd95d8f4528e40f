// Attack tables and bitboard helpers, filled once by initBitboardConstants().
#pragma once

#include "general.h"

inline int popCount(U64 b) { return __builtin_popcountll(b); }
inline int lowestSquare(U64 b) { return __builtin_ctzll(b); }
inline int popLowest(U64& b) {
    int s = __builtin_ctzll(b);
    b &= b - 1;
    return s;
}
inline U64 squareBit(int s) { return U64(1) << s; }

struct MagicRecord {
    U64* table;
    U64 mask;
    U64 magic;
    uint32_t shift;
};

constexpr int ROOKTABLESIZE = 102400;
constexpr int BISHOPTABLESIZE = 5248;

extern MagicRecord rookAttackLUT[64];
extern MagicRecord bishopAttackLUT[64];
extern U64 rookAttackTable[ROOKTABLESIZE];
extern U64 bishopAttackTable[BISHOPTABLESIZE];

extern U64 knightAttackTable[64];
extern U64 kingAttackTable[64];
extern U64 attackByPawnTable[2][64];
extern U64 enpassantTable[64];
extern U64 rookAttackAll[64];
extern U64 bishopAttackAll[64];
extern U64 inBetweenSquares[64][64];
extern U64 inLineSquares[64][64];
extern uint8_t distance[64][64];
extern U64 ranksAtOrAbove[2][64];
extern U64 isolatedPawns[64];
extern U64 passedPawnsMask[2][64];
extern U64 kingSafetyArea[2][64];

extern const U64 files[8];
extern const U64 outpostMask[2];
extern const U64 kingSideFiles[8];
extern const U64 RANK1TO5BB[2];

inline U64 rookAttacks(int s, U64 occupancy) {
    const MagicRecord& r = rookAttackLUT[s];
    return r.table[((occupancy & r.mask) * r.magic) >> r.shift];
}
inline U64 bishopAttacks(int s, U64 occupancy) {
    const MagicRecord& r = bishopAttackLUT[s];
    return r.table[((occupancy & r.mask) * r.magic) >> r.shift];
}
inline U64 queenAttacks(int s, U64 occupancy) { return rookAttacks(s, occupancy) | bishopAttacks(s, occupancy); }

void initBitboardConstants();
