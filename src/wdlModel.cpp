// The win/draw/loss chances of a score.
#include "wdlModel.h"

#include <algorithm>
#include <cmath>

#include "score.h"
#include "settings.h"

namespace {

constexpr int PERMILLE = 1000;

int winPerMille(int score, double midpoint, double scale) {
    return int(std::lround(PERMILLE / (1.0 + std::exp(-(score - midpoint) / scale))));
}

} // namespace

int wdlMaterial(const positionStruct* pos) {
    const U64* bb = pos->pieceBB;
    return __builtin_popcountll(bb[WPAWN] | bb[BPAWN]) +
           3 * __builtin_popcountll(bb[WKNIGHT] | bb[BKNIGHT] | bb[WBISHOP] | bb[BBISHOP]) +
           5 * __builtin_popcountll(bb[WROOK] | bb[BROOK]) + 9 * __builtin_popcountll(bb[WQUEEN] | bb[BQUEEN]);
}

wdlStruct wdlFromScore(int score, int material) {
    if (score >= MATETHRESHOLD) return {PERMILLE, 0, 0};
    if (score <= -MATETHRESHOLD) return {0, 0, PERMILLE};
    const double x = std::clamp(material, WDLMATERIALMIN, WDLMATERIALMAX) / WDLMATERIALSCALE;
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
