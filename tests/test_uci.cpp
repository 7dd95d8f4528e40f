// The UCI side: the time budget, options, and whole searches driven through the binary.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "engineProcess.h"
#include "testSupport.h"
#include "timeManager.h"
#include "uci.h"

namespace {

struct budgetCase {
    int timeLeft, increment, movesToGo, gamePly, moveTime;
    int expectedMovesToGo, expectedTarget, expectedMax;
    float expectedFactor;
};

void runBudget(const budgetCase& c) {
    engineStruct saved = engine;
    engine.timeLeft[WHITE] = c.timeLeft;
    engine.increment[WHITE] = c.increment;
    engine.movesToGoGiven = c.movesToGo != 0;
    engine.movesToGo = c.movesToGo ? c.movesToGo : 30;
    engine.gamePly = c.gamePly;
    engine.moveTime = c.moveTime;
    engine.nofThreads = 1;
    engine.ponder = false;
    computeTimeBudget(WHITE);
    EXPECT_EQ(engine.movesToGo, c.expectedMovesToGo);
    EXPECT_EQ(engine.targetTime, c.expectedTarget);
    EXPECT_EQ(engine.maxTime, c.expectedMax);
    EXPECT_FLOAT_EQ(engine.timeFactor, c.expectedFactor);
    engine = saved;
}

std::string bestMoveOf(const std::string& line) {
    std::istringstream words(line);
    std::string bestmove, move;
    words >> bestmove >> move;
    return move;
}

struct uciSession {
    engineProcess engine;
    uciSession() {
        engine.send("uci");
        EXPECT_EQ(engine.waitFor("uciok"), "uciok");
    }
    std::string go(const std::string& positionWords, const std::string& goWords, std::vector<std::string>* seen = nullptr,
                   int timeoutMs = 30000) {
        engine.send("position " + positionWords);
        engine.send("go " + goWords);
        return engine.waitFor("bestmove", timeoutMs, seen);
    }
};

// What a strict client finds wrong with an option line, or "" for a well-formed one: the name
// runs up to "type"; a spin needs integer default, min and max with min <= default <= max; a
// check needs default true or false; a string takes any default; a button has none.
std::string optionLineProblem(const std::string& line) {
    std::istringstream words(line);
    std::string word, name, type;
    if (!(words >> word) || word != "option" || !(words >> word) || word != "name") return "no 'option name'";
    while (words >> word && word != "type") name += (name.empty() ? "" : " ") + word;
    if (name.empty() || word != "type" || !(words >> type)) return "no name and type";
    std::map<std::string, std::string> fields;
    std::string key;
    while (words >> word) {
        if (word == "default" || word == "min" || word == "max" || word == "var") {
            if (fields.count(word) && word != "var") return "'" + word + "' twice";
            key = word;
            fields[key];
        } else if (key.empty()) {
            return "'" + word + "' outside any field";
        } else {
            fields[key] += (fields[key].empty() ? "" : " ") + word;
        }
    }
    auto integer = [&](const std::string& k, long long* v) {
        std::istringstream in(fields.count(k) ? fields[k] : "");
        std::string rest;
        return bool(in >> *v) && !(in >> rest);
    };
    if (type == "spin") {
        long long d, lo, hi;
        if (!integer("default", &d) || !integer("min", &lo) || !integer("max", &hi)) return "spin values not numeric";
        if (lo > d || d > hi) return "default outside min..max";
    } else if (type == "check") {
        if (fields["default"] != "true" && fields["default"] != "false") return "check default not true/false";
    } else if (type == "button") {
        if (fields.count("default")) return "a button has no default";
    } else if (type != "string" && type != "combo") {
        return "unknown type '" + type + "'";
    }
    return "";
}

} // namespace

TEST(UciOptions, EveryOptionLineReadsStrictly) {
    EXPECT_NE(optionLineProblem("option name SyzygyProbeDepth type spin default default 0 min 0 max 127"), "");
    EXPECT_NE(optionLineProblem("option name Ponder type check default maybe"), "");
    EXPECT_NE(optionLineProblem("option name Clear Hash type button default x"), "");
    EXPECT_EQ(optionLineProblem("option name Clear Hash type button"), "");
    engineProcess engine;
    std::vector<std::string> lines;
    engine.send("uci");
    ASSERT_EQ(engine.waitFor("uciok", 10000, &lines), "uciok");
    int options = 0;
    for (const std::string& line : lines) {
        if (line.rfind("option", 0) != 0) continue;
        options++;
        EXPECT_EQ(optionLineProblem(line), "") << line;
    }
    EXPECT_GE(options, 7);
}

