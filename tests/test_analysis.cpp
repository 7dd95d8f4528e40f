// Analysis through the binary: several lines, a restricted root, node and mate limits, options
// that wait for a search, and the evaluation table.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "engineProcess.h"
#include "eval.h"
#include "evaluate.h"
#include "testSupport.h"

namespace {

// The fields of an info line with a score (multipv 0: none).
struct infoStruct {
    int multipv = 0, score = 0, depth = 0;
    bool mate = false;
    unsigned long long nodes = 0;
    std::vector<std::string> pv;
};

bool parseInfo(const std::string& line, infoStruct* info) {
    std::istringstream words(line);
    std::string word, kind;
    *info = infoStruct();
    if (!(words >> word) || word != "info" || line.find(" score ") == std::string::npos) return false;
    while (words >> word) {
        if (word == "multipv") words >> info->multipv;
        else if (word == "score") words >> kind >> info->score;
        else if (word == "depth") words >> info->depth;
        else if (word == "nodes") words >> info->nodes;
        else if (word == "pv")
            while (words >> word) info->pv.push_back(word);
    }
    info->mate = kind == "mate";
    return !info->pv.empty();
}

std::vector<infoStruct> infosOf(const std::vector<std::string>& lines, bool mates) {
    std::vector<infoStruct> infos;
    infoStruct info;
    for (const std::string& line : lines)
        if (parseInfo(line, &info) && info.mate == mates) infos.push_back(info);
    return infos;
}

int infoStrings(const std::vector<std::string>& lines) {
    int count = 0;
    for (const std::string& line : lines) count += line.rfind("info string ", 0) == 0;
    return count;
}

std::string moveOf(const std::string& bestmoveLine) { return bestmoveLine.substr(bestmoveLine.find(' ') + 1, 4); }

struct analysisSession {
    engineProcess engine;
    std::vector<std::string> lines; // what the last go wrote
    analysisSession() { engine.waitFor("enter 'help'"); }
    void set(const std::string& name, const std::string& value) {
        engine.send("setoption name " + name + " value " + value);
        engine.waitFor("info string", 30000);
    }
    std::string go(const std::string& positionWords, const std::string& goWords) {
        lines.clear();
        engine.send("position " + positionWords);
        engine.send("go " + goWords);
        return moveOf(engine.waitFor("bestmove", 60000 * TIMESCALE, &lines));
    }
};

// Every depth shows count lines numbered 1..count, with distinct legal first moves, best first;
// the best move is line 1's of the last depth. Returns the first moves of all lines.
std::set<std::string> checkLines(const std::string& positionWords, const analysisSession& s, const std::string& best,
                                 size_t count) {
    std::map<int, std::vector<infoStruct>> byDepth;
    for (const infoStruct& info : infosOf(s.lines, false)) byDepth[info.depth].push_back(info);
    std::set<std::string> firstMoves;
    for (const auto& [depth, infos] : byDepth) {
        std::set<std::string> distinct;
        for (size_t i = 0; i < infos.size(); i++) {
            EXPECT_EQ(infos[i].multipv, int(i + 1)) << "depth " << depth;
            EXPECT_TRUE(legalAfter(positionWords, infos[i].pv[0])) << infos[i].pv[0];
            EXPECT_TRUE(i == 0 || infos[i].score <= infos[i - 1].score) << "depth " << depth;
            distinct.insert(infos[i].pv[0]);
        }
        EXPECT_EQ(distinct.size(), count) << "depth " << depth;
        firstMoves.insert(distinct.begin(), distinct.end());
    }
    EXPECT_FALSE(byDepth.empty());
    if (!byDepth.empty()) {
        EXPECT_EQ(best, byDepth.rbegin()->second.front().pv[0]);
    }
    return firstMoves;
}

} // namespace

