// The search's parameters and switches: every margin, count and depth that the pruning, the
// reductions and the root's window read, and the switches of the additions that only one
// evaluation uses. One record for each evaluation: the hand-set one's and the network's, whose
// scores err differently. The record in use is chosen when a search starts, while no thread
// searches, and the search reads it through searchParameters.
#pragma once

#include <cstdint>

constexpr int LMRDEPTHS = 128;    // rows of a reduction table: every depth of a search
constexpr int LMRLATEMOVES = 256; // columns: every late-move count
constexpr int ASPIRATIONROWS = 16;
constexpr int ASPIRATIONSTEPS = 5; // the first half-width, then four widening steps

struct searchParametersStruct {
    // razoring: the margin below alpha by depth (up to RAZORMAXDEPTH)
    int razorMaxDepth;
    int razor[4];
    // reverse futility: the margin above beta by depth (up to futilityMaxDepth)
    int futilityMaxDepth;
    int futility[8];
    // null move: from nullMoveMinDepth, the child searches depth - base - depth / divisor
    int nullMoveMinDepth;
    int nullMoveBaseReduction;
    int nullMoveDepthDivisor;
    // probcut: captures that beat beta + margin at depth - probcutDepthCut
    int probcutMinDepth;
    int probcutMargin;
    int probcutDepthCut;
    int probcutMaxMoves;
    // internal iterative deepening
    int iidMinDepth;
    int iidDepthCut;
    int iidMargin;
    // singular extension of the hash move
    int singularMinDepth;
    int singularTableDepthSlack;
    // late-move pruning: the moves counted by depth before the late ones go (up to lmpMaxDepth)
    int lmpMaxDepth;
    int8_t lmp[8];
    // late-move reductions: base + ln(depth) ln(count) x factor, from lmrMinDepth
    int lmrMinDepth;
    double lmrBase;
    double lmrFactor;
    // exchange thresholds: a capture the picker hands out before the killers, one that
    // quiescence searches, a check that is extended
    int goodCaptureSee;
    int quiescenceSee;
    int checkExtensionSee;
    // the root's aspiration window: from aspirationMinDepth, half-width and widening steps by
    // thread row
    int aspirationMinDepth;
    short aspiration[ASPIRATIONROWS][ASPIRATIONSTEPS];

    // correction history: the static evaluation used for pruning is corrected by the average
    // error that searches found for the pawn structure, and with nonPawnCorrection also for
    // each side's pieces
    bool correctionHistory;
    bool nonPawnCorrection;
    // history-adjusted reductions: a quiet move is reduced by history / divisor less, by at
    // most historyReductionMaxExtra more than the table says
    bool historyReductions;
    int historyReductionDivisor;
    int historyReductionMaxExtra;

    // the reduction table of lmrBase and lmrFactor, by depth and late-move count
    int8_t lmr[LMRDEPTHS][LMRLATEMOVES];
};

// The hand-set evaluation's parameters and the network's.
extern searchParametersStruct handSetSearchParameters;
extern searchParametersStruct networkSearchParameters;
// The record of the running search; the hand-set one until a search chooses.
extern const searchParametersStruct* searchParameters;

// Fills the reduction tables of both records (once, at start-up).
void initSearchParameters();
// Fills a reduction table: 0 for counts 0 to 2, 1 for count 3, then base + ln(depth) ln(count)
// x factor truncated (0 at depths 0 and 1).
void fillReductionTable(int8_t table[LMRDEPTHS][LMRLATEMOVES], double base, double factor);
// Chooses the record for the searches from now on: the network's when it evaluates. Only
// while no thread searches.
void selectSearchParameters(bool network);
