// Correction history: the tables' arithmetic, their keys and updates.
#include "correctionHistory.h"

#include <cstring>
#include <initializer_list>

#include "hash.h"
#include "score.h"

namespace {

constexpr int CORRECTIONINDEXBITS = 14;
static_assert(CORRECTIONSIZE == 1 << CORRECTIONINDEXBITS, "the index is the key's top bits");
// A corrected evaluation stays below every tablebase score of the deepest ply.
constexpr int CORRECTEDEVALLIMIT = TBWINSCORE - MAXPLY - 1;
// Odd multipliers that spread each piece type's bitboard over the key's top bits.
constexpr U64 PIECEKEYMULTIPLIER[5] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL,
                                       0xD6E8FEB86659FD93ULL, 0xFF51AFD7ED558CCDULL};

inline int clampTo(int v, int limit) { return v < -limit ? -limit : (v > limit ? limit : v); }
inline int indexOf(U64 key) { return int(key >> (64 - CORRECTIONINDEXBITS)); }

} // namespace

int correctionWeight(int depth) {
    int w = depth + 1;
    if (w < 1) w = 1;
    return w < CORRECTIONMAXWEIGHT ? w : CORRECTIONMAXWEIGHT;
}

int16_t correctionUpdated(int16_t entry, int error, int weight) {
    const int target = clampTo(error, CORRECTIONMAXERROR) * CORRECTIONGRAIN;
    const int w = weight < 0 ? 0 : (weight > CORRECTIONWEIGHTSCALE ? CORRECTIONWEIGHTSCALE : weight);
    const int mixed = (int(entry) * (CORRECTIONWEIGHTSCALE - w) + target * w) / CORRECTIONWEIGHTSCALE;
    return int16_t(clampTo(mixed, CORRECTIONLIMIT));
}

int correctedEvaluation(int eval, int correction) { return clampTo(eval + correction, CORRECTEDEVALLIMIT); }

bool correctionLearnsFrom(int score, int bound, int corrected) {
    if (score <= -CORRECTEDEVALLIMIT || score >= CORRECTEDEVALLIMIT) return false;
    if (bound == BOUNDLOWER) return score > corrected;
    if (bound == BOUNDUPPER) return score < corrected;
    return bound == BOUNDEXACT;
}

U64 nonPawnKey(const positionStruct* pos, int colour) {
    U64 key = 0;
    for (int t = 0; t < 5; t++) key ^= pos->pieceBB[WKNIGHT + 2 * t + colour] * PIECEKEYMULTIPLIER[t];
    return key;
}

int correctionOf(const correctionTableStruct* table, const positionStruct* pos, bool withNonPawn) {
    if (!table) return 0;
    const int side = pos->sideToMove;
    const int pawn = table->pawn[side][indexOf(pos->pawnKingKey)];
    if (!withNonPawn) return pawn / CORRECTIONGRAIN;
    // every table learns the same errors: the pawns' half and each side's quarter of them
    const int pieces = table->nonPawn[side][WHITE][indexOf(nonPawnKey(pos, WHITE))] +
                       table->nonPawn[side][BLACK][indexOf(nonPawnKey(pos, BLACK))];
    return (2 * pawn + pieces) / (4 * CORRECTIONGRAIN);
}

void updateCorrection(correctionTableStruct* table, const positionStruct* pos, bool withNonPawn, int depth, int error) {
    if (!table) return;
    const int side = pos->sideToMove;
    const int w = correctionWeight(depth);
    int16_t& pawn = table->pawn[side][indexOf(pos->pawnKingKey)];
    pawn = correctionUpdated(pawn, error, w);
    if (withNonPawn) {
        for (int colour : {WHITE, BLACK}) {
            int16_t& e = table->nonPawn[side][colour][indexOf(nonPawnKey(pos, colour))];
            e = correctionUpdated(e, error, w);
        }
    }
}

void clearCorrection(correctionTableStruct* table) {
    if (table) std::memset(static_cast<void*>(table), 0, sizeof(correctionTableStruct));
}
