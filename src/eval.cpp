// Static evaluation: one pass over the bitboards summing packed middlegame/endgame scores,
// blended once by the game phase. Terms are white minus black throughout.
#include "eval.h"

#include <algorithm>
#include <cstdlib>

#include "moveTable.h"

pawnTableEntryStruct GPawnTable[PAWNTABLESIZE];

namespace {

constexpr U64 FILEABB = 0x0101010101010101ULL;
constexpr U64 FILEHBB = FILEABB << 7;
constexpr U64 RANK3BB = 0x0000000000FF0000ULL;
constexpr U64 RANK6BB = 0x0000FF0000000000ULL;
constexpr U64 LIGHTSQUARES = 0x55AA55AA55AA55AAULL;
constexpr U64 DARKSQUARES = 0xAA55AA55AA55AA55ULL;

// Piece kinds of the attack maps and of the piece tables (knight 0 .. queen 3), and the king.
enum evalKinds { KNIGHTKIND = 0, BISHOPKIND = 1, ROOKKIND = 2, QUEENKIND = 3, KINGKIND = 4 };

// What one call works with, per colour.
struct evalWorkStruct {
    U64 occupied;
    U64 passed;
    U64 pawnAttacks[2];
    U64 pawnDoubleAttacks[2];
    U64 blocked[2];
    U64 pushSquares[2];
    U64 pinned[2];
    U64 discovering[2];
    U64 mobilityArea[2];
    U64 kingZone[2];
    U64 attackedBy[2][5];
    U64 allAttacks[2];
    U64 doubleAttacks[2];
    int kingSquare[2];
    int attackCount[2];
    int attackWeight[2];
    int adjacentCount[2];
};

inline U64 pawnAttackSet(U64 pawns, int c) {
    return c == WHITE ? ((pawns & ~FILEABB) << 7) | ((pawns & ~FILEHBB) << 9)
                      : ((pawns & ~FILEABB) >> 9) | ((pawns & ~FILEHBB) >> 7);
}
inline U64 pawnDoubleAttackSet(U64 pawns, int c) {
    return c == WHITE ? ((pawns & ~FILEABB) << 7) & ((pawns & ~FILEHBB) << 9)
                      : ((pawns & ~FILEABB) >> 9) & ((pawns & ~FILEHBB) >> 7);
}
inline U64 forward(U64 b, int c) { return c == WHITE ? b << 8 : b >> 8; }
inline int oriented(int s, int c) { return c == WHITE ? s ^ 56 : s; }
inline int relativeRank(int s, int c) { return c == WHITE ? s >> 3 : 7 - (s >> 3); }
// The man of b nearest to c's first rank.
inline int nearestToOwnSide(U64 b, int c) { return c == WHITE ? lowestSquare(b) : 63 - __builtin_clzll(b); }

// Men that stand alone between the king on k and an enemy slider of the given sets: those of
// the king's side are pinned, those of the slider's side discover an attack when they move.
// One walk over the sliders serves both.
void loneBlockers(int k, U64 rookSliders, U64 bishopSliders, U64 occupied, U64 kingSide, U64* pinned,
                  U64* discovering) {
    U64 snipers = (rookAttackAll[k] & rookSliders) | (bishopAttackAll[k] & bishopSliders);
    while (snipers) {
        U64 between = inBetweenSquares[k][popLowest(snipers)] & occupied;
        if (!between || (between & (between - 1))) continue;
        if (between & kingSide) *pinned |= between;
        else *discovering |= between;
    }
}

// Pawn structure and the storm against c's king, from c's point of view; marks passed pawns.
// Each colour is compiled on its own, so that the side-dependent shifts and tables fold away.
template <int COLOUR>
int pawnScore(const positionStruct* pos, int sameWing, U64* passed) {
    constexpr int c = COLOUR, opp = c ^ 1;
    const U64 own = pos->pieceBB[WPAWN + c];
    const U64 enemy = pos->pieceBB[WPAWN + opp];
    const int k = lowestSquare(pos->pieceBB[WKING + c]);
    const int oppK = lowestSquare(pos->pieceBB[WKING + opp]);
    int score = 0;

    const int centre = std::clamp(k & 7, 1, 6);
    for (int f = centre - 1; f <= centre + 1; f++) {
        const U64 ahead = ranksAtOrAbove[c][k] & files[f];
        const U64 theirs = ahead & enemy;
        const U64 ours = ahead & own;
        const int dOpp = theirs ? std::abs((k >> 3) - (nearestToOwnSide(theirs, c) >> 3)) : 7;
        const int dOwn = ours ? std::abs((k >> 3) - (nearestToOwnSide(ours, c) >> 3)) : 7;
        const int blocked = dOpp != 7 && dOwn == dOpp - 1;
        score += EVALPAWNSTORM[blocked + 2 * sameWing][f][dOpp];
    }
    const U64 kingFiles = files[centre - 1] | files[centre] | files[centre + 1];

    U64 pawns = own;
    while (pawns) {
        const int s = popLowest(pawns);
        const int t = c == WHITE ? s + 8 : s - 8;
        const int x = s & 7;
        const int r = relativeRank(s, c);
        const bool onKingFile = (kingFiles >> x) & 1;
        const U64 oppFront = attackByPawnTable[opp][t] & enemy;
        const U64 defenders = attackByPawnTable[c][s] & own;
        const U64 neighbours = attackByPawnTable[c][t] & own;
        const U64 span = passedPawnsMask[c][s] & enemy;

        if (!span) {
            *passed |= squareBit(s);
            score += EVALPAWNPASSED[oriented(s, c)] + distance[t][k] * EVALPAWNPASSEDDISTOWN[r] +
                     distance[t][oppK] * EVALPAWNPASSEDDISTOTHER[r];
        } else {
            // A candidate: only the pawns that guard its path stand in the way, and it has
            // at least as many helpers beside it.
            const U64 attackers = attackByPawnTable[opp][s] & enemy;
            if ((span ^ attackers) == oppFront && popCount(neighbours) >= popCount(oppFront))
                score += EVALPAWNPASSEDCANDIDATE[popCount(defenders) < popCount(attackers) ? 0 : 1][r];
        }
        if (!(isolatedPawns[s] & own)) {
            score += EVALPAWNISOLATED[x];
            if (onKingFile) score += EVALKINGFILEISOLATED;
        }
        if (files[x] & own & (~U64(1) << s)) {
            score += EVALPAWNDOUBLED[x];
            if (onKingFile) score += EVALKINGFILEDOUBLED;
        }
        if (!(passedPawnsMask[opp][s] & own) && oppFront) {
            if (onKingFile) score += EVALKINGFILEBACKWARD;
            if (!(files[x] & enemy)) score += EVALPAWNBACKHALF[x];
        }
        if (defenders) score += EVALPAWNCONNECTED[r];
        if (neighbours) score += EVALPAWNNEIGHBOUR[r];
    }
    return score;
}

// The pawn term (white minus black) and the passed pawns, from the pawn table when it knows them.
int probePawnTable(const positionStruct* pos, U64* passed) {
    pawnTableEntryStruct* entry = &pos->pawnTable[pos->pawnKingKey & (PAWNTABLESIZE - 1)];
    if (entry->key == pos->pawnKingKey) {
        *passed = entry->passed;
        return entry->score;
    }
    const int whiteKingFile = lowestSquare(pos->pieceBB[WKING]) & 7;
    const int blackKingFile = lowestSquare(pos->pieceBB[BKING]) & 7;
    const int sameWing = (whiteKingFile < 4) == (blackKingFile < 4);
    *passed = 0;
    const int score = pawnScore<WHITE>(pos, sameWing, passed) - pawnScore<BLACK>(pos, sameWing, passed);
    entry->key = pos->pawnKingKey;
    entry->passed = *passed;
    entry->score = score;
    return score;
}

// The king and the pawn sets of c.
template <int COLOUR>
void setUpPawns(const positionStruct* pos, evalWorkStruct& w) {
    constexpr int c = COLOUR;
    const U64 pawns = pos->pieceBB[WPAWN + c];
    w.kingSquare[c] = lowestSquare(pos->pieceBB[WKING + c]);
    w.kingZone[c] = kingSafetyArea[c][w.kingSquare[c]];
    w.pawnAttacks[c] = pawnAttackSet(pawns, c);
    w.pawnDoubleAttacks[c] = pawnDoubleAttackSet(pawns, c);
    w.blocked[c] = pawns & forward(w.occupied, c ^ 1);
}

// Push squares, pins of c's men, c's discovering men, and c's attack maps as far as pawns and
// king make them; needs both colours' pawn sets.
template <int COLOUR>
void setUpSide(const positionStruct* pos, evalWorkStruct& w) {
    constexpr int c = COLOUR, opp = c ^ 1;
    const U64 single = forward(pos->pieceBB[WPAWN + c], c) & ~w.occupied;
    const U64 thirdRank = single & (c == WHITE ? RANK3BB : RANK6BB) & ~w.pawnAttacks[opp];
    w.pushSquares[c] = single | (forward(thirdRank, c) & ~w.occupied);

    const U64 oppRooks = pos->pieceBB[WROOK + opp] | pos->pieceBB[WQUEEN + opp];
    const U64 oppBishops = pos->pieceBB[WBISHOP + opp] | pos->pieceBB[WQUEEN + opp];
    loneBlockers(w.kingSquare[c], oppRooks, oppBishops, w.occupied, pos->pieceBB[c], &w.pinned[c], &w.discovering[opp]);

    const U64 kingAttacks = kingAttackTable[w.kingSquare[c]];
    for (U64& map : w.attackedBy[c]) map = 0;
    w.attackedBy[c][KINGKIND] = kingAttacks;
    w.allAttacks[c] = w.pawnAttacks[c] | kingAttacks;
    w.doubleAttacks[c] = w.pawnDoubleAttacks[c] | (w.pawnAttacks[c] & kingAttacks);
    w.attackCount[c] = popCount(kingSafetyArea[opp][w.kingSquare[opp]] & w.pawnAttacks[c]);
    w.attackWeight[c] = 0;
    w.adjacentCount[c] = 0;
}

void setUpWork(const positionStruct* pos, evalWorkStruct& w) {
    w.occupied = pos->pieceBB[WHITE] | pos->pieceBB[BLACK];
    w.pinned[WHITE] = w.pinned[BLACK] = 0;
    w.discovering[WHITE] = w.discovering[BLACK] = 0;
    setUpPawns<WHITE>(pos, w);
    setUpPawns<BLACK>(pos, w);
    setUpSide<WHITE>(pos, w);
    setUpSide<BLACK>(pos, w);
}

// Mobility, attack maps, pins, outposts and placement of c's pieces of one kind.
template <int KIND, int COLOUR>
void evaluateKind(const positionStruct* pos, evalWorkStruct& w, evalTermsStruct& e) {
    constexpr int c = COLOUR, opp = c ^ 1;
    const int k = w.kingSquare[c];
    const U64 ownQueens = pos->pieceBB[WQUEEN + c];
    const U64 ownRooks = pos->pieceBB[WROOK + c];
    const U64 ownPawns = pos->pieceBB[WPAWN + c];
    const U64 oppPawns = pos->pieceBB[WPAWN + opp];
    const U64 oppKingAttacks = kingAttackTable[w.kingSquare[opp]];
    U64 men = pos->pieceBB[WKNIGHT + 2 * KIND + c];
    while (men) {
        const int s = popLowest(men);
        const U64 bit = squareBit(s);
        U64 a;
        if (KIND == KNIGHTKIND) a = knightAttackTable[s];
        else if (KIND == BISHOPKIND) a = bishopAttacks(s, w.occupied & ~ownQueens);
        else if (KIND == ROOKKIND) a = rookAttacks(s, w.occupied & ~(ownRooks | ownQueens));
        else a = rookAttacks(s, w.occupied & ~(ownRooks | ownQueens)) | bishopAttacks(s, w.occupied & ~ownQueens);

        if (w.pinned[c] & bit) {
            a &= inLineSquares[k][s];
            e.pins[c] += EVALPINNED[(w.pawnAttacks[opp] & bit) ? 1 : 0][KIND];
        }
        if (w.discovering[c] & bit) e.pins[c] += EVALDISCOVERY[KIND];

        const int reach = popCount(a & w.mobilityArea[c]);
        if (KIND == KNIGHTKIND) e.mobility[c] += EVALMOBILITYKNIGHT[reach];
        else if (KIND == BISHOPKIND) e.mobility[c] += EVALMOBILITYBISHOP[reach];
        else if (KIND == ROOKKIND) e.mobility[c] += EVALMOBILITYROOK[reach];
        else e.mobility[c] += EVALMOBILITYQUEEN[reach];

        w.doubleAttacks[c] |= a & w.allAttacks[c];
        w.allAttacks[c] |= a;
        w.attackedBy[c][KIND] |= a;
        if (a & w.kingZone[opp]) {
            w.attackCount[c]++;
            w.attackWeight[c] += EVALKINGATTACKWEIGHT[KIND];
            w.adjacentCount[c] += popCount(a & oppKingAttacks);
        }

        if (KIND == KNIGHTKIND || KIND == BISHOPKIND) {
            // An outpost cannot be chased away by an enemy pawn.
            if ((outpostMask[c] & bit) && !(passedPawnsMask[c][s] & ~files[s & 7] & oppPawns)) {
                const int defended = (w.pawnAttacks[c] & bit) ? 1 : 0;
                e.outposts[c] += KIND == KNIGHTKIND ? EVALOUTPOSTKNIGHT[defended] : EVALOUTPOSTBISHOP[defended];
            }
            e.placement[c] += EVALKINGDISTANCE * distance[s][k];
        }
        if (KIND == BISHOPKIND) {
            const U64 colour = (bit & LIGHTSQUARES) ? LIGHTSQUARES : DARKSQUARES;
            e.placement[c] += EVALBISHOPBLOCKEDPAWN * popCount(w.blocked[c] & colour);
        }
        if (KIND == ROOKKIND && !(ownPawns & files[s & 7]))
            e.placement[c] += EVALROOKONOPEN[(oppPawns & files[s & 7]) ? 0 : 1];
    }
}

template <int COLOUR>
void evaluatePieces(const positionStruct* pos, evalWorkStruct& w, evalTermsStruct& e) {
    constexpr int c = COLOUR, opp = c ^ 1;
    // Shelter: on each file of the king zone the own pawn nearest the own first rank.
    int shelter = 0;
    U64 shield = pos->pieceBB[WPAWN + c] & w.kingZone[c];
    while (shield) {
        const int s = nearestToOwnSide(shield, c);
        shelter += EVALPAWNSHIELD[oriented(s, c)];
        shield &= ~files[s & 7];
    }
    if (!pos->pieceBB[WQUEEN + opp]) shelter /= 2;
    e.shelter[c] = shelter;

    w.mobilityArea[c] = ~(w.pawnAttacks[opp] | w.blocked[c] | pos->pieceBB[WKING + c]);
    evaluateKind<KNIGHTKIND, c>(pos, w, e);
    evaluateKind<BISHOPKIND, c>(pos, w, e);
    evaluateKind<ROOKKIND, c>(pos, w, e);
    evaluateKind<QUEENKIND, c>(pos, w, e);
}

template <int COLOUR>
void evaluateThreats(const positionStruct* pos, const evalWorkStruct& w, evalTermsStruct& e) {
    constexpr int c = COLOUR, opp = c ^ 1;
    const U64 ownPawns = pos->pieceBB[WPAWN + c];
    const U64 ownQueens = pos->pieceBB[WQUEEN + c];
    const U64 ownRooks = pos->pieceBB[WROOK + c];
    const U64 minors = pos->pieceBB[WKNIGHT + c] | pos->pieceBB[WBISHOP + c];
    const U64 pieces = minors | ownRooks | ownQueens;
    const U64 weak = (w.doubleAttacks[opp] & ~w.pawnAttacks[c] & ~w.doubleAttacks[c]) |
                     (w.allAttacks[opp] & ~w.allAttacks[c]);
    const U64 oppMinorAttacks = w.attackedBy[opp][KNIGHTKIND] | w.attackedBy[opp][BISHOPKIND];
    const U64 oppMajorAttacks = w.attackedBy[opp][ROOKKIND] | w.attackedBy[opp][QUEENKIND];

    int v = EVALPASSEDFRONTATTACKED * popCount(forward(w.passed & ownPawns, c) & w.allAttacks[c]);
    const U64 safePushes = w.pushSquares[c] & (~w.allAttacks[opp] | w.allAttacks[c]);
    v += EVALSAFEPUSH * popCount(safePushes);
    const U64 pushThreats =
        pawnAttackSet(safePushes & ~w.pawnAttacks[opp], c) & pos->pieceBB[opp] & ~w.pawnAttacks[c];
    v += EVALPAWNPUSHTHREAT * popCount(pushThreats);
    v += EVALDEFENDEDONCE * popCount(pieces & w.allAttacks[opp] & w.allAttacks[c] & ~w.doubleAttacks[c]);
    v += EVALQUEENATTACKED * popCount(ownQueens & w.allAttacks[opp]);
    v += EVALROOKATTACKEDBYMINOR * popCount(ownRooks & (oppMinorAttacks | w.pawnAttacks[opp]));
    v += EVALWEAKMINORBYMAJOR * popCount(minors & weak & oppMajorAttacks);
    v += EVALMINORBYMINOR * popCount(minors & oppMinorAttacks);
    v += EVALMINORBYPAWN * popCount(minors & w.pawnAttacks[opp]);
    v += EVALWEAKPAWN * popCount(ownPawns & weak & ~w.pawnAttacks[opp]);
    if (!(ownPawns & kingSideFiles[w.kingSquare[c] & 7])) v += EVALKINGFLANKNOPAWN;
    e.threats[c] = v;
}

template <int COLOUR>
void evaluateKingDanger(const positionStruct* pos, const evalWorkStruct& w, evalTermsStruct& e) {
    constexpr int c = COLOUR, opp = c ^ 1;
    const int oppQueens = popCount(pos->pieceBB[WQUEEN + opp]);
    e.kingDanger[c] = 0;
    if (oppQueens + w.attackCount[opp] < 2) return;

    const int k = w.kingSquare[c];
    const U64 ring = w.kingZone[c];
    const U64 kWeak = (w.attackedBy[c][KINGKIND] | w.attackedBy[c][QUEENKIND] | ~w.allAttacks[c]) &
                      w.allAttacks[opp] & ~w.doubleAttacks[c];
    const U64 safe = ~pos->pieceBB[opp] & (~w.allAttacks[c] | (kWeak & w.doubleAttacks[opp]));

    const U64 occupied = w.occupied & ~pos->pieceBB[WQUEEN + c];
    const U64 rookLines = rookAttacks(k, occupied);
    const U64 bishopLines = bishopAttacks(k, occupied);
    const U64 rookChecks = rookLines & w.attackedBy[opp][ROOKKIND];
    const U64 bishopChecks = bishopLines & w.attackedBy[opp][BISHOPKIND];
    const U64 knightChecks = knightAttackTable[k] & w.attackedBy[opp][KNIGHTKIND];
    const U64 queenChecks =
        w.attackedBy[opp][QUEENKIND] & ~w.attackedBy[c][QUEENKIND] & (rookLines | bishopLines);

    U64 unsafeChecks = 0;
    if (!(rookChecks & safe)) unsafeChecks |= rookChecks;
    if (!(bishopChecks & safe)) unsafeChecks |= bishopChecks;
    if (!(knightChecks & safe)) unsafeChecks |= knightChecks;
    unsafeChecks &= w.mobilityArea[opp];

    const U64 flankAttacks = kingSideFiles[k & 7] & RANK1TO5BB[c] & w.allAttacks[opp];
    const int flank = popCount(flankAttacks) + popCount(flankAttacks & w.doubleAttacks[opp] & ~w.pawnAttacks[c]);

    int danger = w.attackCount[opp] * w.attackWeight[opp] + KDADJACENT * w.adjacentCount[opp] +
                 KDWEAKRING * popCount(ring & kWeak) + KDUNSAFECHECK * popCount(unsafeChecks) + KDFLANK * flank +
                 ((rookChecks & safe) ? KDSAFEROOKCHECK : 0) + ((queenChecks & safe) ? KDSAFEQUEENCHECK : 0) +
                 ((bishopChecks & safe) ? KDSAFEBISHOPCHECK : 0) + ((knightChecks & safe) ? KDSAFEKNIGHTCHECK : 0) -
                 KDPINNEDRING * popCount(ring & w.pinned[c]) - (oppQueens ? 0 : KDNOQUEEN) - KDOFFSET;
    if (danger > 0) {
        const uint32_t squared = uint32_t(danger) * uint32_t(danger);
        e.kingDanger[c] = -S(int(squared / KDMGDIVISOR), danger / KDEGDIVISOR);
    }
}

} // namespace

