// Zobrist keys and the shared transposition table.
#include "hash.h"

#include <cstdint>
#include <cstring>

#include "moveTable.h"
#include "platform.h"

U64 hashCodePiece[14][64];
U64 hashCodeCastling[16];
U64 hashCodeEnpassant[8];
U64 hashCodeBlackToMove;

hashEntry* hashTable = nullptr;
U64 hashKeyMask = 0;
uint8_t hashAgeCounter = 0;

namespace {

constexpr int CASTLINGNUMBERS = 768;
constexpr int ENPASSANTNUMBERS = 784;
constexpr int SIDENUMBER = 792;
constexpr int AGEPERIOD = 64;
constexpr int AGEWEIGHT = 4;

size_t hashTableBytes = 0;
// The memory that holds the table (it may start before the table), for freeLargeMemory.
largeMemoryStruct hashMemory;

int slotWorth(U64 data) {
    int age = (int(hashAgeCounter) - hashDataAge(data)) & (AGEPERIOD - 1);
    return hashDataDepth(data) + (hashDataBound(data) == BOUNDEXACT ? 1 : 0) - AGEWEIGHT * age;
}

// Threads share the table without locks; relaxed atomic accesses compile to plain loads and
// stores and keep thread checkers quiet. A torn entry fails the key check.
U64 loadWord(const U64& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }
void storeWord(U64& word, U64 value) { __atomic_store_n(&word, value, __ATOMIC_RELAXED); }

bool slotMatches(const hashEntry& slot, U64 key) {
    return loadWord(slot.keyXorData) == (key ^ (loadWord(slot.data) & HASHAGEFREEMASK));
}

} // namespace

void initHashCodes() {
    std::memset(hashCodePiece, 0, sizeof(hashCodePiece));
    for (int code = WPAWN; code <= BKING; code++)
        for (int s = 0; s < 64; s++) hashCodePiece[code][s] = hashCodeRandomNumber[(code - 2) * 64 + s];
    for (int r = 0; r < 16; r++) hashCodeCastling[r] = hashCodeRandomNumber[CASTLINGNUMBERS + r];
    for (int f = 0; f < 8; f++) hashCodeEnpassant[f] = hashCodeRandomNumber[ENPASSANTNUMBERS + f];
    hashCodeBlackToMove = hashCodeRandomNumber[SIDENUMBER];
}

U64 calcHashKey(unsigned char, positionStruct* pos) {
    U64 key = 0;
    for (int code = WPAWN; code <= BKING; code++) {
        U64 men = pos->pieceBB[code];
        while (men) key ^= hashCodePiece[code][popLowest(men)];
    }
    key ^= hashCodeCastling[pos->plyStack[0].castleRights & 15];
    if (pos->plyStack[0].epSquare) key ^= hashCodeEnpassant[pos->plyStack[0].epSquare & 7];
    if (pos->sideToMove) key ^= hashCodeBlackToMove;
    return key;
}

bool allocateHashTableEntries(U64 indexValues) {
    // Three extra entries keep the four-entry window of the highest index inside the table.
    size_t bytes = (indexValues + HASHWINDOW - 1) * sizeof(hashEntry);
    // The old table goes first, so that the process never holds both (Hash 1500 after the default
    // table peaked at 1.3 GB); when the new size cannot be had, the old size is taken again.
    const U64 oldIndexValues = hashTable ? hashKeyMask + 1 : 0;
    freeHashTable();
    largeMemoryStruct memory;
    hashEntry* table = static_cast<hashEntry*>(allocateLargeMemory(bytes, &memory));
    if (!table) {
        // the smallest table as the last resort: the search never runs without one
        const U64 smallest = hashEntriesForMegaBytes(MINHASHMEGABYTES);
        if (!(oldIndexValues && oldIndexValues != indexValues && allocateHashTableEntries(oldIndexValues)) &&
            indexValues != smallest)
            allocateHashTableEntries(smallest);
        return false;
    }
    // every page faulted in now rather than by the first search
    std::memset(static_cast<void*>(table), 0, bytes);
    hashTable = table;
    hashTableBytes = bytes;
    hashMemory = memory;
    hashKeyMask = indexValues - 1;
    return true;
}

int hashMegaBytesUsed(int megaBytes) {
    if (megaBytes < MINHASHMEGABYTES) megaBytes = MINHASHMEGABYTES;
    if (megaBytes > MAXHASHMEGABYTES) megaBytes = MAXHASHMEGABYTES;
    int power = 1;
    while (power <= megaBytes / 2) power <<= 1;
    return power;
}

U64 hashEntriesForMegaBytes(int megaBytes) { return HASHENTRIESPERMEGABYTE * U64(hashMegaBytesUsed(megaBytes)); }

bool allocateHashTable(int megaBytes) { return allocateHashTableEntries(hashEntriesForMegaBytes(megaBytes)); }

void clearHashTable() {
    if (!hashTable) return;
    // Written through, not handed back to the system: pages first touched during a search cost
    // it the time to fault them in (with huge pages, hundreds of milliseconds for a large table
    // on a busy machine), which a short clock cannot spare.
    std::memset(static_cast<void*>(hashTable), 0, hashTableBytes);
}

void freeHashTable() {
    freeLargeMemory(&hashMemory);
    hashTable = nullptr;
    hashTableBytes = 0;
    hashKeyMask = 0;
}

bool probeHashTable(U64 key, U64* data) {
    hashEntry* window = hashTable + (key & hashKeyMask);
    for (int j = 0; j < HASHWINDOW; j++) {
        U64 slotData = loadWord(window[j].data);
        if (loadWord(window[j].keyXorData) == (key ^ (slotData & HASHAGEFREEMASK))) {
            // The age lives in the top six bits, outside the checked part: refresh it in place,
            // and only when it changes, as a write takes the line away from the other threads.
            const uint8_t refreshed = uint8_t((hashAgeCounter << 2) | ((slotData >> 56) & 3));
            if (uint8_t(slotData >> 56) != refreshed) {
                uint8_t* topByte = reinterpret_cast<uint8_t*>(&window[j].data) + 7;
                __atomic_store_n(topByte, refreshed, __ATOMIC_RELAXED);
            }
            *data = slotData;
            return true;
        }
    }
    return false;
}

void storeHashTable(U64 key, int ply, moveStruct move, int score, int depth, int bound) {
    hashEntry* window = hashTable + (key & hashKeyMask);
    hashEntry* victim = nullptr;
    int lowestWorth = 0;
    for (int j = 0; j < HASHWINDOW; j++) {
        if (loadWord(window[j].keyXorData) == 0 || slotMatches(window[j], key)) {
            victim = &window[j];
            break;
        }
        int worth = slotWorth(loadWord(window[j].data));
        if (!victim || worth < lowestWorth) {
            victim = &window[j];
            lowestWorth = worth;
        }
    }
    U64 data = U64(moveToInt(move)) | U64(uint16_t(int16_t(scoreToHash(score, ply)))) << 32 |
               U64(uint8_t(int8_t(depth))) << 48 | U64(bound & 3) << 56 | U64(hashAgeCounter & 63) << 58;
    storeWord(victim->keyXorData, key ^ (data & HASHAGEFREEMASK));
    storeWord(victim->data, data);
}