TEST(UciBudget, WorkedExamples) {
    // go alone from the start position.
    runBudget({900000, 0, 0, 0, 0, 40, 14850, 74250, 1.0f});
    // 60 s with 1 s increments at game ply 30.
    runBudget({60000, 1000, 0, 30, 0, 22, 2429, 12145, 1.0f});
    // The same clock with ten moves to go and no increment.
    runBudget({60000, 0, 10, 30, 0, 10, 4818, 24090, 1.0f});
    // A short clock: 1 s with a 2 s increment.
    runBudget({1000, 2000, 0, 0, 0, 40, 651, 652, 5.0f});
    // A fixed move time.
    runBudget({900000, 0, 0, 0, 5000, 40, 50000, 5000, 1.0f});
    // A target of zero is a short clock, not a division by zero; the hard limit stays positive.
    engineStruct saved = engine;
    engine.timeLeft[WHITE] = 50;
    engine.increment[WHITE] = 0;
    engine.movesToGoGiven = false;
    engine.gamePly = 0;
    engine.moveTime = 0;
    computeTimeBudget(WHITE);
    EXPECT_EQ(engine.timeFactor, 5.0f);
    EXPECT_GE(engine.maxTime, 1);
    EXPECT_LE(engine.maxTime, 50);
    // Small clocks, with and without an increment, leave most of the clock: the hard limit
    // never reaches it.
    for (int clock : {50, 100, 300, 1000}) {
        for (int increment : {0, 10}) {
            engine.timeLeft[WHITE] = clock;
            engine.increment[WHITE] = increment;
            engine.movesToGo = 30;
            computeTimeBudget(WHITE);
            EXPECT_GE(engine.maxTime, 1) << clock << "+" << increment;
            EXPECT_LT(engine.maxTime, clock) << clock << "+" << increment;
        }
    }
    engine = saved;
}

