// The eval command's table, built from the evaluation's own terms.
#include "evalTable.h"

#include <algorithm>
#include <cstdio>

#include "eval.h"
#include "evaluate.h"

namespace {

std::string row(const char* name, int white, int black) {
    char text[96];
    std::snprintf(text, sizeof(text), "%-15s %9d %9d %9d %9d", name, mgScore(white), egScore(white), mgScore(black),
                  egScore(black));
    return text;
}

} // namespace

std::vector<std::string> evaluationTable(positionStruct* pos) {
    evalTermsStruct e;
    evaluatePacked(pos, &e);
    const int side = pos->sideToMove & 1;
    const int pawns[2] = {pawnStructureOf(pos, WHITE), pawnStructureOf(pos, BLACK)};
    const int* perSide[] = {pos->material, pos->psqScore, pawns,         e.shelter,   e.mobility,   e.outposts,
                            e.pins,        e.placement,   e.threats,     e.kingDanger, e.bishopPair, e.tempo};
    const char* names[] = {"material", "piece-square", "pawns", "king shelter", "mobility", "outposts",
                           "pins", "placement", "threats", "king danger", "bishop pair", "tempo"};

    std::vector<std::string> lines;
    char text[160];
    std::snprintf(text, sizeof(text), "%-15s %9s %9s %9s %9s", "term", "white mg", "white eg", "black mg", "black eg");
    lines.push_back(text);
    int sums[2] = {0, 0};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); i++) {
        lines.push_back(row(names[i], perSide[i][WHITE], perSide[i][BLACK]));
        sums[WHITE] += perSide[i][WHITE];
        sums[BLACK] += perSide[i][BLACK];
    }
    lines.push_back(row("total", sums[WHITE], sums[BLACK]));

    const int total = sums[WHITE] - sums[BLACK];
    const int phase = std::clamp(int(pos->phase), PHASEMIN, PHASEMAX);
    std::snprintf(text, sizeof(text), "phase %d, used %d: middlegame weight %d, endgame weight %d, of %d", pos->phase,
                  phase, phase - PHASEMIN, PHASEMAX - phase, PHASEMAX - PHASEMIN);
    lines.push_back(text);
    std::snprintf(text, sizeof(text), "white - black: middlegame %d, endgame %d, blended %d", mgScore(total),
                  egScore(total), blendScore(total, pos->phase));
    lines.push_back(text);
    // the score the search uses, with the evaluation's cache and its pawnless-draw rule
    const int score = evaluateClassic(pos);
    const int whiteScore = side == WHITE ? score : -score;
    if (whiteScore != blendScore(total, pos->phase)) lines.push_back("without pawns the material is a draw: 0");
    lines.push_back("score from white's view: " + std::to_string(whiteScore));
    lines.push_back(std::string("score from the side to move's view (") + (side == WHITE ? "white" : "black") +
                    "): " + std::to_string(score));
    return lines;
}
