// Analysis through the binary: several lines, a restricted root, node and mate limits, clearing
// the engine's memory, and the evaluation table.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "engineProcess.h"
#include "eval.h"
#include "syzygy.h"
#include "testSupport.h"

namespace {

#ifdef KESTRUNE_SLOW_BUILD
constexpr int TIMESCALE = 10;
#else
constexpr int TIMESCALE = 1;
#endif

// The fields of an info line with a score.
struct infoStruct {
    int multipv = 0; // 0: no multipv field
    bool mate = false;
    int score = 0;
    int depth = 0;
    unsigned long long nodes = 0;
    std::vector<std::string> pv;
};

bool parseInfo(const std::string& line, infoStruct* info) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word != "info") return false;
    *info = infoStruct();
    bool scored = false;
    while (words >> word) {
        if (word == "multipv") words >> info->multipv;
        else if (word == "score") {
            std::string kind;
            words >> kind >> info->score;
            info->mate = kind == "mate";
            scored = true;
        } else if (word == "depth") words >> info->depth;
        else if (word == "nodes") words >> info->nodes;
        else if (word == "pv") {
            while (words >> word) info->pv.push_back(word);
        }
    }
    return scored;
}

std::vector<infoStruct> scoreInfos(const std::vector<std::string>& lines) {
    std::vector<infoStruct> infos;
    infoStruct info;
    for (const std::string& line : lines)
        if (parseInfo(line, &info) && !info.mate) infos.push_back(info);
    return infos;
}

std::string moveOf(const std::string& bestmoveLine) {
    std::istringstream words(bestmoveLine);
    std::string bestmove, move;
    words >> bestmove >> move;
    return move;
}

struct analysisSession {
    engineProcess engine;
    analysisSession() { engine.waitFor("enter 'help'"); }
    void set(const std::string& name, const std::string& value) {
        engine.send("setoption name " + name + " value " + value);
        engine.waitFor("info string", 30000);
    }
    std::string go(const std::string& positionWords, const std::string& goWords, std::vector<std::string>* seen,
                   int timeoutMs = 60000) {
        engine.send("position " + positionWords);
        engine.send("go " + goWords);
        return engine.waitFor("bestmove", timeoutMs * TIMESCALE, seen);
    }
};

// Every depth shows count lines, numbered 1..count, with distinct legal first moves, best first;
// bestmove is the first line's move of the last depth. Returns the first moves seen.
std::set<std::string> checkLines(const std::string& positionWords, const std::vector<std::string>& lines,
                                 const std::string& best, size_t count) {
    std::map<int, std::vector<infoStruct>> byDepth;
    for (const infoStruct& info : scoreInfos(lines)) byDepth[info.depth].push_back(info);
    EXPECT_FALSE(byDepth.empty());
    std::set<std::string> firstMoves;
    for (const auto& [depth, infos] : byDepth) {
        EXPECT_EQ(infos.size(), count) << "depth " << depth;
        std::set<std::string> distinct;
        for (size_t i = 0; i < infos.size(); i++) {
            EXPECT_EQ(infos[i].multipv, int(i + 1)) << "depth " << depth;
            if (infos[i].pv.empty()) {
                ADD_FAILURE() << "no pv at depth " << depth;
                continue;
            }
            EXPECT_TRUE(legalAfter(positionWords, infos[i].pv[0])) << infos[i].pv[0];
            distinct.insert(infos[i].pv[0]);
            if (i > 0) {
                EXPECT_LE(infos[i].score, infos[i - 1].score) << "depth " << depth;
            }
        }
        EXPECT_EQ(distinct.size(), infos.size()) << "depth " << depth;
        firstMoves.insert(distinct.begin(), distinct.end());
    }
    if (!byDepth.empty() && !byDepth.rbegin()->second.front().pv.empty()) {
        EXPECT_EQ(moveOf(best), byDepth.rbegin()->second.front().pv[0]);
    }
    return firstMoves;
}

// The node count of the last info line.
unsigned long long lastNodes(const std::vector<std::string>& lines) {
    unsigned long long nodes = 0;
    infoStruct info;
    for (const std::string& line : lines)
        if (parseInfo(line, &info)) nodes = info.nodes;
    return nodes;
}

std::vector<std::string> infoStrings(const std::vector<std::string>& lines) {
    std::vector<std::string> strings;
    for (const std::string& line : lines)
        if (line.rfind("info string ", 0) == 0) strings.push_back(line);
    return strings;
}

} // namespace

TEST(AnalysisEndToEnd, MultiPVReportsTheBestLinesOfEveryDepth) {
    analysisSession session;
    session.set("MultiPV", "3");
    std::vector<std::string> lines;
    std::string best = session.go("startpos", "depth 11", &lines);
    checkLines("startpos", lines, best, 3);

    // More lines wanted than there are moves: one line per move (the king has three).
    session.set("MultiPV", "10");
    lines.clear();
    const std::string kings = "fen 8/8/8/8/8/5k2/8/K7 w - - 0 1";
    best = session.go(kings, "depth 10", &lines);
    EXPECT_EQ(checkLines(kings, lines, best, 3).size(), 3u);

    // Mates are reported line by line as well.
    session.set("MultiPV", "2");
    lines.clear();
    best = session.go("fen 6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "depth 4", &lines);
    EXPECT_EQ(moveOf(best), "a1a8");
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("info multipv 1 score mate 1 depth ", 0) == 0; }),
              lines.end());
}

