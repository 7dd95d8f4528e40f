// Playing conditions beyond analysis: the move overhead of a network, play at a chosen rating and
// the bench command of testing frameworks.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tools/bench.h"
#include "engineProcess.h"
#include "hash.h"
#include "strength.h"
#include "testSupport.h"
#include "timeManager.h"
#include "uci.h"

namespace {

struct budgetStruct {
    int target, max;
};

budgetStruct budgetFor(int clock, int overhead, int moveTime = 0) {
    engineStruct saved = engine;
    engine.timeLeft[WHITE] = clock;
    engine.increment[WHITE] = 0;
    engine.movesToGo = 30;
    engine.movesToGoGiven = false;
    engine.gamePly = 0;
    engine.moveTime = moveTime;
    engine.nofThreads = 1;
    engine.ponder = false;
    engine.moveOverhead = overhead;
    computeTimeBudget(WHITE);
    budgetStruct b{engine.targetTime, engine.maxTime};
    engine = saved;
    return b;
}

} // namespace

TEST(PlayMoveOverhead, TheBudgetOfWhatTheOverheadLeaves) {
    budgetStruct withOverhead = budgetFor(1000, 500), plain = budgetFor(500, 0);
    EXPECT_EQ(withOverhead.target, plain.target);
    EXPECT_EQ(withOverhead.max, plain.max);
    budgetStruct moveTime = budgetFor(900000, 300, 1000);
    EXPECT_EQ(moveTime.max, 700);
    // an overhead beyond the clock leaves a few milliseconds, never nothing
    budgetStruct eaten = budgetFor(1000, 5000);
    EXPECT_GE(eaten.max, 1);
    EXPECT_LE(eaten.max, 10);

    engineProcess engine;
    engine.send("setoption name Move Overhead value 500");
    EXPECT_EQ(engine.waitFor("info string"), "info string Move Overhead set to : 500");
    engine.send("setoption name Move Overhead value 99999");
    EXPECT_EQ(engine.waitFor("info string"), "info string Move Overhead set to : 5000");
    engine.send("setoption name Move Overhead value soon");
    EXPECT_NE(engine.waitFor("info string").find("needs a number"), std::string::npos);
    for (const char* overhead : {"500", "5000"}) {
        engine.send(std::string("setoption name Move Overhead value ") + overhead);
        engine.waitFor("info string");
        engine.send("position startpos moves e2e4");
        // the budget of what the overhead leaves (TheBudgetOfWhatTheOverheadLeaves) ends the
        // search by itself, with a legal move
        engine.send("go wtime 1000 btime 1000");
        std::string best = engine.waitFor("bestmove", 30000 * TIMESCALE);
        EXPECT_TRUE(legalAfter("startpos moves e2e4", best.substr(9, 4))) << overhead << ": " << best;
    }
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}

// The bench's node count at depth 9 with the hand-set evaluation: the whole search (pruning,
// reductions, ordering, the table) in one number, which a change that claims to change no
// search behaviour keeps. A change of the search changes it with the signature of the README.
TEST(PlayBench, NodeCountAtDepthNine) {
    initEngineTablesOnce();
    EXPECT_EQ(runBench(9, false).nodes, 984325u);
    allocateHashTable(BENCHHASHMB);
}

TEST(PlayBench, CommandLinePrintsTheSignature) {
    initEngineTablesOnce();
    const int depth = 6;
    uint64_t nodes = runBench(depth, false).nodes;
    allocateHashTable(BENCHHASHMB);
    engineProcess engine({"bench", std::to_string(depth)});
    EXPECT_EQ(engine.waitFor("Nodes searched", 60000 * TIMESCALE), "Nodes searched  : " + std::to_string(nodes));
    EXPECT_EQ(engine.waitFor("Nodes/second").rfind("Nodes/second    : ", 0), 0u);
    EXPECT_EQ(engine.waitExit(), 0);
    engineProcess bad({"bench", "x"});
    EXPECT_EQ(bad.waitFor("info string"), "info string bench depth must be a number from 1 to 64");
    EXPECT_EQ(bad.waitExit(), 0);
}