TEST(AnalysisEndToEnd, MultiPVReportsTheBestLinesOfEveryDepth) {
    analysisSession session;
    session.set("MultiPV", "3");
    checkLines("startpos", session, session.go("startpos", "depth 11"), 3);
    // More lines wanted than there are moves: one line per move (the king has three).
    session.set("MultiPV", "10");
    const std::string kings = "fen 8/8/8/8/8/5k2/8/K7 w - - 0 1";
    EXPECT_EQ(checkLines(kings, session, session.go(kings, "depth 10"), 3).size(), 3u);
    // Mates are reported line by line too.
    session.set("MultiPV", "2");
    EXPECT_EQ(session.go("fen 6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "depth 4"), "a1a8");
    std::vector<infoStruct> mates = infosOf(session.lines, true);
    ASSERT_FALSE(mates.empty());
    EXPECT_EQ(mates[0].multipv, 1);
    EXPECT_EQ(mates[0].score, 1);
}

TEST(AnalysisEndToEnd, SearchMovesRestrictTheRoot) {
    analysisSession session;
    const std::set<std::string> listed = {"a2a3", "h2h3"};
    EXPECT_TRUE(listed.count(session.go("startpos", "depth 10 searchmoves a2a3 h2h3")));
    for (const infoStruct& info : infosOf(session.lines, false)) EXPECT_TRUE(listed.count(info.pv[0])) << info.pv[0];
    // Two lines of two listed moves, also when more are wanted.
    session.set("MultiPV", "3");
    std::string best = session.go("startpos", "searchmoves a2a3 h2h3 depth 10");
    EXPECT_EQ(checkLines("startpos", session, best, 2), listed);
    // An illegal word is left out with one line; a list of no legal move searches every move.
    session.set("MultiPV", "1");
    EXPECT_EQ(session.go("startpos", "depth 5 searchmoves e2e5 b1c3"), "b1c3");
    EXPECT_EQ(infoStrings(session.lines), 1);
    for (const char* list : {"e2e5 e7e4", "xyz", ""}) {
        best = session.go("startpos moves e2e4", std::string("depth 5 searchmoves ") + list);
        EXPECT_TRUE(legalAfter("startpos moves e2e4", best)) << list << ": " << best;
        EXPECT_GE(infoStrings(session.lines), 1) << list;
    }
    // The tablebase root move is chosen among the listed moves.
    session.set("SyzygyPath", std::string(KESTRUNE_TEST_DATA) + "/syzygy");
    const std::string queen = "fen 8/8/8/8/8/8/1Q6/K6k w - - 0 1";
    EXPECT_EQ(session.go(queen, "depth 20"), "a1b1");
    EXPECT_EQ(session.go(queen, "depth 20 searchmoves b2b1 a1a2"), "a1a2");
    infoStruct info;
    ASSERT_TRUE(parseInfo(session.lines.at(session.lines.size() - 2), &info));
    EXPECT_EQ(info.pv, std::vector<std::string>{"a1a2"});
    EXPECT_EQ(info.score, 31859); // the listed move's own distance, two plies longer
}

TEST(AnalysisEndToEnd, NodeAndMateLimits) {
    analysisSession session;
    // Without a clock the node count ends the search, also below the first reported depth.
    for (unsigned long long limit : {200000ull, 3000ull}) {
        EXPECT_TRUE(legalAfter("startpos moves d2d4", session.go("startpos moves d2d4", "nodes " + std::to_string(limit))));
        unsigned long long nodes = infosOf(session.lines, false).back().nodes;
        EXPECT_GE(nodes, limit);
        EXPECT_LE(nodes, limit + limit / 100 + 4096);
    }
    // A mate in two ends a search that has no other limit; a longer one than asked does not.
    const std::string legal = "fen r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R w KQkq - 1 1";
    EXPECT_EQ(session.go(legal, "mate 2"), "d5f6");
    std::vector<infoStruct> mates = infosOf(session.lines, true);
    ASSERT_FALSE(mates.empty());
    EXPECT_EQ(mates.back().score, 2);
    EXPECT_EQ(session.go(legal, "mate 1 depth 11"), "d5f6");
    EXPECT_EQ(infosOf(session.lines, false).back().depth, 11);
    // Meaningless limits are ignored with one line; a word that is no number ends the go words.
    for (const char* words : {"nodes -5 depth 4", "mate 0 depth 4", "depth 4 mate abc"}) {
        EXPECT_TRUE(legalAfter("startpos", session.go("startpos", words))) << words;
        EXPECT_EQ(infoStrings(session.lines), 1) << words;
    }
}

TEST(AnalysisThreads, SearchMovesAndNodeLimitsWithTwoThreads) {
    analysisSession session;
    session.set("Threads", "2");
    const std::string position = "startpos moves e2e4 e7e5";
    const std::set<std::string> listed = {"g2g4", "b2b4"};
    EXPECT_TRUE(listed.count(session.go(position, "depth 10 searchmoves g2g4 b2b4")));
    EXPECT_TRUE(listed.count(session.go(position, "movetime 300 searchmoves g2g4 b2b4")));
    session.set("MultiPV", "2");
    EXPECT_EQ(checkLines(position, session, session.go(position, "depth 10 searchmoves g2g4 b2b4"), 2), listed);
    // At most 1 % plus 4,096 nodes per thread past the limit.
    session.set("MultiPV", "1");
    for (const char* fen : {"startpos", "fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"}) {
        EXPECT_TRUE(legalAfter(fen, session.go(fen, "nodes 200000")));
        ASSERT_FALSE(infosOf(session.lines, false).empty()) << fen;
        unsigned long long nodes = infosOf(session.lines, false).back().nodes;
        EXPECT_GE(nodes, 200000u) << fen;
        EXPECT_LE(nodes, 200000u + 2000u + 2 * 4096u) << fen;
    }
}

// Clear Hash and Hash wait for a running search; the loop reads on, so stop reaches it.
TEST(AnalysisThreads, TableOptionsWaitForTheRunningSearch) {
    analysisSession session;
    session.set("Threads", "2");
    session.engine.send("position startpos");
    session.engine.send("go infinite");
    session.engine.send("setoption name Clear Hash");
    session.engine.send("setoption name Hash value 8");
    session.engine.send("ucinewgame"); // answers at once; its clearing waits behind the new table
    std::vector<std::string> lines;
    EXPECT_EQ(session.engine.waitFor("readyok", 10000), "readyok");
    EXPECT_EQ(session.engine.waitFor("info string", 700), "");
    session.engine.send("stop");
    EXPECT_EQ(session.engine.waitFor("info string Size", 20000 * TIMESCALE, &lines),
              "info string Size of Hashtable set to : 8");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3].rfind("bestmove ", 0), 0u) << lines[lines.size() - 3];
    EXPECT_EQ(lines[lines.size() - 2], "info string Hash cleared");
    // A new game right after a bestmove, while a new size waits for the search to let go.
    for (int game = 0; game < 20; game++) {
        session.engine.send("position startpos");
        session.engine.send("go depth 3");
        session.engine.send("setoption name Hash value " + std::to_string(1 + game % 2));
        session.engine.send("ucinewgame");
        EXPECT_NE(session.engine.waitFor("info string Size", 20000 * TIMESCALE), "") << game;
    }
    session.engine.send("setoption name Clear Hash");
    EXPECT_EQ(session.engine.waitFor("info string", 10000), "info string Hash cleared");
    EXPECT_TRUE(legalAfter("startpos", session.go("startpos", "depth 8")));
}

// The eval table's final score is the one the search uses, from either view.
TEST(AnalysisEndToEnd, EvalTableShowsTheSearchScore) {
    analysisSession session;
    for (const char* fen : {"r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R b KQkq - 1 1",
                            "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "8/8/4k3/8/8/3NK3/8/8 w - - 0 1"}) {
        session.engine.send(std::string("position fen ") + fen);
        session.engine.send("evil");
        session.engine.send("eval");
        std::vector<std::string> lines;
        std::string own = session.engine.waitFor("score from the side to move's view", 10000, &lines);
        ASSERT_GE(lines.size(), 15u) << fen;
        EXPECT_EQ(lines.front().rfind("term ", 0), 0u) << "evil writes nothing: " << lines.front();
        const std::string& white = lines[lines.size() - 2];
        testPositionStruct pos(fen);
        int expected = evaluateN(0, pos.get());
        EXPECT_EQ(std::stoi(own.substr(own.rfind(' ') + 1)), expected) << fen;
        EXPECT_EQ(white, "score from white's view: " + std::to_string(pos->sideToMove == WHITE ? expected : -expected));
    }
}
