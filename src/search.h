// The search: alpha-beta, quiescence, move ordering, principal variation, root search and the
// pool of search threads.
#pragma once

#include <cstdint>
#include <string>

#include "general.h"
#include "score.h"

// Exchange values by piece code.
extern const short seeValue[14];

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

// Clears killers, counter moves and the three history tables of a position.
void clearSearchTables(positionStruct* pos);

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
// Move ordering.

// Stages of the move picker; while a move is searched genStage holds the stage after it.
enum pickStages {
    STAGEHASHMOVE = 0,
    STAGEGENCAPTURES = 1,
    STAGEGOODCAPTURES = 2,
    STAGEKILLER1 = 3,
    STAGEKILLER2 = 4,
    STAGECOUNTERMOVE = 5,
    STAGELOSINGCAPTURES = 6,
    STAGELOSINGCAPTURESNEXT = 7,
    STAGEGENQUIETS = 8,
    STAGEQUIETS = 9,
    STAGEEVASIONS = 99
};

// Static exchange test: does the exchange on move.to win at least threshold for the mover?
bool seeTest(positionStruct* pos, moveStruct move, int threshold);

// Whether a stored move (hash move, killer, counter move; piece code in its fourth byte) can be
// played in the position at ply.
bool isMovePseudoLegal(unsigned char ply, moveStruct move, positionStruct* pos);

// Whether a pseudo-legal move leaves the mover's king safe, also when in check.
bool isMoveLegalAnyway(unsigned char ply, moveStruct move, positionStruct* pos);

// Quiescence's list at ply keeps only the moves onto square, in generation order.
void keepRecaptures(unsigned char ply, int square, positionStruct* pos);
// Quiescence's next move of [cursor, end), swapped to cursor: the highest ordering score, the
// first of equals. With skipLosing a capture that loses material by the exchange test is no
// candidate and stays where it is. Null when no candidate remains.
moveStruct* pickQuiescenceMove(moveStruct* cursor, moveStruct* end, bool skipLosing, positionStruct* pos);

// Lowers the score byte of the evasions of ply's list that lose material.
void lowerLosingEvasions(unsigned char ply, positionStruct* pos);

// Computes plyStack[ply].notPinned as the capture generator does.
void computeNotPinned(unsigned char ply, positionStruct* pos);

// Prepares the picker of the node at ply (genStage 0, empty list).
void initMovePicker(unsigned char ply, positionStruct* pos);
// Hands out the next move of the node at ply, in stage order; false when none remain. With
// pruning set the quiet moves come in list order without their history sums.
bool pickNextMove(unsigned char ply, positionStruct* pos, moveStruct* move, bool pruning);
// Probcut's picker: the hash move if it is a capture, then the captures in the capture stage's
// order, taking only those whose exchange reaches threshold.
bool pickNextProbcutMove(unsigned char ply, positionStruct* pos, moveStruct* move, int threshold);

// History bonus for a cut-off at depth, and the two updates of a table entry.
int historyBonus(int depth);
short historyReward(short entry, int bonus);
short historyPenalty(short entry, int bonus);
// Killer, counter-move and history updates after quiet move m cut off at ply.
void updateQuietHistory(unsigned char ply, int depth, moveStruct move, positionStruct* pos);

// ---------------------------------------------------------------------------------------------
// Principal variation, read back from the transposition table.
void getPVFromHashTable(unsigned char, positionStruct* pos, int maxMoves);
// The variation of one root move: the move, then the table's moves after it.
void getPVFromMove(positionStruct* pos, moveStruct first, int maxMoves);
std::string PVToString(positionStruct* pos);

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