TEST(PlayStrength, ChoiceOfLineBudgetAndMargin) {
    // a mate is always taken; a line that is mated only when every line is
    const int mating[] = {31999, 120, 110, 100};
    const int mated[] = {40, -31990, -31992, -31994};
    const int close[] = {20, 10, 0, -10};
    std::set<size_t> chosen;
    for (uint64_t r = 0; r < 200; r++) {
        EXPECT_EQ(chooseStrengthLine(mating, 4, MINELO, r * 7919), 0u);
        EXPECT_EQ(chooseStrengthLine(mated, 4, MINELO, r * 7919), 0u);
        EXPECT_EQ(chooseStrengthLine(close, 4, MAXELO, r * 7919), 0u);
        chosen.insert(chooseStrengthLine(close, 4, MINELO, r * 7919));
    }
    EXPECT_EQ(chosen.size(), 4u);
    for (int elo = MINELO; elo < MAXELO; elo += 100) {
        EXPECT_LT(strengthNodeBudget(elo), strengthNodeBudget(elo + 100)) << elo;
        EXPECT_GE(strengthMargin(elo), strengthMargin(elo + 100)) << elo;
    }
}

// At the lowest rating the engine still answers at once with legal moves and takes a mate.
TEST(PlayStrength, LowestRatingStillMatesAndKeepsTheClock) {
    engineProcess engine;
    engine.send("setoption name UCI_LimitStrength value true");
    EXPECT_EQ(engine.waitFor("info string"), "info string UCI_LimitStrength set to : 1");
    engine.send("setoption name UCI_Elo value 500");
    EXPECT_EQ(engine.waitFor("info string"), "info string UCI_Elo set to : 1000");
    engine.send("setoption name UCI_Elo value strong");
    EXPECT_NE(engine.waitFor("info string").find("needs a number"), std::string::npos);
    for (int game = 0; game < 10; game++) {
        engine.send("ucinewgame");
        engine.waitFor("readyok");
        engine.send("position fen 6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
        engine.send("go wtime 5000 btime 5000 winc 50 binc 50");
        EXPECT_EQ(engine.waitFor("bestmove").substr(0, 13), "bestmove d1d8");
        engine.send("position startpos moves e2e4 c7c5 g1f3");
        // the clock's budget ends the search by itself
        engine.send("go wtime 300 btime 300");
        std::string best = engine.waitFor("bestmove", 30000 * TIMESCALE);
        ASSERT_NE(best, "");
        std::string move = best.substr(9, 4);
        testPositionStruct pos;
        applyMoveWords("e2e4 c7c5 g1f3", pos.get());
        moveStruct m;
        EXPECT_TRUE(parseMoveWord(move, pos.get(), &m)) << best;
    }
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}

// A search of one line after a search of several (a rating with fewer lines, or MultiPV set
// back to 1) plays a move of its own position, never one of the earlier lines.
TEST(PlayStrength, FewerLinesAfterMoreGiveAMoveOfThisPosition) {
    engineProcess engine;
    const std::string first = "startpos moves e2e4 e7e5 g1f3 b8c6";
    const std::string second = "fen 6k1/pp3ppp/2p5/3r4/3P4/2P2P2/PP4PP/4R1K1 w - - 0 1";
    auto play = [&](const std::string& position) {
        engine.send("position " + position);
        engine.send("go nodes 20000");
        std::string best = engine.waitFor("bestmove", 10000);
        return best.size() > 9 ? best.substr(9, best.find(' ', 9) - 9) : std::string();
    };
    engine.send("setoption name UCI_LimitStrength value true");
    for (const char* before : {"setoption name UCI_Elo value 1800", "setoption name MultiPV value 3"}) {
        engine.send(before);
        play(first);
        engine.send("setoption name MultiPV value 1");
        engine.send("setoption name UCI_Elo value 2200");
        const std::string move = play(second);
        EXPECT_TRUE(legalAfter(second, move)) << before << ": " << move;
    }
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}
