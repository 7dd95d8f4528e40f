// The lines of a MultiPV search: searched one after another, merged with those of the last
// depth, and reported.
#include "multiPV.h"

#include <utility>

#include "hash.h"
#include "principalVariation.h"
#include "searchReport.h"
#include "settings.h"
#include "threads.h"

namespace {

// Puts a line's variation where PVToString and the ponder move read it.
void loadLine(positionStruct* pos, const rootLineStruct& line) {
    for (int i = 0; i <= line.pvLength; i++) pos->plyStack[i].pvMove = line.pv[i];
    pos->pvLength = uint8_t(line.pvLength);
}

// The lines of this depth, best first, then the lines of the last depth that they do not
// replace (when the depth was cut short), become the lines to report.
void mergeLines(boss* b, size_t lineCount) {
    std::vector<rootLineStruct>& fresh = b->freshLines;
    // insertion sort: stable, and no allocation
    for (size_t i = 1; i < fresh.size(); i++) {
        for (size_t j = i; j > 0 && fresh[j].score > fresh[j - 1].score; j--) std::swap(fresh[j], fresh[j - 1]);
    }
    for (const rootLineStruct& old : b->lines) {
        if (fresh.size() >= lineCount) break;
        bool replaced = false;
        for (const rootLineStruct& f : fresh) replaced |= sameMove(f.pv[0], old.pv[0]);
        if (!replaced) fresh.push_back(old);
    }
    std::swap(b->lines, fresh);
}

} // namespace

iterationStruct searchLines(boss* b, positionStruct* pos, int d, int prev, const short* widths, int lineCount) {
    rootFilterStruct& filter = b->rootFilter;
    const int listedCount = filter.count;
    b->freshLines.clear();
    iterationStruct first{prev, false, 0, 0};
    int firstChanges = 0;
    for (int j = 0; j < lineCount; j++) {
        const int linePrev = j < int(b->lines.size()) ? b->lines[j].score : -INFINITESCORE;
        int alpha = -INFINITESCORE, beta = INFINITESCORE;
        if (d >= ASPIRATIONMINDEPTH && linePrev != -INFINITESCORE) {
            alpha = int16_t(linePrev - widths[0]);
            beta = int16_t(linePrev + widths[0]);
        }
        pos->rootChanges = 0;
        iterationStruct it = searchIteration(pos, d, linePrev, alpha, beta, widths, false);
        if (j == 0) {
            first = it;
            firstChanges = pos->rootChanges;
        }
        if (!it.finished) break;
        const moveStruct move = pos->plyStack[0].pvMove;
        getPVFromMove(pos, move, d);
        rootLineStruct line;
        line.score = it.result;
        line.depth = d;
        line.pvLength = pos->pvLength;
        for (int i = 0; i <= line.pvLength; i++) line.pv[i] = pos->plyStack[i].pvMove;
        b->freshLines.push_back(line);
        filter.moves[filter.count++] = move;
        applyRootFilter(pos, &filter);
    }
    filter.count = listedCount;
    applyRootFilter(pos, &filter);
    pos->rootChanges = int16_t(firstChanges);

    const bool anyFresh = !b->freshLines.empty();
    mergeLines(b, size_t(lineCount));
    if (b->lines.empty()) return first;
    // the best line is the root's result, and its move is the table's move for the next depth
    const rootLineStruct& best = b->lines[0];
    loadLine(pos, best);
    if (anyFresh) {
        pos->rootScore = int16_t(best.score);
        pos->rootDepth = int16_t(d);
        pos->rootDepthDone = 1;
        storeHashTable(pos->hashKey, 0, best.pv[0], best.score, d, BOUNDEXACT);
        first.result = best.score;
        first.finished = true;
    }
    return first;
}

void writeLines(boss* b, positionStruct* pos, bool scoreLines, bool stopped, U64 elapsed) {
    const size_t shown = std::min(b->lines.size(), size_t(engine.shownLines));
    for (size_t i = 0; i < shown; i++) {
        const rootLineStruct& line = b->lines[i];
        loadLine(pos, line);
        const std::string tag = engine.shownLines > 1 ? " multipv " + std::to_string(i + 1) : "";
        if (scoreLines) writeScoreLine(pos, line.score, line.depth, elapsed, tag);
        if (!stopped && mateFoundAt(line.score, line.depth)) writeMateLine(pos, line.score, line.depth, elapsed, tag);
    }
    if (!b->lines.empty()) loadLine(pos, b->lines[0]);
}
