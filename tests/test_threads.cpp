// The pool of search threads: searches with one, two and four threads, stop during a search,
// rebuilding the pool, and many start/stop cycles that must end without a deadlock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <future>
#include <regex>
#include <thread>

#include "hash.h"
#include "move.h"
#include "search.h"
#include "syzygy.h"
#include "testSupport.h"
#include "threads.h"
#include "uci.h"

namespace {

const char* const poolPositions[] = {
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "2r2rk1/1bqnbppp/pp1ppn2/8/2PNP3/1PN1BP2/P2QB1PP/2RR2K1 b - - 0 1",
};

void setLimits(int depth, bool infinite) {
    // Tables loaded by an earlier test would answer small roots without a search.
    if (syzygyLargestTable() != 0) setSyzygyPath("");
    engine.depthLimit = depth;
    engine.infinite = infinite;
    engine.nodeCheckInterval = 4096;
    engine.targetTime = 1 << 29;
    engine.maxTime = 1 << 30;
    engine.timeFactor = 1.0f;
    engine.startTime = steadyMilliseconds();
    theWorkForce.pondering = false;
}

// The move of the last "bestmove" line of the text, or "" without one.
std::string bestMoveOf(const std::string& output) {
    std::smatch m;
    std::string last;
    std::string::const_iterator from = output.begin();
    std::regex line("bestmove ([a-h][1-8][a-h][1-8][nbrq]?)");
    while (std::regex_search(from, output.end(), m, line)) {
        last = m[1];
        from = m.suffix().first;
    }
    return last;
}

bool isLegalWord(const std::string& fen, const std::string& word) {
    testPositionStruct p(fen);
    moveStruct m;
    return parseMoveWord(word, p.get(), &m);
}

// Runs f on another thread and reports whether it finished within the time (a thread that
// hangs is left behind, so that the test fails instead of hanging too).
template <class F>
bool finishesWithin(std::chrono::seconds limit, F f) {
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    std::thread([finished, f] {
        f();
        finished->set_value();
    }).detach();
    return done.wait_for(limit) == std::future_status::ready;
}

} // namespace

TEST(SearchThreads, OneTwoAndFourThreadsPlayLegalMoves) {
    initEngineTablesOnce();
    for (int threads : {1, 2, 4}) {
        theWorkForce.setNofWorkers(threads);
        ASSERT_EQ(theWorkForce.workers.size(), size_t(threads));
        for (const char* fen : poolPositions) {
            clearHashTable();
            ASSERT_TRUE(setPosition(fen, &GPSData));
            setLimits(7, false);
            testing::internal::CaptureStdout();
            theWorkForce.startSearch(0);
            theWorkForce.waitIdle();
            std::string out = testing::internal::GetCapturedStdout();
            std::string word = bestMoveOf(out);
            EXPECT_TRUE(isLegalWord(fen, word)) << threads << " threads, " << fen << "\n" << out;
            EXPECT_TRUE(theWorkForce.stop);
        }
    }
    theWorkForce.setNofWorkers(1);
}

TEST(SearchThreads, ReportsScoreLinesAndPonderMove) {
    initEngineTablesOnce();
    theWorkForce.setNofWorkers(2);
    clearHashTable();
    ASSERT_TRUE(setPosition(poolPositions[1], &GPSData));
    setLimits(11, false);
    testing::internal::CaptureStdout();
    theWorkForce.startSearch(3);
    theWorkForce.waitIdle();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(hashAgeCounter, 3);
    // score lines from depth 10 on only, each with the full set of fields
    EXPECT_EQ(out.find(" depth 9 "), std::string::npos) << out;
    std::regex scoreLine("info score cp -?[0-9]+ depth 1[01] seldepth [0-9]+ nodes [0-9]+ nps [0-9]+ time [0-9]+ "
                         "tbhits 0 pv ([a-h][1-8][a-h][1-8][nbrq]? )+\n");
    EXPECT_TRUE(std::regex_search(out, scoreLine)) << out;
    std::regex bestLine("bestmove [a-h][1-8][a-h][1-8][nbrq]?( ponder [a-h][1-8][a-h][1-8][nbrq]?)?\n$");
    EXPECT_TRUE(std::regex_search(out, bestLine)) << out;
    EXPECT_NE(out.find(" ponder "), std::string::npos) << out;
    theWorkForce.setNofWorkers(1);
}

TEST(SearchThreads, CheckmatedRootAndSingleReply) {
    initEngineTablesOnce();
    theWorkForce.setNofWorkers(2);
    ASSERT_TRUE(setPosition("R5k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1", &GPSData));
    setLimits(0, false);
    testing::internal::CaptureStdout();
    theWorkForce.startSearch(0);
    theWorkForce.waitIdle();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("info score mate 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("bestmove a1a1\n"), std::string::npos) << out;

    // one legal move: the search ends after depth 3 even without a depth limit
    ASSERT_TRUE(setPosition("7k/8/5QK1/8/8/8/8/8 b - - 0 1", &GPSData));
    setLimits(0, false);
    testing::internal::CaptureStdout();
    bool ended = finishesWithin(std::chrono::seconds(20), [] {
        theWorkForce.startSearch(0);
        theWorkForce.waitIdle();
    });
    out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended);
    EXPECT_EQ(bestMoveOf(out), "h8g8") << out;
    EXPECT_LE(theWorkForce.workers[0]->position.rootDepth, 3);
    theWorkForce.setNofWorkers(1);
}

TEST(SearchThreads, StopAndRebuildWithoutDeadlock) {
    initEngineTablesOnce();
    testing::internal::CaptureStdout();
    bool ended = finishesWithin(std::chrono::seconds(120), [] {
        for (int cycle = 0; cycle < 24; cycle++) {
            int threads = 1 + cycle % 4;
            if (cycle % 6 == 0) theWorkForce.setNofWorkers(threads);
            setPosition(poolPositions[cycle % 4], &GPSData);
            setLimits(0, true);
            theWorkForce.startSearch(cycle);
            if (cycle % 3) std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 3 * 10));
            theWorkForce.stop = true;
            theWorkForce.waitIdle();
        }
        // a pool rebuilt while a search runs waits for its result first
        setLimits(0, true);
        theWorkForce.startSearch(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        theWorkForce.stop = true;
        theWorkForce.setNofWorkers(3);
        theWorkForce.setNofWorkers(0);
        theWorkForce.waitIdle(); // nothing to wait for with an empty pool
        theWorkForce.startSearch(0);
        theWorkForce.setNofWorkers(1);
    });
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ended);
    size_t lines = 0;
    for (size_t at = out.find("bestmove "); at != std::string::npos; at = out.find("bestmove ", at + 1)) lines++;
    EXPECT_EQ(lines, 25u) << out; // one for every search started, none with an empty pool
    // a search stopped at once still answers with a move of the position
    EXPECT_EQ(out.find("bestmove a1a1"), std::string::npos) << out;
    setLimits(0, false);
}
