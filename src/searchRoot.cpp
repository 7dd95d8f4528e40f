// The root search: iterative deepening with aspiration windows, the helpers' depth skipping,
// the reports of the main thread and the choice of its move; and the fixed-depth search of the
// tools and tests.
#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "hash.h"
#include "history.h"
#include "move.h"
#include "moveTable.h"
#include "multiPV.h"
#include "principalVariation.h"
#include "search.h"
#include "searchReport.h"
#include "settings.h"
#include "strength.h"
#include "syzygy.h"
#include "threads.h"
#include "timeManager.h"

namespace {

// The rating limit's choices differ from game to game.
std::mt19937_64 strengthRandom(uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));

// Aspiration half-width and the four widening steps, by thread row (id mod 16).
constexpr short aspMatrix[16][5] = {
    {15, 35, 40, 80, 160}, {15, 20, 40, 80, 160}, {11, 19, 31, 49, 76},   {15, 35, 40, 80, 160},
    {50, 40, 80, 160, 320}, {15, 35, 40, 80, 160}, {29, 32, 68, 124, 200}, {15, 35, 40, 80, 160},
    {15, 35, 40, 80, 160}, {29, 32, 68, 124, 200}, {15, 35, 40, 80, 160}, {15, 35, 40, 80, 160},
    {15, 20, 40, 80, 160}, {11, 19, 31, 49, 76},   {50, 40, 80, 160, 320}, {35, 27, 58, 139, 200}};
// Worker threads skip depths by this pattern so that they spread over several depths.
constexpr int skipCnt[16] = {1, 2, 2, 3, 3, 3, 4, 4, 6, 3, 2, 2, 4, 5, 3, 2};
constexpr int skipAmount[16] = {0, 1, 0, 1, 1, 0, 0, 2, 1, 3, 0, 2, 2, 1, 1, 0};

constexpr int ROWS = 16;
constexpr int REPORTMINDEPTH = 10;
constexpr int MAXROOTDEPTH = 127;
constexpr int SKIPQUORUMMINDEPTH = 10;
constexpr int MINREPORTTIME = 100;
constexpr int MINREPORTTIMETARGET = 1600;
constexpr U64 NODELIMITSHARES = 16;

// The first legal root move the search may play, as the search records moves (the piece in
// the fourth byte).
moveStruct firstRootMove(positionStruct* pos) {
    moveStruct m = *pos->plyStack[0].listStart;
    for (moveStruct* c = pos->plyStack[0].listStart; c < pos->plyStack[0].listEnd; c++) {
        if (!rootMoveExcluded(*c, pos)) {
            m = *c;
            break;
        }
    }
    m.score = uint8_t(pos->board[m.from]);
    return m;
}

// Leaves out the legal root moves (generated at ply 0) that a searchmoves list does not name.
void buildRootFilter(positionStruct* pos, rootFilterStruct* filter) {
    filter->count = 0;
    const std::vector<uint32_t>& listed = engine.searchMoves;
    if (!listed.empty()) {
        for (moveStruct* m = pos->plyStack[0].listStart; m < pos->plyStack[0].listEnd; m++) {
            bool named = false;
            for (uint32_t l : listed) named |= sameMove(intToMove(l), *m);
            if (!named && filter->count < MAXROOTFILTER) filter->moves[filter->count++] = *m;
        }
        // a list that names no move here leaves every move in
        if (filter->count == pos->plyStack[0].listEnd - pos->plyStack[0].listStart) filter->count = 0;
    }
    applyRootFilter(pos, filter);
}

} // namespace

void resetSearchState(positionStruct* pos) {
    pos->nodeCount = pos->qNodeCount = pos->tbHitCount = 0;
    pos->selDepth = 0;
    pos->pvLength = 0;
    pos->rootChanges = 0;
    pos->plyStack[0].pvMove = EMPTYMOVE;
    pos->timeCheckCountdown = uint32_t(engine.nodeCheckInterval);
}

iterationStruct searchIteration(positionStruct* pos, int d, int prev, int alpha, int beta, const short* widths,
                                bool storeRoot) {
    iterationStruct it{prev, false, 0, 0};
    if (theWorkForce.stop.load(std::memory_order_relaxed)) return it;
    while (true) {
        int s = alfabeta(0, d, short(alpha), short(beta), pos);
        if (s <= alpha) {
            int k = ++it.failsLow;
            beta = (alpha + beta) / 2;
            alpha = k <= 4 ? s - widths[k] : -MATESCORE;
        } else if (s >= beta) {
            int k = ++it.failsHigh;
            beta = k <= 4 ? s + widths[k] : MATESCORE;
        } else {
            if (theWorkForce.stop.load(std::memory_order_relaxed)) return it;
            pos->rootScore = int16_t(s);
            if (storeRoot) storeHashTable(pos->hashKey, 0, pos->plyStack[0].pvMove, s, d, BOUNDEXACT);
            pos->rootDepthDone = 1;
            pos->rootDepth = int16_t(d);
            it.result = s;
            it.finished = true;
            return it;
        }
        if (theWorkForce.stop.load(std::memory_order_relaxed)) return it;
    }
}

