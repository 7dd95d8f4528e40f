// The win/draw/loss model of the score lines: the chance of a win is a logistic function of the
// score whose midpoint and scale depend on the material on the board. The engine shows it with
// UCI_ShowWDL; the converter's fit (tools/wdlFit) measures it on games with the same material
// count and range.
#pragma once

#include <string>

#include "general.h"

// The material count: pawn 1, minor 3, rook 5, queen 9, both sides (78 at the start), limited
// to this range and divided by the scale.
constexpr int WDLMATERIALMIN = 17;
constexpr int WDLMATERIALMAX = 78;
constexpr double WDLMATERIALSCALE = 58.0;

// P(win | score s, material m) = 1 / (1 + exp(-(s - a(x)) / b(x))), x = m / 58 (limited as
// above), a and b linear in x: fewer men make an equal score more drawn and a given advantage
// more decisive. Fitted by wdlfit on the engine's own games: 8000 self-play games
// (train/datagen.sh seeds 1 to 4, 5000 nodes a move, the hand-set evaluation, commit 170e571),
// 725,090 positions; held out one game in ten, its log-loss is 0.697 against 0.761 for the score
// alone and 1.095 for the bare result rates.
constexpr double WDLMIDPOINT = 316.6; // a(x) = WDLMIDPOINT + WDLMIDPOINTSLOPE * x, centipawns
constexpr double WDLMIDPOINTSLOPE = -199.7;
constexpr double WDLSCALE = 152.3; // b(x) = WDLSCALE + WDLSCALESLOPE * x, centipawns
constexpr double WDLSCALESLOPE = -44.6;

// The material count of a position.
int wdlMaterial(const positionStruct* pos);

// Win, draw and loss chances in per mille from the side to move's view: the loss chance is the
// win chance of the negated score, the draw what is left; the three sum to exactly 1000 and a
// mate score is certain.
struct wdlStruct {
    int win, draw, loss;
};
wdlStruct wdlFromScore(int score, int material);
// " wdl W D L" for a score line when the current search shows the chances, else "".
std::string wdlText(int score, int material);
