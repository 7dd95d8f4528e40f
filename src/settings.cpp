// The settings record, the clock and the reply writer.
#include "settings.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <mutex>

engineStruct engine;

namespace {
std::mutex outputMutex;

// The win-chance model P(win | score s, material m) = 1 / (1 + exp(-(s - a(m)) / b(m))), with a and
// b linear in x = m / 58 (m counts pawn 1, minor 3, rook 5, queen 9 for both sides, limited to
// 17..78): fewer men make an equal score more drawn and a given advantage more decisive. Fitted
// by wdlfit on the engine's own games: 8000 self-play games (train/datagen.sh seeds 1 to 4, 5000
// nodes a move, the hand-set evaluation, commit 170e571), 725,090 positions; held out one game in
// ten, its log-loss is 0.697 against 0.761 for the score alone and 1.095 for the bare result rates.
constexpr double WDLMIDPOINT = 316.6;     // a(x) = WDLMIDPOINT + WDLMIDPOINTSLOPE * x, centipawns
constexpr double WDLMIDPOINTSLOPE = -199.7;
constexpr double WDLSCALE = 152.3;        // b(x) = WDLSCALE + WDLSCALESLOPE * x, centipawns
constexpr double WDLSCALESLOPE = -44.6;
constexpr int WDLMATERIALMIN = 17, WDLMATERIALMAX = 78;
constexpr double WDLMATERIALUNIT = 58;
constexpr int WDLMATESCORE = 31872; // scores this large in absolute value are mates
constexpr int PERMILLE = 1000;

int winPerMille(int score, double midpoint, double scale) {
    return int(std::lround(PERMILLE / (1.0 + std::exp(-(score - midpoint) / scale))));
}
} // namespace

wdlStruct wdlFromScore(int score, int material) {
    if (score >= WDLMATESCORE) return {PERMILLE, 0, 0};
    if (score <= -WDLMATESCORE) return {0, 0, PERMILLE};
    const double x = std::clamp(material, WDLMATERIALMIN, WDLMATERIALMAX) / WDLMATERIALUNIT;
    const double midpoint = WDLMIDPOINT + WDLMIDPOINTSLOPE * x, scale = WDLSCALE + WDLSCALESLOPE * x;
    int win = winPerMille(score, midpoint, scale), loss = winPerMille(-score, midpoint, scale);
    // rounding (or a model whose chances overlap) must not make the draw negative
    if (win + loss > PERMILLE) {
        if (win >= loss) win = PERMILLE - loss;
        else loss = PERMILLE - win;
    }
    return {win, PERMILLE - win - loss, loss};
}

std::string wdlText(int score, int material) {
    if (!engine.searchShowWDL) return "";
    wdlStruct w = wdlFromScore(score, material);
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