TEST(UciNumbers, LeadingNumbersAreReadAndClamped) {
    long long value;
    EXPECT_TRUE(readLeadingNumber("  42abc", &value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(readLeadingNumber("-5", &value));
    EXPECT_EQ(value, -5);
    EXPECT_TRUE(readLeadingNumber("99999999999999999999999", &value));
    EXPECT_GT(value, 1LL << 40);
    EXPECT_FALSE(readLeadingNumber("abc", &value));
    EXPECT_FALSE(readLeadingNumber("", &value));
    EXPECT_FALSE(readLeadingNumber("-", &value));
}

TEST(UciEndToEnd, HandshakeAndOptions) {
    engineProcess engine;
    std::vector<std::string> lines;
    engine.send("uci");
    ASSERT_EQ(engine.waitFor("uciok", 10000, &lines), "uciok");
    // The lines of the first release stay as they were; the analysis options follow them.
    std::vector<std::string> handshake(lines.end() - 18, lines.end());
    std::vector<std::string> expected = {
        "id name Kestrune 2.1",
        "id author Dramwell",
        "option name Hash type spin default 256 min 1 max 32768",
        "option name Threads type spin default 1 min 1 max 256",
        "option name Ponder type check default false",
        "option name SyzygyPath type string default <empty>",
        "option name SyzygyProbeDepth type spin default 0 min 0 max 127",
        "option name MultiPV type spin default 1 min 1 max 256",
        "option name Clear Hash type button",
        "option name UCI_Chess960 type check default false",
        "option name Move Overhead type spin default 0 min 0 max 5000",
        "option name UCI_LimitStrength type check default false",
        "option name UCI_Elo type spin default 1500 min 1000 max 2400",
        "option name UCI_ShowWDL type check default false",
        "option name Syzygy50MoveRule type check default true",
        "option name Use NNUE type check default false",
        "option name EvalFile type string default <internal>",
        "uciok"};
    EXPECT_EQ(handshake, expected);
    lines.clear();
    engine.send("uci");
    engine.waitFor("uciok", 10000, &lines);
    EXPECT_EQ(lines, expected);

    const std::pair<const char*, const char*> options[] = {
        {"setoption name Hash value 0", "info string Size of Hashtable set to : 1"},
        {"setoption name Hash value 3", "info string Size of Hashtable set to : 2"},
        {"setoption name Threads value 300", "info string Number of threads set to : 256"},
        {"setoption name Threads value 0", "info string Number of threads set to : 1"},
        {"setoption name SyzygyProbeDepth value -5", "info string SyzygyProbeDepth set to: 0"},
        {"setoption name SyzygyProbeDepth value 12", "info string SyzygyProbeDepth set to: 12"},
        {"setoption name Ponder value TRUE", "info string Ponder set to : 0"},
        {"setoption name Ponder value true", "info string Ponder set to : 1"},
        {"setoption name Ponder", "info string Ponder set to : 0"},
        {"setoption name UCI_Chess960 value true", "info string UCI_Chess960 set to : 1"},
        {"setoption name UCI_Chess960 value false", "info string UCI_Chess960 set to : 0"},
        {"setoption name MultiPV value 0", "info string MultiPV set to : 1"},
        {"setoption name MultiPV value 1000", "info string MultiPV set to : 256"},
        {"setoption name MultiPV value 4", "info string MultiPV set to : 4"},
        {"setoption name Clear Hash", "info string Hash cleared"},
        {"setoption name Use NNUE value true", "info string Use NNUE set to : 1"},
        {"setoption name Use NNUE value false", "info string Use NNUE set to : 0"},
        {"setoption name EvalFile value <internal>", "info string EvalFile set to : <internal>"},
    };
    for (auto [command, reply] : options) {
        engine.send(command);
        EXPECT_EQ(engine.waitFor("info string", 60000), reply) << command;
    }
    // Beyond the range the size is 32768 MB; where the machine cannot provide that much the
    // reply says so and the previous table stays.
    for (const char* huge : {"setoption name Hash value 100000", "setoption name Hash value 99999999999999"}) {
        engine.send(huge);
        std::string reply = engine.waitFor("info string", 60000);
        EXPECT_TRUE(reply == "info string Size of Hashtable set to : 32768" ||
                    reply.rfind("info string could not allocate 32768 MB", 0) == 0)
            << reply;
    }
    // Non-numbers are refused with one line; unknown names get no reply at all.
    for (const char* name : {"Hash", "MultiPV"}) {
        engine.send(std::string("setoption name ") + name + " value abc");
        std::string refusal = engine.waitFor("info string");
        EXPECT_NE(refusal.find(name), std::string::npos) << refusal;
        EXPECT_EQ(refusal.find("set to"), std::string::npos) << refusal;
    }
    engine.send("setoption name Colour value blue");
    engine.send("ucinewgame");
    lines.clear();
    EXPECT_EQ(engine.waitFor("readyok", 10000, &lines), "readyok");
    EXPECT_EQ(lines.size(), 1u);
    engine.send("isready");
    EXPECT_EQ(engine.waitFor("readyok"), "readyok");
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}

TEST(UciEndToEnd, DepthSearchGivesALegalMoveAndWellFormedInfo) {
    uciSession session;
    std::vector<std::string> lines;
    std::string position = "startpos moves e2e4 c7c5 g1f3";
    std::string best = session.go(position, "depth 11", &lines);
    ASSERT_FALSE(best.empty());
    EXPECT_TRUE(legalAfter(position, bestMoveOf(best))) << best;
    int scoreLines = 0;
    for (const std::string& line : lines) {
        if (line.rfind("info score cp ", 0) != 0) continue;
        scoreLines++;
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string word;
        while (words >> word) w.push_back(word);
        ASSERT_GE(w.size(), 19u) << line;
        const char* labels[] = {"info", "score", "cp", nullptr, "depth", nullptr, "seldepth", nullptr, "nodes", nullptr,
                                "nps", nullptr, "time", nullptr, "tbhits", nullptr, "pv"};
        for (int i = 0; i < 17; i++)
            if (labels[i]) {
                EXPECT_EQ(w[i], labels[i]) << line;
            }
        EXPECT_GE(std::stoi(w[5]), 10) << "no score line before depth 10: " << line;
        EXPECT_TRUE(legalAfter(position, w[17])) << line;
    }
    EXPECT_EQ(scoreLines, 2);
}

TEST(UciEndToEnd, MoveTimeInfiniteStopAndPonder) {
    uciSession session;
    // a move time ends the search by itself
    std::string best = session.go("startpos", "movetime 300");
    EXPECT_TRUE(legalAfter("startpos", bestMoveOf(best))) << best;

    session.engine.send("position startpos moves d2d4");
    session.engine.send("go infinite");
    std::string line;
    EXPECT_FALSE(session.engine.readLine(&line, 500) && line.rfind("bestmove", 0) == 0);
    session.engine.send("isready");
    EXPECT_EQ(session.engine.waitFor("readyok"), "readyok");  // answered during the search
    session.engine.send("stop");
    best = session.engine.waitFor("bestmove");
    EXPECT_TRUE(legalAfter("startpos moves d2d4", bestMoveOf(best))) << best;

    // Ponderhit early: the search goes on under the clock and ends by itself.
    session.engine.send("position startpos moves e2e4 e7e5");
    session.engine.send("go ponder wtime 2000 btime 2000");
    EXPECT_FALSE(session.engine.readLine(&line, 300) && line.rfind("bestmove", 0) == 0);
    session.engine.send("ponderhit");
    best = session.engine.waitFor("bestmove", 30000 * TIMESCALE);
    EXPECT_TRUE(legalAfter("startpos moves e2e4 e7e5", bestMoveOf(best))) << best;

    // Ponderhit after the budget ran out: the search ends without a stop.
    session.engine.send("go ponder wtime 200 btime 200");
    EXPECT_FALSE(session.engine.readLine(&line, 600) && line.rfind("bestmove", 0) == 0);
    session.engine.send("ponderhit");
    best = session.engine.waitFor("bestmove", 30000 * TIMESCALE);
    EXPECT_TRUE(legalAfter("startpos moves e2e4 e7e5", bestMoveOf(best))) << best;
}

TEST(UciEndToEnd, SpecialRootsAndEndOfInput) {
    uciSession session;
    std::vector<std::string> lines;
    // Checkmated root.
    std::string best = session.go("fen 7k/6Q1/6K1/8/8/8/8/8 b - - 0 1", "depth 5", &lines);
    EXPECT_EQ(best, "bestmove a1a1");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "info score mate 0"), lines.end());
    // One legal move: stops after depth 3 even with a large depth.
    lines.clear();
    best = session.go("fen 7k/8/8/8/8/8/6q1/7K w - - 0 1", "depth 60", &lines);
    // (its lines of depth 3 give a ponder move)
    EXPECT_EQ(bestMoveOf(best), "h1g2") << best;
    int deepest = 0;
    for (const std::string& line : lines) {
        const size_t at = line.find(" depth ");
        if (line.rfind("info", 0) == 0 && at != std::string::npos) deepest = std::max(deepest, std::atoi(line.c_str() + at + 7));
    }
    EXPECT_EQ(deepest, 3);
    // A mate in one is announced as mate 1.
    lines.clear();
    best = session.go("fen 6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "depth 12", &lines);
    EXPECT_EQ(bestMoveOf(best), "a1a8");
    bool mateLine = false;
    for (const std::string& line : lines) mateLine |= line.rfind("info score mate 1 depth ", 0) == 0;
    EXPECT_TRUE(mateLine);
    // Being mated after the only reply, two plies away, is one move: "mate -1".
    lines.clear();
    best = session.go("fen k7/8/1K6/8/8/8/8/7R b - - 0 1", "depth 8", &lines);
    EXPECT_EQ(bestMoveOf(best), "a8b8");
    mateLine = false;
    for (const std::string& line : lines) mateLine |= line.rfind("info score mate -1 depth ", 0) == 0;
    EXPECT_TRUE(mateLine);

    // End of input during an infinite search: bestmove, then exit status 0.
    engineProcess engine;
    engine.send("position startpos");
    engine.send("go infinite");
    std::string line;
    engine.readLine(&line, 300);
    engine.closeInput();
    best = engine.waitFor("bestmove", 10000);
    EXPECT_TRUE(legalAfter("startpos", bestMoveOf(best))) << best;
    EXPECT_EQ(engine.waitExit(), 0);
}

TEST(UciEndToEnd, BadGoWordsNeverCrash) {
    uciSession session;
    for (const char* words : {"wtime x", "wtime", "depth -3", "wtime 99999999999999999 btime 5", "movestogo 0 wtime 1000",
                              "nodes 100 mate 3 searchmoves e2e4 depth 4", "wtime -500 btime -500", "movetime 0 depth 3",
                              // clocks at the ends of the int range must not overflow the time budget
                              "movestogo 1 wtime -9999999999999995 winc -99999999999", "movetime 99999999999 depth 2",
                              "wtime 99999999999 winc 99999999999 depth 2"}) {
        session.engine.send("position startpos");
        session.engine.send(std::string("go ") + words);
        std::string best = session.engine.waitFor("bestmove", 200);
        if (best.empty()) {
            session.engine.send("stop");
            best = session.engine.waitFor("bestmove", 20000);
        }
        EXPECT_TRUE(legalAfter("startpos", bestMoveOf(best))) << words << ": " << best;
    }
    session.engine.send("isready");
    EXPECT_EQ(session.engine.waitFor("readyok"), "readyok");
}

TEST(UciEndToEnd, SmallClocksNeverLoseOnTime) {
    uciSession session;
    // A small table: the first searches into a fresh large one wait for the system to zero (and
    // compact) its huge pages, up to hundreds of milliseconds on a busy machine (the default
    // 256 MB since Hash means megabytes, 64 MB before), which is not what this test measures.
    session.engine.send("setoption name Hash value 16");
    // The hard limits these clocks give are checked by UciBudget; here the searches end by
    // themselves, without a stop, with legal moves.
    for (int round = 0; round < 5; round++) {
        std::string best = session.go("startpos moves e2e4", "wtime 50 btime 50");
        EXPECT_TRUE(legalAfter("startpos moves e2e4", bestMoveOf(best))) << best;
    }
    std::string best = session.go("startpos", "wtime 1000 winc 10 btime 1000 binc 10");
    EXPECT_TRUE(legalAfter("startpos", bestMoveOf(best))) << best;
}

TEST(UciThreads, SeveralThreadsGiveLegalMoves) {
    uciSession session;
    for (int threads : {1, 2, 4, 8}) {
        session.engine.send("setoption name Threads value " + std::to_string(threads));
        EXPECT_EQ(session.engine.waitFor("info string Number of threads"),
                  "info string Number of threads set to : " + std::to_string(threads));
        std::string position = "startpos moves e2e4 e7e5 g1f3 b8c6";
        std::string best = session.go(position, "depth 9");
        EXPECT_TRUE(legalAfter(position, bestMoveOf(best))) << threads << " threads: " << best;
        best = session.go(position, "movetime 200");
        EXPECT_TRUE(legalAfter(position, bestMoveOf(best))) << threads << " threads: " << best;
    }
    // Changing the thread count during a search waits for its bestmove.
    session.engine.send("setoption name Threads value 2");
    session.engine.waitFor("info string Number of threads");
    session.engine.send("position startpos");
    session.engine.send("go movetime 400");
    session.engine.send("setoption name Threads value 3");
    std::vector<std::string> lines;
    session.engine.waitFor("info string Number of threads", 10000, &lines);
    bool bestmoveFirst = false;
    for (const std::string& line : lines) bestmoveFirst |= line.rfind("bestmove", 0) == 0;
    EXPECT_TRUE(bestmoveFirst);
}

TEST(UciThreads, RapidGoStopCyclesEndWithoutDeadlock) {
    uciSession session;
    session.engine.send("setoption name Threads value 2");
    session.engine.waitFor("info string Number of threads");
    session.engine.send("position startpos moves e2e4");
    for (int cycle = 0; cycle < 1000; cycle++) {
        session.engine.send("go infinite");
        session.engine.send("stop");
    }
    session.engine.send("isready");
    int bestmoves = 0;
    bool ready = false;
    std::string line;
    // isready answers at once, before the searches held back behind the running one
    while (!(ready && bestmoves >= 999) && session.engine.readLine(&line, 30000)) {
        // a thread stopped before its first depth has no score to win the vote with
        EXPECT_EQ(line.find(" score cp -32767 "), std::string::npos) << line;
        if (line.rfind("bestmove", 0) == 0) {
            bestmoves++;
            EXPECT_TRUE(legalAfter("startpos moves e2e4", bestMoveOf(line))) << line;
        }
        ready |= line == "readyok";
    }
    // isready may overtake the last search; its bestmove follows.
    if (bestmoves < 1000) {
        EXPECT_NE(session.engine.waitFor("bestmove", 10000), "");
    }
    session.engine.send("quit");
    EXPECT_EQ(session.engine.waitExit(15000), 0);
}

// A system that refuses threads (here: too little address space for 256 threads and their
// tables) leaves the threads that started; the engine says how many run and goes on.
TEST(UciThreads, RefusedThreadsLeaveAWorkingPool) {
#ifdef KESTRUNE_SLOW_BUILD
    GTEST_SKIP() << "sanitizer run-times need far more address space than the limit leaves";
#endif
    // The default table takes 66 MB of the limit; a few threads fit beside it, not 256.
    engineProcess engine({}, "", 220UL << 20);
    engine.send("setoption name Threads value 256");
    std::string reply = engine.waitFor("info string", 30000);
    int running = 0;
    ASSERT_EQ(std::sscanf(reply.c_str(), "info string could not start 256 search threads, %d run", &running), 1)
        << reply;
    EXPECT_GE(running, 1);
    EXPECT_LT(running, 256);
    engine.send("position startpos moves e2e4");
    engine.send("go depth 8");
    std::string best = engine.waitFor("bestmove", 30000);
    EXPECT_TRUE(legalAfter("startpos moves e2e4", bestMoveOf(best))) << best;
    engine.send("setoption name Threads value 2");
    EXPECT_EQ(engine.waitFor("info string", 10000), "info string Number of threads set to : 2");
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(15000), 0);
}