TEST(AnalysisEndToEnd, SearchMovesRestrictTheRoot) {
    analysisSession session;
    std::vector<std::string> lines;
    std::string best = session.go("startpos", "depth 10 searchmoves a2a3 h2h3", &lines);
    std::set<std::string> listed = {"a2a3", "h2h3"};
    EXPECT_TRUE(listed.count(moveOf(best))) << best;
    for (const infoStruct& info : scoreInfos(lines)) EXPECT_TRUE(listed.count(info.pv.at(0))) << info.pv.at(0);

    // Two lines out of two listed moves, also when more lines are wanted.
    session.set("MultiPV", "3");
    lines.clear();
    best = session.go("startpos", "searchmoves a2a3 h2h3 depth 10", &lines);
    EXPECT_EQ(checkLines("startpos", lines, best, 2), listed);

    // An illegal word is left out with one line; malformed or illegal lists search every move.
    session.set("MultiPV", "1");
    lines.clear();
    best = session.go("startpos", "depth 5 searchmoves e2e5 b1c3", &lines);
    EXPECT_EQ(moveOf(best), "b1c3");
    ASSERT_EQ(infoStrings(lines).size(), 1u);
    EXPECT_NE(infoStrings(lines)[0].find("e2e5"), std::string::npos);
    for (const char* list : {"e2e5 e7e4", "xyz", ""}) {
        lines.clear();
        best = session.go("startpos moves e2e4", std::string("depth 5 searchmoves ") + list, &lines);
        EXPECT_TRUE(legalAfter("startpos moves e2e4", moveOf(best))) << list << ": " << best;
        EXPECT_FALSE(infoStrings(lines).empty()) << list;
    }
}

TEST(AnalysisThreads, SearchMovesAndNodeLimitsWithTwoThreads) {
    analysisSession session;
    session.set("Threads", "2");
    std::vector<std::string> lines;
    std::set<std::string> listed = {"g2g4", "b2b4"};
    std::string best = session.go("startpos moves e2e4 e7e5", "depth 10 searchmoves g2g4 b2b4", &lines);
    EXPECT_TRUE(listed.count(moveOf(best))) << best;
    best = session.go("startpos moves e2e4 e7e5", "movetime 300 searchmoves g2g4 b2b4", &lines);
    EXPECT_TRUE(listed.count(moveOf(best))) << best;

    session.set("MultiPV", "2");
    lines.clear();
    best = session.go("startpos moves e2e4 e7e5", "depth 10 searchmoves g2g4 b2b4", &lines);
    EXPECT_EQ(checkLines("startpos moves e2e4 e7e5", lines, best, 2), listed);

    // The node count ends the search a little past the limit: at most 1 % plus 4,096 per thread.
    session.set("MultiPV", "1");
    for (const char* position : {"startpos", "fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"}) {
        lines.clear();
        best = session.go(position, "nodes 200000", &lines);
        EXPECT_TRUE(legalAfter(position, moveOf(best))) << best;
        EXPECT_GE(lastNodes(lines), 200000u) << position;
        EXPECT_LE(lastNodes(lines), 200000u + 2000u + 2 * 4096u) << position;
    }
}

TEST(AnalysisEndToEnd, NodeAndMateLimits) {
    analysisSession session;
    std::vector<std::string> lines;
    // Without a clock the node count alone ends the search, also below the first reported depth.
    for (unsigned long long limit : {200000ull, 3000ull}) {
        lines.clear();
        std::string best = session.go("startpos moves d2d4", "nodes " + std::to_string(limit), &lines);
        EXPECT_TRUE(legalAfter("startpos moves d2d4", moveOf(best))) << best;
        EXPECT_GE(lastNodes(lines), limit);
        EXPECT_LE(lastNodes(lines), limit + limit / 100 + 4096) << limit;
    }

    // A mate in two ends a search that has no other limit, reported by its mate line.
    const std::string legal = "fen r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R w KQkq - 1 1";
    lines.clear();
    long long start = nowMs();
    std::string best = session.go(legal, "mate 2", &lines, 20000);
    EXPECT_LT(nowMs() - start, 10000 * TIMESCALE);
    EXPECT_EQ(moveOf(best), "d5f6");
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("info score mate 2 depth ", 0) == 0; }),
              lines.end());

    // A longer mate than asked for does not end the search; its other limits do.
    lines.clear();
    best = session.go(legal, "mate 1 depth 11", &lines);
    EXPECT_EQ(moveOf(best), "d5f6");
    EXPECT_EQ(scoreInfos(lines).back().depth, 11);

    // Limits that mean nothing are ignored with one line each; a word that is no number ends the
    // go words as for the other limits.
    for (const char* words : {"nodes -5 depth 4", "mate 0 depth 4", "nodes 0 depth 4", "depth 4 mate abc"}) {
        lines.clear();
        best = session.go("startpos", words, &lines);
        EXPECT_TRUE(legalAfter("startpos", moveOf(best))) << words << ": " << best;
        EXPECT_EQ(infoStrings(lines).size(), 1u) << words;
    }
}

