// The settings record, the clock and the reply writer.
#include "settings.h"

#include <chrono>
#include <cmath>
#include <iostream>
#include <mutex>

engineStruct engine;

namespace {
std::mutex outputMutex;

// The win-chance model P(win | score s) = 1 / (1 + exp(-(s - WDLMIDPOINT) / WDLSCALE)).
// Provisional constants, not yet fitted on data: the fit on the engine's own games replaces
// them and names those games here.
constexpr double WDLMIDPOINT = 150; // centipawns at which a win is as likely as not
constexpr double WDLSCALE = 60;     // centipawns per unit of the logistic's argument
constexpr int WDLMATESCORE = 31872; // scores this large in absolute value are mates
constexpr int PERMILLE = 1000;

int winPerMille(int score) { return int(std::lround(PERMILLE / (1.0 + std::exp(-(score - WDLMIDPOINT) / WDLSCALE)))); }
} // namespace

wdlStruct wdlFromScore(int score) {
    if (score >= WDLMATESCORE) return {PERMILLE, 0, 0};
    if (score <= -WDLMATESCORE) return {0, 0, PERMILLE};
    int win = winPerMille(score), loss = winPerMille(-score);
    // rounding (or a model whose chances overlap) must not make the draw negative
    if (win + loss > PERMILLE) {
        if (win >= loss) win = PERMILLE - loss;
        else loss = PERMILLE - win;
    }
    return {win, PERMILLE - win - loss, loss};
}

std::string wdlText(int score) {
    if (!engine.searchShowWDL) return "";
    wdlStruct w = wdlFromScore(score);
    return " wdl " + std::to_string(w.win) + " " + std::to_string(w.draw) + " " + std::to_string(w.loss);
}

int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sendLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    // one write, so that a line printed elsewhere cannot split it
    std::cout << (line + '\n') << std::flush;
}
