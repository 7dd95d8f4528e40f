// Attack tables: magic multipliers found at start-up, and the fixed masks.
#include "moveTable.h"

#include <cstring>
#include <thread>

#include "searchParameters.h"

MagicRecord rookAttackLUT[64];
MagicRecord bishopAttackLUT[64];
U64 rookAttackTable[ROOKTABLESIZE];
U64 bishopAttackTable[BISHOPTABLESIZE];

U64 knightAttackTable[64];
U64 kingAttackTable[64];
U64 attackByPawnTable[2][64];
U64 enpassantTable[64];
U64 rookAttackAll[64];
U64 bishopAttackAll[64];
U64 inBetweenSquares[64][64];
U64 inLineSquares[64][64];
uint8_t distance[64][64];
U64 ranksAtOrAbove[2][64];
U64 isolatedPawns[64];
U64 passedPawnsMask[2][64];
U64 kingSafetyArea[2][64];

const U64 files[8] = {
    0x0101010101010101ULL, 0x0202020202020202ULL, 0x0404040404040404ULL, 0x0808080808080808ULL,
    0x1010101010101010ULL, 0x2020202020202020ULL, 0x4040404040404040ULL, 0x8080808080808080ULL};
const U64 outpostMask[2] = {0x0000FFFFFF000000ULL, 0x000000FFFFFF0000ULL};
const U64 kingSideFiles[8] = {
    0x0707070707070707ULL, 0x0F0F0F0F0F0F0F0FULL, 0x0F0F0F0F0F0F0F0FULL, 0x3C3C3C3C3C3C3C3CULL,
    0x3C3C3C3C3C3C3C3CULL, 0xF0F0F0F0F0F0F0F0ULL, 0xF0F0F0F0F0F0F0F0ULL, 0xE0E0E0E0E0E0E0E0ULL};
const U64 RANK1TO5BB[2] = {0x000000FFFFFFFFFFULL, 0xFFFFFFFFFF000000ULL};

