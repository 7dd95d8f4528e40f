// The fit of the win/draw/loss model to training data: P(white wins) = 1 / (1 + exp(-(s - a) / b)),
// P(black wins) the same with -s, a draw the rest; a and b either constants or linear in the
// material count of wdlModel.h.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

// Scores of this size (in centipawns) or more are left out of the training data and of the fit:
// mates, tablebase wins and lines that are decided long before the game ends.
constexpr int CONVERTMAXSCORE = 3000;

// Score, result and material of many positions, gathered in bins so that a fit over millions
// of positions runs over thousands of bins. Every tenth group of positions (a game) is held out.
struct wdlDataStruct {
    std::vector<uint32_t> train, test;
    uint64_t trainCount = 0, testCount = 0;
    wdlDataStruct();
    // score in centipawns from white's view, result 0 black wins, 1 draw, 2 white wins.
    // False for a score outside the fitted range.
    bool add(int score, int material, int result, uint64_t group);
    uint64_t resultCount(int result) const;
};

// With material, a = a0 + a1 * x and b = b0 + b1 * x, x the clamped material count / scale.
struct wdlModelStruct {
    double a0 = 0, a1 = 0, b0 = 0, b1 = 0;
    bool material = false;
    double loss = 0; // mean negative log-likelihood on the data it was fitted to
    bool ok = false;
};

// Which bins a fit or a measurement uses.
enum wdlPart { WDLTRAIN, WDLTEST, WDLALL };

wdlModelStruct fitWdl(const wdlDataStruct& data, wdlPart part, bool material);
double wdlLoss(const wdlModelStruct& model, const wdlDataStruct& data, wdlPart part);
// The probabilities of the three results (black wins, draw, white wins) under a model.
void wdlProbabilities(const wdlModelStruct& model, int score, int material, double p[3]);

// Material count from the placement field of a FEN.
int fenMaterial(const std::string& fen);

// The report of both fits as info lines.
std::vector<std::string> wdlReport(const wdlDataStruct& data);

// "wdlfit <data.txt>" on the rest of its line.
void wdlfitCommand(std::istringstream& words);
