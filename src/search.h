// The search: alpha-beta with its pruning, quiescence, and the root search's records. The move
// picker, the history tables, the principal variation, the reports and the thread pool have
// headers of their own (movePicker.h, history.h, principalVariation.h, searchReport.h, threads.h).
#pragma once

#include <cstdint>
#include <string>

#include "general.h"
#include "score.h"

// ---------------------------------------------------------------------------------------------
// Alpha-beta and quiescence (scores from the side to move's point of view, fail-soft).
short alfabeta(unsigned char ply, int depth, short alpha, short beta, positionStruct* pos);
short quiescence(unsigned char ply, int depth, short alpha, short beta, positionStruct* pos);

// Fixed-depth search of pos from a clean state (counters and, with freshTables, the ordering
// tables cleared; the transposition table is left as it is). Reads engine's clock fields and node
// limit like any search: set engine.infinite, or a large maxTime, for an unbounded search. The
// node limit counts the pool's threads, so a node-limited search runs on the main thread's
// position of a pool of one.
struct searchResultStruct {
    int score;           // of the last completed depth
    moveStruct bestMove; // EMPTYMOVE when the position has no legal move
    U64 nodes;           // alfabeta and quiescence nodes
    int depth;           // the last completed depth
};
searchResultStruct searchFixedDepth(positionStruct* pos, int depth, bool freshTables = true);

// Free move-storage slots from the start of ply's list to the end of the thread's storage
// (the storage begins at plyStack[0].listStart).
inline long moveStorageRoom(unsigned char ply, positionStruct* pos) {
    return long((pos->plyStack[0].listStart + MOVESTORAGESIZE) - pos->plyStack[ply].listStart);
}
// A node needs room for its own list and one child list; with less it becomes a leaf.
constexpr long NODESTORAGEGUARD = 2 * MAXMOVESPERPOSITION;
constexpr long QUIESCENCESTORAGEGUARD = MAXMOVESPERPOSITION;

// Root moves a search leaves out: those outside a searchmoves list and, in a MultiPV search,
// the lines already found at this depth. While a filter applies, the position's search field
// points to it; 0 means every root move is searched.
constexpr int MAXROOTFILTER = 256; // more than any position's legal moves
struct rootFilterStruct {
    int count = 0;
    moveStruct moves[MAXROOTFILTER];
};
inline const rootFilterStruct* rootFilterOf(const positionStruct* pos) {
    return reinterpret_cast<const rootFilterStruct*>(uintptr_t(pos->searchField));
}
inline void applyRootFilter(positionStruct* pos, const rootFilterStruct* filter) {
    pos->searchField = filter && filter->count > 0 ? U64(uintptr_t(filter)) : 0;
}
inline bool rootMoveExcluded(const moveStruct& m, const positionStruct* pos) {
    const rootFilterStruct* filter = rootFilterOf(pos);
    if (!filter) return false;
    for (int i = 0; i < filter->count; i++)
        if (sameMove(filter->moves[i], m)) return true;
    return false;
}

// With a node limit: whether the pool's count has reached it. Otherwise the thread's next
// check is brought closer as the limit nears, so that the count passes it only a little.
bool nodeLimitReached(positionStruct* pos);

// Search counters are read by the reporting thread while their owner counts: each write and
// read is one whole relaxed access.
inline void bumpCounter(U64& counter) { __atomic_store_n(&counter, counter + 1, __ATOMIC_RELAXED); }
inline U64 readCounter(const U64& counter) { return __atomic_load_n(&counter, __ATOMIC_RELAXED); }

// ---------------------------------------------------------------------------------------------
// Pruning constants.
extern const int razor[4];
extern const int futility[8];
extern const int8_t LMP[8];
// Depth of the null-move search below a node of depth.
inline int nullMoveDepth(int depth) { return depth - 3 - depth / 6; }

// ---------------------------------------------------------------------------------------------
// Root search.

// One line of a MultiPV search: its root move, score, depth and variation.
struct rootLineStruct {
    int score;
    int depth;
    int pvLength; // index of the last move of pv
    moveStruct pv[MAXPLY];
};

// Clears what a search counts and learns, before a search of pos starts.
void resetSearchState(positionStruct* pos);

// From this depth on the root's window is centred on the last score.
constexpr int ASPIRATIONMINDEPTH = 6;

// What one depth of the root found.
struct iterationStruct {
    int result;    // the exact score, or prev when the iteration did not finish
    bool finished; // an exact score was found before stop
    int failsLow;
    int failsHigh;
};
// One depth of the root: aspiration windows around prev, widened by the steps of widths; with
// storeRoot the exact result goes into the table.
iterationStruct searchIteration(positionStruct* pos, int d, int prev, int alpha, int beta, const short* widths,
                                bool storeRoot);