namespace {

constexpr int rookDirections[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
constexpr int bishopDirections[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
constexpr U64 MAGICSEEDS[2] = {0x9E3779B97F4A7C15ULL, 0xD1B54A32D192ED03ULL};

bool onBoard(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

// Attacks along the rays, each ray ending at (and including) the first occupied square.
U64 slidingAttacks(int square, U64 occupancy, const int directions[4][2]) {
    U64 attacks = 0;
    for (int d = 0; d < 4; d++) {
        int f = (square & 7) + directions[d][0], r = (square >> 3) + directions[d][1];
        while (onBoard(f, r)) {
            U64 bit = squareBit(r * 8 + f);
            attacks |= bit;
            if (occupancy & bit) break;
            f += directions[d][0];
            r += directions[d][1];
        }
    }
    return attacks;
}

// The rays without their last square: occupancy there never changes the attack set.
U64 relevantOccupancy(int square, const int directions[4][2]) {
    U64 mask = 0;
    for (int d = 0; d < 4; d++) {
        int f = (square & 7) + directions[d][0], r = (square >> 3) + directions[d][1];
        while (onBoard(f + directions[d][0], r + directions[d][1])) {
            mask |= squareBit(r * 8 + f);
            f += directions[d][0];
            r += directions[d][1];
        }
    }
    return mask;
}

// A fast fixed-seed generator: the search draws millions of bit positions, and the
// attack results do not depend on which multipliers it finds.
struct bitSourceStruct {
    U64 state;
    U64 pool = 0;
    int left = 0;
    int nextSquare() {
        if (left == 0) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            pool = state * 0x2545F4914F6CDD1DULL;
            left = 10;
        }
        int square = int(pool & 63);
        pool >>= 6;
        left--;
        return square;
    }
};

// A candidate multiplier with exactly nine distinct bits set.
U64 drawMagicCandidate(bitSourceStruct& bits) {
    U64 magic = squareBit(bits.nextSquare());
    for (int i = 0; i < 8; i++) {
        U64 bit;
        do bit = squareBit(bits.nextSquare());
        while (magic & bit);
        magic |= bit;
    }
    return magic;
}

struct magicSearchState {
    bitSourceStruct bits;
    uint32_t attempt = 0;
    uint32_t marks[4096];
    U64 subsets[4096];
    U64 references[4096];
};

// Masks, shifts and the packed slices: each square's slice follows the previous one's.
void sliceTable(MagicRecord* records, U64* table, const int directions[4][2]) {
    U64* slice = table;
    for (int square = 0; square < 64; square++) {
        MagicRecord& record = records[square];
        record.mask = relevantOccupancy(square, directions);
        record.shift = 64 - popCount(record.mask);
        record.table = slice;
        slice += U64(1) << (64 - record.shift);
    }
}

void findMagic(int square, MagicRecord& record, const int directions[4][2], magicSearchState& state) {
    // Subsets with few blockers first: that is where a bad multiplier collides soonest.
    // The order changes only the speed, never which multipliers are accepted.
    int count = 0;
    for (int blockers = 0; blockers <= popCount(record.mask); blockers++) {
        U64 subset = 0;
        do {
            if (popCount(subset) == blockers) {
                state.subsets[count] = subset;
                state.references[count++] = slidingAttacks(square, subset, directions);
            }
            subset = (subset - record.mask) & record.mask;
        } while (subset);
    }
    for (;;) {
        state.attempt++;
        U64 magic = drawMagicCandidate(state.bits);
        bool fits = true;
        for (int i = 0; i < count && fits; i++) {
            U64 index = (state.subsets[i] * magic) >> record.shift;
            if (state.marks[index] != state.attempt) {
                state.marks[index] = state.attempt;
                record.table[index] = state.references[i];
            } else if (record.table[index] != state.references[i]) {
                fits = false;
            }
        }
        if (fits) {
            record.magic = magic;
            return;
        }
    }
}

// Every other square, starting at first: rooks, then bishops.
void findMagics(int first, magicSearchState& state) {
    std::memset(state.marks, 0, sizeof(state.marks));
    state.attempt = 0;
    for (int square = first; square < 64; square += 2) findMagic(square, rookAttackLUT[square], rookDirections, state);
    for (int square = first; square < 64; square += 2)
        findMagic(square, bishopAttackLUT[square], bishopDirections, state);
}

U64 stepAttacks(int square, const int steps[][2], int n) {
    U64 attacks = 0;
    for (int i = 0; i < n; i++) {
        int f = (square & 7) + steps[i][0], r = (square >> 3) + steps[i][1];
        if (onBoard(f, r)) attacks |= squareBit(r * 8 + f);
    }
    return attacks;
}

void initLeaperTables() {
    static const int knightSteps[8][2] = {{1, 2}, {-1, 2}, {2, 1}, {-2, 1}, {2, -1}, {-2, -1}, {1, -2}, {-1, -2}};
    static const int kingSteps[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    static const int whitePawnFrom[2][2] = {{-1, -1}, {1, -1}};
    static const int blackPawnFrom[2][2] = {{-1, 1}, {1, 1}};
    for (int s = 0; s < 64; s++) {
        knightAttackTable[s] = stepAttacks(s, knightSteps, 8);
        kingAttackTable[s] = stepAttacks(s, kingSteps, 8);
        attackByPawnTable[WHITE][s] = s >= 16 ? stepAttacks(s, whitePawnFrom, 2) : 0;
        attackByPawnTable[BLACK][s] = s < 48 ? stepAttacks(s, blackPawnFrom, 2) : 0;
        enpassantTable[s] = 0;
        if (s >= 24 && s < 40) {
            if ((s & 7) > 0) enpassantTable[s] |= squareBit(s - 1);
            if ((s & 7) < 7) enpassantTable[s] |= squareBit(s + 1);
        }
    }
}

void initLineTables() {
    for (int s = 0; s < 64; s++) {
        rookAttackAll[s] = rookAttacks(s, 0);
        bishopAttackAll[s] = bishopAttacks(s, 0);
    }
    for (int s = 0; s < 64; s++) {
        for (int t = 0; t < 64; t++) {
            U64 between = 0, line = 0;
            if (s != t && (rookAttackAll[s] & squareBit(t))) {
                between |= rookAttacks(s, squareBit(t)) & rookAttacks(t, squareBit(s));
            }
            if (s != t && (bishopAttackAll[s] & squareBit(t))) {
                between |= bishopAttacks(s, squareBit(t)) & bishopAttacks(t, squareBit(s));
            }
            if (bishopAttackAll[s] & squareBit(t)) {
                line = squareBit(s) | squareBit(t) | (bishopAttackAll[s] & bishopAttackAll[t]);
            } else if (rookAttackAll[s] & squareBit(t)) {
                line = squareBit(s) | squareBit(t) | (rookAttackAll[s] & rookAttackAll[t]);
            }
            inBetweenSquares[s][t] = between;
            inLineSquares[s][t] = line;
            int fileDistance = std::abs((s & 7) - (t & 7)), rankDistance = std::abs((s >> 3) - (t >> 3));
            distance[s][t] = uint8_t(fileDistance > rankDistance ? fileDistance : rankDistance);
        }
    }
}

U64 rankMask(int rank) { return U64(0xFF) << (8 * rank); }

void initPawnAndKingMasks() {
    for (int s = 0; s < 64; s++) {
        int f = s & 7, r = s >> 3;
        ranksAtOrAbove[WHITE][s] = ranksAtOrAbove[BLACK][s] = 0;
        for (int k = 0; k < 8; k++) {
            if (k >= r) ranksAtOrAbove[WHITE][s] |= rankMask(k);
            if (k <= r) ranksAtOrAbove[BLACK][s] |= rankMask(k);
        }
        isolatedPawns[s] = (f > 0 ? files[f - 1] : 0) | (f < 7 ? files[f + 1] : 0);
        U64 adjacentFiles = files[f] | isolatedPawns[s];
        passedPawnsMask[WHITE][s] = passedPawnsMask[BLACK][s] = 0;
        if (r >= 1 && r <= 6) {
            passedPawnsMask[WHITE][s] = adjacentFiles & ~ranksAtOrAbove[BLACK][s];
            passedPawnsMask[BLACK][s] = adjacentFiles & ~ranksAtOrAbove[WHITE][s];
        }
        int centreFile = f < 1 ? 1 : (f > 6 ? 6 : f);
        int whiteRank = r < 1 ? 1 : (r > 5 ? 5 : r);
        int blackRank = r < 2 ? 2 : (r > 6 ? 6 : r);
        kingSafetyArea[WHITE][s] = U64(0x07070707) << ((whiteRank - 1) * 8 + centreFile - 1);
        kingSafetyArea[BLACK][s] = U64(0x07070707) << ((blackRank - 2) * 8 + centreFile - 1);
    }
}

} // namespace

void initBitboardConstants() {
    sliceTable(rookAttackLUT, rookAttackTable, rookDirections);
    sliceTable(bishopAttackLUT, bishopAttackTable, bishopDirections);
    // The search is the bulk of start-up: two threads share it, each with its own stream.
    static magicSearchState states[2];
    states[0].bits = bitSourceStruct{MAGICSEEDS[0]};
    states[1].bits = bitSourceStruct{MAGICSEEDS[1]};
    std::thread helper([] { findMagics(1, states[1]); });
    findMagics(0, states[0]);
    helper.join();
    initLeaperTables();
    initLineTables();
    initPawnAndKingMasks();
    initSearchParameters(); // the late-move reduction tables
    GPSData.plyStack[0].listStart = GMS;
}
