// The hand-set static evaluation and its parameter tables. The search asks evaluate.h, which
// adds the evaluation cache and the pawnless-draw rule.
#pragma once

#include "general.h"

// A packed score holds the middlegame value in the low 16 bits and the endgame value above.
constexpr int S(int mg, int eg) { return eg * 65536 + mg; }
inline int mgScore(int packed) { return int16_t(uint16_t(uint32_t(packed))); }
inline int egScore(int packed) { return (packed + 32768) >> 16; }

extern const int pieceValue[8];
extern const int16_t pieceValuePhase[8];
extern const int pieceSquareScore[6][64];

// Pawn-structure tables, by file or by relative rank; square tables use s ^ 56 for white.
extern const int EVALPAWNISOLATED[8];
extern const int EVALPAWNDOUBLED[8];
extern const int EVALPAWNBACKHALF[8];
extern const int EVALPAWNCONNECTED[8];
extern const int EVALPAWNNEIGHBOUR[8];
extern const int EVALPAWNPASSEDDISTOWN[8];
extern const int EVALPAWNPASSEDDISTOTHER[8];
extern const int EVALPAWNPASSEDCANDIDATE[2][8];
extern const int EVALPAWNPASSED[64];
extern const int EVALPAWNSHIELD[64];
// [blocked + 2 * kings on the same wing][file][rank distance of the nearest enemy pawn]
extern const int EVALPAWNSTORM[4][8][8];

extern const int EVALOUTPOSTKNIGHT[2];
extern const int EVALOUTPOSTBISHOP[2];
extern const int EVALROOKONOPEN[4];
extern const int EVALMOBILITYKNIGHT[12];
extern const int EVALMOBILITYBISHOP[16];
extern const int EVALMOBILITYROOK[16];
extern const int EVALMOBILITYQUEEN[28];

// Single weights. Tables below indexed by piece kind use knight 0, bishop 1, rook 2, queen 3.
constexpr int EVALBISHOPPAIR = S(27, 43);
constexpr int EVALTEMPO = S(25, 17);
constexpr int EVALKINGFILEISOLATED = S(-5, 2);
constexpr int EVALKINGFILEDOUBLED = S(5, -8);
constexpr int EVALKINGFILEBACKWARD = S(-1, 3);
constexpr int EVALKINGDISTANCE = S(-2, -1);       // per square between a minor and its own king
constexpr int EVALBISHOPBLOCKEDPAWN = S(-2, -12); // per own blocked pawn on the bishop's colour
inline constexpr int EVALPINNED[2][4] = {
    {S(14, 3), S(22, 5), S(27, 26), S(-19, 22)},            // not attacked by a pawn
    {S(-52, -107), S(-104, -154), S(-45, -97), S(-101, -349)}, // attacked by a pawn
};
inline constexpr int EVALDISCOVERY[4] = {S(132, 74), S(122, 66), S(176, 142), S(373, 368)};

constexpr int EVALPASSEDFRONTATTACKED = S(0, 7);
constexpr int EVALSAFEPUSH = S(0, 4);
constexpr int EVALPAWNPUSHTHREAT = S(16, 8);
constexpr int EVALDEFENDEDONCE = S(-3, -15);
constexpr int EVALQUEENATTACKED = S(-54, 3);
constexpr int EVALROOKATTACKEDBYMINOR = S(-54, -7);
constexpr int EVALWEAKMINORBYMAJOR = S(-22, -29);
constexpr int EVALMINORBYMINOR = S(-19, -22);
constexpr int EVALMINORBYPAWN = S(-62, -25);
constexpr int EVALWEAKPAWN = S(-5, -22);
constexpr int EVALKINGFLANKNOPAWN = S(-8, -9);

// King danger, in its own unit before it becomes a score.
inline constexpr int EVALKINGATTACKWEIGHT[4] = {10, 18, 29, 11};
constexpr int KDADJACENT = 41;
constexpr int KDWEAKRING = 75;
constexpr int KDUNSAFECHECK = 92;
constexpr int KDFLANK = 15;
constexpr int KDSAFEROOKCHECK = 473;
constexpr int KDSAFEQUEENCHECK = 354;
constexpr int KDSAFEBISHOPCHECK = 165;
constexpr int KDSAFEKNIGHTCHECK = 436;
constexpr int KDPINNEDRING = 45;
constexpr int KDNOQUEEN = 645;
constexpr int KDOFFSET = 296;
constexpr int KDMGDIVISOR = 4105;
constexpr int KDEGDIVISOR = 27;

// The phase is clamped to this range; the blend weights are phase - min and max - phase.
constexpr int PHASEMIN = 499;
constexpr int PHASEMAX = 6191;

// The per-thread pawn table.
constexpr int PAWNTABLESIZE = 65536;

struct pawnTableEntryStruct {
    U64 key;       // pawnKingKey
    U64 passed;    // passed pawns of both colours
    int32_t score; // packed, white minus black
};
static_assert(sizeof(pawnTableEntryStruct) == 24, "pawn entry is 24 bytes");

// The global position's pawn table; every search thread owns its own.
extern pawnTableEntryStruct GPawnTable[PAWNTABLESIZE];

// The evaluation's terms as packed scores, each from its own side's point of view
// (the pawn term is white minus black, as the pawn table keeps it).
struct evalTermsStruct {
    int pawns;
    int shelter[2];
    int mobility[2];
    int outposts[2];
    int pins[2];      // pinned pieces and discovered-attack candidates
    int placement[2]; // king distance of minors, bishops' blocked pawns, rooks on open files
    int threats[2];
    int kingDanger[2];
    int bishopPair[2];
    int tempo[2];
};

// Blends a packed score by the game phase (clamped), truncating toward zero to 16 bits.
int blendScore(int packed, int phase);
// The packed white-minus-black total of a position, without the evaluation cache or the
// pawnless-draw rule; the pawn table is used and filled. Fills terms when given.
int evaluatePacked(positionStruct* pos, evalTermsStruct* terms = nullptr);
// The pawn-structure and pawn-storm term of colour c alone, from c's point of view (the pawn
// term is white's minus black's); the pawn table is left alone.
int pawnStructureOf(const positionStruct* pos, int c);