int blendScore(int packed, int phase) {
    const int p = std::clamp(phase, PHASEMIN, PHASEMAX);
    const int blended = (mgScore(packed) * (p - PHASEMIN) + egScore(packed) * (PHASEMAX - p)) / (PHASEMAX - PHASEMIN);
    return int16_t(blended);
}

int evaluatePacked(positionStruct* pos, evalTermsStruct* terms) {
    evalTermsStruct e{};
    evalWorkStruct w;

    e.pawns = probePawnTable(pos, &w.passed);
    setUpWork(pos, w);
    evaluatePieces<WHITE>(pos, w, e);
    evaluatePieces<BLACK>(pos, w, e);
    evaluateThreats<WHITE>(pos, w, e);
    evaluateKingDanger<WHITE>(pos, w, e);
    evaluateThreats<BLACK>(pos, w, e);
    evaluateKingDanger<BLACK>(pos, w, e);
    for (int c = WHITE; c <= BLACK; c++) {
        if (popCount(pos->pieceBB[WBISHOP + c]) == 2) e.bishopPair[c] = EVALBISHOPPAIR;
    }
    e.tempo[pos->sideToMove & 1] = EVALTEMPO;

    int sides[2];
    for (int c = WHITE; c <= BLACK; c++)
        sides[c] = e.shelter[c] + e.mobility[c] + e.outposts[c] + e.pins[c] + e.placement[c] + e.threats[c] +
                   e.kingDanger[c] + e.bishopPair[c] + e.tempo[c];
    const int total = pos->material[WHITE] - pos->material[BLACK] + pos->psqScore[WHITE] - pos->psqScore[BLACK] +
                      e.pawns + sides[WHITE] - sides[BLACK];
    if (terms) *terms = e;
    return total;
}

int pawnStructureOf(const positionStruct* pos, int c) {
    const int whiteKingFile = lowestSquare(pos->pieceBB[WKING]) & 7;
    const int blackKingFile = lowestSquare(pos->pieceBB[BKING]) & 7;
    const int sameWing = (whiteKingFile < 4) == (blackKingFile < 4);
    U64 passed = 0;
    return c == WHITE ? pawnScore<WHITE>(pos, sameWing, &passed) : pawnScore<BLACK>(pos, sameWing, &passed);
}