// Clear Hash, and Hash itself, wait for a running search; the loop keeps reading meanwhile, so
// that stop reaches an infinite search.
TEST(AnalysisThreads, TableOptionsWaitForTheRunningSearch) {
    analysisSession session;
    session.set("Threads", "2");
    session.engine.send("position startpos");
    session.engine.send("go infinite");
    session.engine.send("setoption name Clear Hash");
    session.engine.send("setoption name Hash value 8");
    // ucinewgame answers at once; its clearing waits behind the new table, not beside it
    session.engine.send("ucinewgame");
    std::vector<std::string> lines;
    EXPECT_EQ(session.engine.waitFor("readyok", 10000, &lines), "readyok");
    EXPECT_EQ(session.engine.waitFor("info string", 700, &lines), "");
    session.engine.send("isready");
    EXPECT_EQ(session.engine.waitFor("readyok", 10000, &lines), "readyok");
    session.engine.send("stop");
    lines.clear();
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
    // With no search running the table is cleared at once, and searches go on as before.
    session.engine.send("setoption name Clear Hash");
    EXPECT_EQ(session.engine.waitFor("info string", 10000), "info string Hash cleared");
    std::string best = session.go("startpos", "depth 8", &lines);
    EXPECT_TRUE(legalAfter("startpos", moveOf(best))) << best;
}

TEST(AnalysisEndToEnd, TablebaseMoveAmongTheListedMoves) {
    analysisSession session;
    session.set("SyzygyPath", std::string(KESTRUNE_TEST_DATA) + "/syzygy");
    const std::string position = "fen 8/8/8/8/8/8/1Q6/K6k w - - 0 1";
    std::vector<std::string> lines;
    std::string best = session.go(position, "depth 20", &lines);
    const std::string tableMove = moveOf(best);
    // Leaving the table's own choice out gives another winning move of the tables.
    lines.clear();
    best = session.go(position, "depth 20 searchmoves a1a2 b2b1", &lines);
    EXPECT_TRUE(moveOf(best) == "a1a2" || moveOf(best) == "b2b1") << best;
    infoStruct info;
    ASSERT_TRUE(parseInfo(lines.at(lines.size() - 2), &info)) << lines.at(lines.size() - 2);
    EXPECT_EQ(info.pv, std::vector<std::string>{moveOf(best)});
    EXPECT_GT(info.score, 31000);
    EXPECT_NE(moveOf(best), tableMove);
}

// The eval command's table: its final score is the one the search uses, from either view.
TEST(AnalysisEndToEnd, EvalTableShowsTheSearchScore) {
    const std::vector<std::string> fens = {
        "r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R b KQkq - 1 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/8/4k3/8/8/3NK3/8/8 w - - 0 1"};
    analysisSession session;
    for (const std::string& fen : fens) {
        session.engine.send("position fen " + fen);
        session.engine.send("evil");
        session.engine.send("eval");
        std::vector<std::string> lines;
        std::string own = session.engine.waitFor("score from the side to move's view", 10000, &lines);
        ASSERT_FALSE(own.empty()) << fen;
        EXPECT_EQ(lines.front().rfind("term ", 0), 0u) << "evil writes nothing: " << lines.front();
        std::string white = lines.at(lines.size() - 2);
        ASSERT_EQ(white.rfind("score from white's view: ", 0), 0u) << white;

        testPositionStruct pos(fen);
        int expected = evaluateN(0, pos.get());
        EXPECT_EQ(std::stoi(own.substr(own.rfind(' ') + 1)), expected) << fen;
        EXPECT_EQ(std::stoi(white.substr(white.rfind(' ') + 1)), pos->sideToMove == WHITE ? expected : -expected);

        // The total row is the sum of the term rows, for each side and each half.
        std::vector<std::vector<int>> rows;
        for (const std::string& line : lines) {
            std::istringstream words(line);
            std::string name, word;
            std::vector<int> values;
            while (words >> word) {
                size_t digits = word[0] == '-' ? 1 : 0;
                if (word.size() > digits && word.find_first_not_of("0123456789", digits) == std::string::npos)
                    values.push_back(std::stoi(word));
                else if (values.empty()) name += word;
            }
            if (values.size() == 4 && name != "phase") rows.push_back(values);
        }
        ASSERT_GE(rows.size(), 13u) << fen;
        for (int column = 0; column < 4; column++) {
            int sum = 0;
            for (size_t r = 0; r + 1 < rows.size(); r++) sum += rows[r][column];
            EXPECT_EQ(sum, rows.back()[column]) << fen << " column " << column;
        }
    }
}
