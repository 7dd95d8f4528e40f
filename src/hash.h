// Zobrist keys and the transposition table.
#pragma once

#include "general.h"
#include "score.h"

extern const U64 hashCodeRandomNumber[800];
extern U64 hashCodePiece[14][64];
extern U64 hashCodeCastling[16];
extern U64 hashCodeEnpassant[8];
extern U64 hashCodeBlackToMove;

// Copies the fixed random numbers into the working key tables.
void initHashCodes();
U64 calcHashKey(unsigned char ply, positionStruct* pos);

// Transposition table: 16-byte entries side by side, probed in windows of four consecutive
// entries, so that one window spans one or two cache lines.
struct hashEntry {
    U64 keyXorData;
    U64 data;
};
static_assert(sizeof(hashEntry) == 16, "four entries per cache line");

constexpr U64 HASHAGEFREEMASK = 0x03FFFFFFFFFFFFFFULL;
constexpr int HASHWINDOW = 4;

enum hashBounds { BOUNDNONE = 0, BOUNDUPPER = 1, BOUNDLOWER = 2, BOUNDEXACT = 3 };

extern hashEntry* hashTable;
extern U64 hashKeyMask;
extern uint8_t hashAgeCounter;

// The range of the Hash option.
constexpr int MINHASHMEGABYTES = 1, MAXHASHMEGABYTES = 32768;
// Hash N takes at most N megabytes: the largest power of two not above N (within the range),
// so that the index is a mask.
constexpr U64 HASHENTRIESPERMEGABYTE = (U64(1) << 20) / sizeof(hashEntry);
int hashMegaBytesUsed(int megaBytes);
U64 hashEntriesForMegaBytes(int megaBytes);
// Allocates and zeroes a table of hashMegaBytesUsed(megaBytes). Returns false, keeping the old
// table, when the memory cannot be had.
bool allocateHashTable(int megaBytes);
// Allocates a table with the given number of index values (a power of two).
bool allocateHashTableEntries(U64 indexValues);
void clearHashTable();
void freeHashTable();

// Fields of a table data word.
inline moveStruct hashDataMove(U64 data) { return intToMove(uint32_t(data)); }
inline int hashDataScore(U64 data) { return int16_t(uint16_t(data >> 32)); }
inline int hashDataDepth(U64 data) { return int8_t(uint8_t(data >> 48)); }
inline int hashDataBound(U64 data) { return int(data >> 56) & 3; }
inline int hashDataAge(U64 data) { return int(data >> 58); }

// Mate scores are kept relative to the storing node.
inline int scoreToHash(int score, int ply) {
    if (score >= MATETHRESHOLD) return score + ply;
    if (score <= -MATETHRESHOLD) return score - ply;
    return score;
}
inline int scoreFromHash(int score, int ply) {
    if (score >= MATETHRESHOLD) return score - ply;
    if (score <= -MATETHRESHOLD) return score + ply;
    return score;
}

// Asks the processor to fetch the window of key ahead of its probe (its first and last entry
// cover both cache lines a window can span).
inline void prefetchHashWindow(U64 key) {
    const hashEntry* window = hashTable + (key & hashKeyMask);
    __builtin_prefetch(window);
    __builtin_prefetch(window + HASHWINDOW - 1);
}

// Looks the key up; on a hit refreshes the entry's age and returns true with the data word.
bool probeHashTable(U64 key, U64* data);
void storeHashTable(U64 key, int ply, moveStruct move, int score, int depth, int bound);
