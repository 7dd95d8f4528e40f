// The evaluation the search asks for: one entry for both evaluations, the hand-set one (eval.h)
// and the network (nnue.h), with the evaluation cache and the pawnless-draw rule they share. The
// search does not know which evaluation answered.
#pragma once

#include "general.h"

// The per-thread evaluation cache: scores by key, each evaluation under keys of its own.
constexpr int EVALCACHESIZE = 16384;

struct evalCacheEntryStruct {
    U64 key;       // hashKey (salted for the network's scores)
    int16_t score; // from white's point of view
};
static_assert(sizeof(evalCacheEntryStruct) == 16, "cache entry is 16 bytes");

// The global position's cache; every search thread owns its own.
extern evalCacheEntryStruct GEvalCache[EVALCACHESIZE];

// Clears a thread's pawn table and evaluation cache (either may be null).
void clearEvalTables(pawnTableEntryStruct* pawnTable, evalCacheEntryStruct* evalCache);

// Static score from the side to move's point of view: the network when it is on, else the
// hand-written evaluation. The ply (the search's distance from the root, 0 elsewhere) only
// tells the network where its accumulator lies; it never changes the score.
int evaluateN(int ply, positionStruct* pos);
// The hand-written evaluation alone, whatever the network option says.
int evaluateClassic(positionStruct* pos);
// The network alone (it must be loaded).
int evaluateNetwork(int ply, positionStruct* pos);
