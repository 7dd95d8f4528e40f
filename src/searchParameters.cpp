// The two records of search parameters: the hand-set evaluation's, whose values the search was
// built with, and the network's.
#include "searchParameters.h"

#include <cmath>
#include <initializer_list>

namespace {

constexpr int LMRFIRSTREDUCEDCOUNT = 3; // the first count that is reduced, by one ply

} // namespace

searchParametersStruct handSetSearchParameters = {
    3, {0, 120, 190, 240},                    // razoring
    6, {0, 65, 130, 195, 260, 325, 390, 455}, // reverse futility
    3, 3, 6,                                  // null move
    5, 110, 3, 4,                             // probcut
    4, 2, 100,                                // internal iterative deepening
    7, 3,                                     // singular extension
    7, {2, 3, 5, 7, 9, 14, 20, 27},           // late-move pruning
    3, 0.8, 0.5263157894736842,               // late-move reductions (the factor is 1 / 1.9)
    0, 0, 0,                                  // exchange thresholds
    // aspiration: the helpers spread over several windows
    6,
    {{15, 35, 40, 80, 160}, {15, 20, 40, 80, 160}, {11, 19, 31, 49, 76}, {15, 35, 40, 80, 160},
     {50, 40, 80, 160, 320}, {15, 35, 40, 80, 160}, {29, 32, 68, 124, 200}, {15, 35, 40, 80, 160},
     {15, 35, 40, 80, 160}, {29, 32, 68, 124, 200}, {15, 35, 40, 80, 160}, {15, 35, 40, 80, 160},
     {15, 20, 40, 80, 160}, {11, 19, 31, 49, 76}, {50, 40, 80, 160, 320}, {35, 27, 58, 139, 200}},
    false, false,   // correction history
    false, 8192, 2, // history-adjusted reductions
    {},
};

namespace {

// The network's record: the hand-set one with the additions that won in games with the network
// on. None has yet: the correction by the pawn and piece tables scored +6 +/- 11 Elo in 2000 games
// at 10,000 nodes (an SPRT that had not ended), history-adjusted reductions -1 +/- 9, so both
// switches stay off until a longer test says otherwise.
searchParametersStruct networkRecord() {
    searchParametersStruct p = handSetSearchParameters;
    return p;
}

} // namespace

// defined after the hand-set record, which it copies
searchParametersStruct networkSearchParameters = networkRecord();

const searchParametersStruct* searchParameters = &handSetSearchParameters;

void fillReductionTable(int8_t table[LMRDEPTHS][LMRLATEMOVES], double base, double factor) {
    for (int d = 0; d < LMRDEPTHS; d++) {
        for (int m = 0; m < LMRLATEMOVES; m++) {
            if (m < LMRFIRSTREDUCEDCOUNT) table[d][m] = 0;
            else if (m == LMRFIRSTREDUCEDCOUNT) table[d][m] = 1;
            else if (d < 2) table[d][m] = 0; // ln(0) is not finite and ln(1) gives nothing
            else table[d][m] = int8_t(base + std::log(double(d)) * std::log(double(m)) * factor);
        }
    }
}

void initSearchParameters() {
    for (searchParametersStruct* p : {&handSetSearchParameters, &networkSearchParameters})
        fillReductionTable(p->lmr, p->lmrBase, p->lmrFactor);
}

void selectSearchParameters(bool network) {
    searchParameters = network ? &networkSearchParameters : &handSetSearchParameters;
}
