// The search's reports.
#include "searchReport.h"

#include "principalVariation.h"
#include "score.h"
#include "search.h"
#include "settings.h"
#include "threads.h"
#include "wdlModel.h"

namespace {

struct poolTotalsStruct {
    U64 nodes;
    U64 tbHits;
};

poolTotalsStruct poolTotals() {
    poolTotalsStruct t{0, 0};
    for (worker* w : theWorkForce.workers) {
        t.nodes += readCounter(w->position.nodeCount) + readCounter(w->position.qNodeCount);
        t.tbHits += readCounter(w->position.tbHitCount);
    }
    theWorkForce.tbHits.store(t.tbHits, std::memory_order_relaxed);
    return t;
}

} // namespace

U64 elapsedMilliseconds() { return U64(steadyMilliseconds() - engine.startTime); }

std::string poolFigures(U64 elapsed) {
    poolTotalsStruct t = poolTotals();
    U64 time = elapsed ? elapsed : 1;
    return " nodes " + std::to_string(t.nodes) + " nps " + std::to_string(t.nodes * 1000 / time) + " time " +
           std::to_string(time) + " tbhits " + std::to_string(t.tbHits);
}

void writeScoreLine(positionStruct* pos, int score, int depth, U64 elapsed, const std::string& lineTag) {
    sendLine("info" + lineTag + " score cp " + std::to_string(score) + wdlText(score, wdlMaterial(pos)) + " depth " + std::to_string(depth) +
             " seldepth " + std::to_string(pos->selDepth) + poolFigures(elapsed) + " pv " + PVToString(pos));
}

int mateInMoves(int score) {
    int plies = MATESCORE - (score < 0 ? -score : score);
    int moves = (plies + 1) / 2;
    return score < 0 ? -moves : moves;
}

void writeMateLine(positionStruct* pos, int score, int depth, U64 elapsed, const std::string& lineTag) {
    const int mateIn = mateInMoves(score);
    sendLine("info" + lineTag + " score mate " + std::to_string(mateIn) + wdlText(score, wdlMaterial(pos)) + " depth " +
             std::to_string(depth) +
             poolFigures(elapsed) + " pv " + PVToString(pos));
}

bool mateFoundAt(int score, int depth) {
    return (score >= MATETHRESHOLD && MATESCORE - score <= depth) || (score <= -MATETHRESHOLD && MATESCORE + score <= depth);
}

void writeMatedRootLine(positionStruct* pos) { sendLine("info score mate 0" + wdlText(-MATESCORE, wdlMaterial(pos))); }

void writeTablebaseRootLine(positionStruct* pos, int score, moveStruct move) {
    sendLine("info score cp " + std::to_string(score) + wdlText(score, wdlMaterial(pos)) +
             " depth 127 seldepth 127 nodes 1 tbhits 1 time 1 pv " + moveToLA(&move, pos->sideToMove));
}

void writeBestMove(positionStruct* pos, moveStruct bestMove, moveStruct ponderMove) {
    const unsigned char side = pos->sideToMove;
    std::string line = "bestmove " + moveToLA(&bestMove, side, pos);
    if (ponderMove.from | ponderMove.to | ponderMove.flag) line += " ponder " + moveToLA(&ponderMove, side ^ 1, pos);
    sendLine(line);
}