bool nodeLimitReached(positionStruct* pos) {
    const std::vector<worker*>& workers = theWorkForce.workers;
    U64 total = 0;
    for (worker* w : workers) total += readCounter(w->position.nodeCount) + readCounter(w->position.qNodeCount);
    const U64 limit = engine.nodesLimit;
    if (total >= limit) return true;
    // each thread checks again before the threads together can have used a fraction of what
    // is left (quiescence nodes come on top of the counted ones)
    const U64 share = (limit - total) / (NODELIMITSHARES * U64(workers.empty() ? 1 : workers.size()));
    if (share < pos->timeCheckCountdown) pos->timeCheckCountdown = uint32_t(share);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Root search

void worker::searchRoot() {
    positionStruct* pos = positionPtr;
    workForce& pool = theWorkForce;
    const bool isMain = id == 0;

    // Set-up
    const int minReportTime = engine.targetTime >= MINREPORTTIMETARGET ? engine.targetTime / 16 : MINREPORTTIME;
    int maxDepth = engine.depthLimit;
    pos->timeCheckCountdown = uint32_t(engine.nodeCheckInterval);
    pos->plyStack[0].killerMove[0] = pos->plyStack[0].killerMove[1] = EMPTYMOVE;
    const int row = id % ROWS;
    const short* widths = aspMatrix[row];
    pool.timeUp.store(false, std::memory_order_relaxed);
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    const long rootMoves = pos->plyStack[0].listEnd - pos->plyStack[0].listStart;
    pos->rootScore = -INFINITESCORE;
    pos->rootDepth = 0;
    pos->rootDepthDone = 1;
    buildRootFilter(pos, &rootFilter);
    const long allowedMoves = rootMoves - rootFilter.count;
    // a search stopped before its first root move is scored still answers with a legal move
    if (rootMoves > 0) pos->plyStack[0].pvMove = firstRootMove(pos);
    // In a MultiPV search the main thread reports several lines and the helpers only help.
    const bool multiLine = engine.pvLines > 1;
    const int lineCount = int(std::min<long>(engine.pvLines, allowedMoves));
    boss* const lineKeeper = isMain && multiLine && lineCount > 0 ? static_cast<boss*>(this) : nullptr;
    // the lines of an earlier search, of another position, must never give this one's move
    if (isMain) static_cast<boss*>(this)->lines.clear();
    if (lineKeeper) {
        lineKeeper->lines.reserve(size_t(lineCount));
        lineKeeper->freshLines.reserve(size_t(lineCount));
    }

    // Root shortcuts
    if (isMain) {
        if (pos->plyStack[0].inCheck && rootMoves == 0) {
            pool.stop.store(true, std::memory_order_relaxed);
            writeMatedRootLine(pos);
            pos->plyStack[0].pvMove = EMPTYMOVE;
            pos->pvLength = 0;
            engine.elapsedTime = 1;
            return;
        }
        int tbLargest = syzygyLargestTable();
        // several lines are searched, also from a tablebase position
        if (!multiLine && tbLargest > 0 && pos->plyStack[0].castleRights == 0 &&
            popCount(pos->pieceBB[WHITE] | pos->pieceBB[BLACK]) <= tbLargest) {
            int tbScore = 0;
            uint32_t tbMove = syzygyProbeDTZ(0, pos, rootFilter.moves, rootFilter.count, &tbScore);
            if (tbMove) {
                writeTablebaseRootLine(pos, tbScore, intToMove(tbMove));
                pool.stop.store(true, std::memory_order_relaxed);
                pos->plyStack[0].pvMove = intToMove(tbMove);
                pos->pvLength = 0;
                engine.elapsedTime = 1;
                pos->rootDepthDone = 1;
                pos->rootDepth = MAXROOTDEPTH;
                return;
            }
        }
    }

    if (rootMoves == 1) maxDepth = 3;
    const int nofThreads = int(pool.workers.size());
    const int quorum = nofThreads / 2 + (nofThreads > 3 ? 1 : 0);

    // Iterative deepening
    int prev = -INFINITESCORE, done = 0, alpha = -INFINITESCORE, beta = INFINITESCORE;
    double factor = 1.0;
    bool cont = true;
    bool stopReported = false;
    U64 elapsed = 0;
    // the last depth the main thread completed, and the last depth its lines showed
    int completedDepth = 0, reportedDepth = 0;
    while (true) {
        int d = done + 1;
        bool reportable = isMain && d >= REPORTMINDEPTH;
        bool skip = false;
        if (!isMain) {
            bool quorumTest = d >= SKIPQUORUMMINDEPTH;
            if ((row + d) % skipCnt[row] == 0) {
                d += skipAmount[row];
                if (d > MAXROOTDEPTH - 1) d = MAXROOTDEPTH;
                quorumTest = d >= SKIPQUORUMMINDEPTH;
            }
            if (quorumTest) {
                // a depth that enough other threads already search is left to them
                int count = 0;
                for (worker* w : pool.workers) {
                    if (count >= quorum) break;
                    if (w != this && w->currentDepth.load(std::memory_order_relaxed) >= d) count++;
                }
                skip = count >= quorum;
            }
        }
        if (skip) {
            done = d;
            currentDepth.store(d, std::memory_order_relaxed);
        } else {
            if (d >= ASPIRATIONMINDEPTH) {
                alpha = int16_t(prev - widths[0]);
                beta = int16_t(prev + widths[0]);
            }
            currentDepth.store(d, std::memory_order_relaxed);
            pos->rootChanges = 0;
            iterationStruct it = lineKeeper ? searchLines(lineKeeper, pos, d, prev, widths, lineCount)
                                            : searchIteration(pos, d, prev, alpha, beta, widths, isMain && reportable);
            prev = it.result;
            done = d;
            if (it.finished) completedDepth = d;
            int instability = pos->rootChanges;
            if (it.failsHigh > 1 || it.failsLow > 1) instability += std::max(it.failsLow - 1, it.failsHigh - 1);
            elapsed = elapsedMilliseconds();
            const bool stopped = pool.stop.load(std::memory_order_relaxed);
            stopReported = stopped;

            // Reports
            if (isMain) {
                engine.elapsedTime = elapsed;
                // a search ended by its node count reports where it stopped, even below the
                // depth of the first report
                if (stopped && engine.nodesLimit != 0 && prev != -INFINITESCORE) reportable = true;
                boss* b = static_cast<boss*>(this);
                if (reportable) reportedDepth = d;
                if (lineKeeper) {
                    writeLines(lineKeeper, pos, reportable, pool.stop.load(std::memory_order_relaxed), elapsed);
                    if (reportable && !stopped && pos->pvLength != 0) {
                        b->savedBestMove = pos->plyStack[0].pvMove;
                        b->savedPonderMove = pos->plyStack[1].pvMove;
                    }
                } else if (reportable) {
                    getPVFromHashTable(0, pos, d);
                    if (!stopped && pos->pvLength != 0) {
                        b->savedBestMove = pos->plyStack[0].pvMove;
                        b->savedPonderMove = pos->plyStack[1].pvMove;
                    }
                    writeScoreLine(pos, prev, d, elapsed);
                }
                if (mateFoundAt(prev, d) && !pool.stop.load(std::memory_order_relaxed)) {
                    if (!lineKeeper) {
                        writeMateLine(pos, prev, d, elapsed);
                        reportedDepth = d;
                    }
                    // a found mate ends the search; with go mate only a mate as short as asked
                    const bool ends = engine.mateLimit == 0 || (prev > 0 && mateInMoves(prev) <= engine.mateLimit);
                    if (ends && !pool.pondering.load(std::memory_order_relaxed) && !engine.infinite) break;
                }
            }

            // Time and depth control
            bool newDeepest = false;
            if (elapsed > U64(minReportTime) && d > pool.deepestDepth.load(std::memory_order_relaxed)) {
                pool.deepestDepth.store(d, std::memory_order_relaxed);
                newDeepest = true;
            }
            factor = nextTimeFactor(factor, d, instability);
            // a helper's depth does not end a MultiPV search: the main thread's lines do
            if (isMain || (newDeepest && !multiLine)) {
                if (maxDepth != 0) {
                    if (d >= maxDepth)
                        cont = engine.infinite;
                    else if (engine.infinite)
                        cont = true;
                } else {
                    if (softBudgetUsed(factor, elapsed))
                        pool.timeUp.store(true, std::memory_order_relaxed);
                    cont = pool.pondering.load(std::memory_order_relaxed) ? true
                                                                          : !pool.timeUp.load(std::memory_order_relaxed);
                    if (engine.infinite) cont = true;
                }
            }
        }
        // A node-limited search ends with a line of the count it stopped at: where another
        // thread stopped the pool after this iteration's report, one more (empty) round reports it.
        const bool stopNow = isMain && engine.nodesLimit != 0 ? stopReported : pool.stop.load(std::memory_order_relaxed);
        if (!cont || d > MAXROOTDEPTH - 1 || stopNow) break;
    }

    elapsed = elapsedMilliseconds();
    if (isMain) engine.elapsedTime = elapsed;
    if (!cont) pool.stop.store(true, std::memory_order_relaxed);
    // A search that ended before its first report (by depth, time, nodes, mate or stop) still
    // shows the lines of its last completed depth, as a report from the tenth depth on would.
    if (isMain && completedDepth > reportedDepth) {
        if (lineKeeper) {
            writeLines(lineKeeper, pos, true, false, elapsed);
        } else {
            // the line starts with the move that will be played, also when a deeper depth cut
            // short had found it
            getPVFromMove(pos, pos->plyStack[0].pvMove, completedDepth);
            writeScoreLine(pos, prev, completedDepth, elapsed);
            if (mateFoundAt(prev, completedDepth)) writeMateLine(pos, prev, completedDepth, elapsed);
        }
    }
}

void boss::searchRoot() {
    workForce& pool = theWorkForce;
    savedBestMove = savedPonderMove = EMPTYMOVE;
    pool.wakeHelpers();
    worker::searchRoot();
    pool.timeUp.store(true, std::memory_order_relaxed);
    // while pondering or infinite the result waits for stop
    while (!pool.stop.load(std::memory_order_relaxed) &&
           (engine.infinite || pool.pondering.load(std::memory_order_relaxed)))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pool.stop.store(true, std::memory_order_relaxed);
    pool.waitHelpers();

    worker* best = pool.votedWorker();
    positionStruct* bp = best->positionPtr;
    if (best != this) {
        getPVFromHashTable(0, bp, bp->rootDepth);
        writeScoreLine(bp, bp->rootScore, bp->rootDepth, engine.elapsedTime);
    }

    moveStruct bestMove = bp->plyStack[0].pvMove;
    moveStruct ponderMove = EMPTYMOVE;
    if (bp->pvLength != 0)
        ponderMove = bp->plyStack[1].pvMove;
    else if (sameMove(savedBestMove, bestMove))
        ponderMove = savedPonderMove;
    // at a limited rating the move comes from one of the lines within the rating's margin
    if (engine.weakened && bp == positionPtr && !lines.empty()) {
        int scores[MAXROOTFILTER];
        size_t count = std::min(lines.size(), sizeof scores / sizeof scores[0]);
        for (size_t i = 0; i < count; i++) scores[i] = lines[i].score;
        const rootLineStruct& chosen = lines[chooseStrengthLine(scores, count, engine.searchElo, strengthRandom())];
        bestMove = chosen.pv[0];
        ponderMove = chosen.pvLength > 0 ? chosen.pv[1] : EMPTYMOVE;
    }
    writeBestMove(bp, bestMove, ponderMove);
}

// ---------------------------------------------------------------------------------------------
// Fixed-depth search for tests and benchmarks

searchResultStruct searchFixedDepth(positionStruct* pos, int depth, bool freshTables) {
    theWorkForce.stop.store(false, std::memory_order_relaxed);
    if (freshTables) clearSearchTables(pos);
    resetSearchState(pos);
    pos->rootScore = -INFINITESCORE;
    pos->rootDepth = 0;
    pos->rootDepthDone = 1;
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    searchResultStruct result{0, EMPTYMOVE, 0, 0};
    if (pos->plyStack[0].listEnd == pos->plyStack[0].listStart) {
        result.score = pos->plyStack[0].inCheck ? -MATESCORE : DRAWSCORE;
        return result;
    }
    pos->plyStack[0].pvMove = firstRootMove(pos);
    int prev = -INFINITESCORE, alpha = -INFINITESCORE, beta = INFINITESCORE;
    if (depth > MAXROOTDEPTH) depth = MAXROOTDEPTH;
    for (int d = 1; d <= depth; d++) {
        if (d >= ASPIRATIONMINDEPTH) {
            alpha = int16_t(prev - aspMatrix[0][0]);
            beta = int16_t(prev + aspMatrix[0][0]);
        }
        iterationStruct it = searchIteration(pos, d, prev, alpha, beta, aspMatrix[0], true);
        prev = it.result;
        if (!it.finished) break;
        result.depth = d;
    }
    result.score = prev;
    result.bestMove = pos->plyStack[0].pvMove;
    result.nodes = pos->nodeCount + pos->qNodeCount;
    return result;
}
