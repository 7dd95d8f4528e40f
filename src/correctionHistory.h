// Correction history: per search thread, the running average of the error of the static
// evaluation (search score minus evaluation) in positions of the same pawn structure, and of the
// same pieces of each side. The search adds it to the evaluation it prunes with. The tables
// outlive a search; a new game, Clear Hash and the bench clear them.
#pragma once

#include <cstdint>

#include "general.h"

constexpr int CORRECTIONSIZE = 16384;    // entries of each table, a power of two
constexpr int CORRECTIONGRAIN = 64;      // entries hold the error in 1/64 centipawn
constexpr int CORRECTIONMAXERROR = 256;  // an error counts at most this much (centipawns)
constexpr int CORRECTIONLIMIT = CORRECTIONMAXERROR * CORRECTIONGRAIN; // bound of every entry
constexpr int CORRECTIONWEIGHTSCALE = 256; // the weight of a new error is weight / 256
constexpr int CORRECTIONMAXWEIGHT = 16;

struct correctionTableStruct {
    int16_t pawn[2][CORRECTIONSIZE];       // by side to move and pawn-king key
    int16_t nonPawn[2][2][CORRECTIONSIZE]; // by side to move, the men's colour and their key
};

// How much a new error counts against the average, out of CORRECTIONWEIGHTSCALE: deeper
// searches say more.
int correctionWeight(int depth);
// The entry after an error (centipawns) with that weight: a weighted mean of the entry and the
// error, the error first limited to CORRECTIONMAXERROR, so the entry stays within
// CORRECTIONLIMIT.
int16_t correctionUpdated(int16_t entry, int error, int weight);
// The evaluation plus a correction, kept below the tablebase and mate scores.
int correctedEvaluation(int eval, int correction);
// Whether a node's result says something about the evaluation's error: a score that is not a
// mate or tablebase score, which, by its bound, lies on the side of corrected the bound
// guarantees (a fail-high only raises, a fail-low only lowers).
bool correctionLearnsFrom(int score, int bound, int corrected);

// Each side's key of its knights, bishops, rooks, queens and king.
U64 nonPawnKey(const positionStruct* pos, int colour);

// The correction of pos in centipawns (0 without a table): the pawn table's, or with
// withNonPawn a mean of it (half) and the two piece tables (a quarter each).
int correctionOf(const correctionTableStruct* table, const positionStruct* pos, bool withNonPawn);
// Moves pos's entries toward error (score minus the raw evaluation) by the weight of depth.
void updateCorrection(correctionTableStruct* table, const positionStruct* pos, bool withNonPawn, int depth, int error);
void clearCorrection(correctionTableStruct* table);
