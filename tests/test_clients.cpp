// What GUIs, testers and bots rely on: every search's lines, the win/draw/loss chances, go perft,
// the tablebases without the fifty-move rule, Hash in megabytes, a command loop that never goes
// deaf, and a build with make EXE= where GoogleTest is missing.
#include <gtest/gtest.h>


#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tools/bench.h"
#include "engineProcess.h"
#include "settings.h"
#include "wdlModel.h"
#include "testSupport.h"

namespace {

const std::string TBDIR = std::string(KESTRUNE_TEST_DATA) + "/syzygy";

struct clientStruct {
    engineProcess engine;
    std::string go(const std::string& positionWords, const std::string& goWords, std::vector<std::string>* seen) {
        engine.send("position " + positionWords);
        engine.send("go " + goWords);
        return engine.waitFor("bestmove", 60000 * TIMESCALE, seen);
    }
    void set(const std::string& name, const std::string& value) {
        engine.send("setoption name " + name + " value " + value);
        engine.send("isready");
        EXPECT_EQ(engine.waitFor("readyok"), "readyok");
    }
};

std::vector<std::string> scoreLines(const std::vector<std::string>& lines) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.rfind("info", 0) == 0 && line.find(" score ") != std::string::npos) found.push_back(line);
    return found;
}

// The number after word in line, or def when the word is missing.
long long numberAfter(const std::string& line, const std::string& word, long long def = -99999) {
    std::istringstream words(line);
    std::string w;
    while (words >> w)
        if (w == word && words >> w) return std::atoll(w.c_str());
    return def;
}

} // namespace

TEST(WdlModel, SumsToAThousandAndRisesWithTheScore) {
    for (int material : {0, 17, 40, 78, 100}) {
        wdlStruct last = wdlFromScore(-32000, material);
        EXPECT_EQ(last.loss, 1000);
        for (int score = -3000; score <= 3000; score += 7) {
            wdlStruct w = wdlFromScore(score, material);
            EXPECT_EQ(w.win + w.draw + w.loss, 1000) << score;
            EXPECT_GE(w.draw, 0) << score;
            EXPECT_GE(w.win, last.win) << score;
            EXPECT_LE(w.loss, last.loss) << score;
            last = w;
        }
        wdlStruct even = wdlFromScore(0, material);
        EXPECT_EQ(even.win, even.loss);
        EXPECT_EQ(wdlFromScore(31995, material).win, 1000);
        EXPECT_EQ(wdlFromScore(-31995, material).loss, 1000);
    }
    // an equal score with few men left is mostly drawn, with every man on the board mostly decided
    EXPECT_GT(wdlFromScore(0, 17).draw, 600);
    EXPECT_LT(wdlFromScore(0, 78).draw, 400);
    EXPECT_GT(wdlFromScore(0, 17).draw, wdlFromScore(0, 40).draw);
}

TEST(ClientsEndToEnd, EverySearchReportsItsLastDepthAndShowsWdl) {
    clientStruct c;
    std::vector<std::string> lines;
    // go depth 8 ends below the first regular report: its depth 8 comes once, before bestmove
    std::string best = c.go("startpos", "depth 8", &lines);
    std::vector<std::string> scores = scoreLines(lines);
    ASSERT_EQ(scores.size(), 1u) << best;
    EXPECT_EQ(scores[0].rfind("info score cp ", 0), 0u) << scores[0];
    EXPECT_EQ(numberAfter(scores[0], "depth"), 8);
    EXPECT_NE(scores[0].find(" pv " + best.substr(9, best.find(' ', 9) - 9) + " "), std::string::npos) << best;

    // from depth 10 on the lines are as they always were: one per depth, none below 10
    lines.clear();
    c.go("startpos", "depth 11", &lines);
    scores = scoreLines(lines);
    ASSERT_EQ(scores.size(), 2u);
    EXPECT_EQ(numberAfter(scores[0], "depth"), 10);
    EXPECT_EQ(numberAfter(scores[1], "depth"), 11);

    // every line of a MultiPV search, with its chances right after the score
    c.set("MultiPV", "3");
    c.set("UCI_ShowWDL", "true");
    lines.clear();
    c.go("startpos moves e2e4", "depth 5", &lines);
    scores = scoreLines(lines);
    ASSERT_EQ(scores.size(), 3u);
    for (int i = 0; i < 3; i++) {
        const std::string& line = scores[size_t(i)];
        EXPECT_EQ(numberAfter(line, "multipv"), i + 1) << line;
        EXPECT_EQ(numberAfter(line, "depth"), 5) << line;
        std::istringstream words(line.substr(line.find(" score cp ")));
        std::string score, cp, wdl;
        int value, w = 0, d = 0, l = 0;
        EXPECT_TRUE(words >> score >> cp >> value >> wdl >> w >> d >> l && wdl == "wdl" && w + d + l == 1000) << line;
    }

    // a mate below depth 10, a stop of an infinite search, and the chances switched off again
    c.set("MultiPV", "1");
    lines.clear();
    c.go("fen 6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", "depth 8", &lines);
    scores = scoreLines(lines);
    ASSERT_FALSE(scores.empty());
    EXPECT_EQ(scores.back().rfind("info score mate 1 wdl 1000 0 0 depth ", 0), 0u) << scores.back();
    c.set("UCI_ShowWDL", "false");
    c.engine.send("position startpos");
    c.engine.send("go infinite");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    lines.clear();
    c.engine.send("stop");
    best = c.engine.waitFor("bestmove", 10000 * TIMESCALE, &lines);
    ASSERT_FALSE(best.empty());
    scores = scoreLines(lines);
    ASSERT_FALSE(scores.empty());
    EXPECT_EQ(scores.back().find(" wdl "), std::string::npos) << scores.back();
}

TEST(ClientsEndToEnd, GoPerftListsTheRootMovesLikePerft) {
    clientStruct c;
    std::vector<std::string> lines;
    c.engine.send("position fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    c.engine.send("go perft 3");
    ASSERT_FALSE(c.engine.waitFor("Nodes searched: ", 30000 * TIMESCALE, &lines).empty());
    ASSERT_GE(lines.size(), 50u);
    EXPECT_EQ(lines.back(), "Nodes searched: 97862");
    EXPECT_EQ(lines[lines.size() - 2], "");
    long long sum = 0;
    for (size_t i = lines.size() - 50; i < lines.size() - 2; i++) sum += std::atoll(lines[i].c_str() + lines[i].find(": ") + 2);
    EXPECT_EQ(sum, 97862); // the 48 root moves
    EXPECT_NE(std::find(lines.begin(), lines.end(), "e5f7: 2080"), lines.end());
    // no search was started: the next line is the answer to isready
    c.engine.send("isready");
    std::string line;
    ASSERT_TRUE(c.engine.readLine(&line));
    EXPECT_EQ(line, "readyok");
}

TEST(ClientsEndToEnd, Syzygy50MoveRuleOffCountsCursedWinsAsWins) {
    clientStruct c;
    c.set("SyzygyPath", TBDIR);
    // a KRBvKR win that needs 101 plies to the next capture: a draw by the fifty-move rule
    const std::string cursedRoot = "fen 8/8/7r/4K3/B6k/8/8/R7 w - - 0 1";
    // the capture on g6 leads to a blessed loss for black, met by the search's probe
    const std::string intoBlessed = "fen R7/7r/6n1/8/4B2k/4K3/8/8 w - - 0 1";
    std::vector<std::string> lines;
    for (bool rule : {true, false}) {
        c.set("Syzygy50MoveRule", rule ? "true" : "false");
        lines.clear();
        c.go(cursedRoot, "depth 4", &lines);
        std::vector<std::string> scores = scoreLines(lines);
        ASSERT_EQ(scores.size(), 1u);
        EXPECT_EQ(numberAfter(scores[0], "depth"), 127);
        // the search reports the tables' verdict on the root in one line of its own
        EXPECT_NE(scores[0].find(" depth 127 seldepth 127 nodes 1 tbhits 1 time 1 pv "), std::string::npos) << scores[0];
        if (rule) EXPECT_EQ(numberAfter(scores[0], "cp"), 0) << scores[0];
        else EXPECT_GT(numberAfter(scores[0], "cp"), 31000) << scores[0];

        lines.clear();
        c.go(intoBlessed, "depth 4 searchmoves e4g6", &lines);
        scores = scoreLines(lines);
        ASSERT_FALSE(scores.empty());
        if (rule) EXPECT_EQ(numberAfter(scores.back(), "cp"), 0) << scores.back();
        else EXPECT_GT(numberAfter(scores.back(), "cp"), 100) << scores.back();
    }
}

TEST(ClientsEndToEnd, HashIsTheTablesMemoryInMegabytes) {
#ifdef KESTRUNE_SLOW_BUILD
    GTEST_SKIP() << "sanitizers reserve address space of their own";
#endif
    // 768 MB of address space hold the default 256 MB table and 128 MB more, not 1024 MB
    engineProcess engine({}, "", 768ul << 20);
    engine.send("setoption name Hash value 1024");
    EXPECT_EQ(engine.waitFor("info string"), "info string could not allocate 1024 MB, the table keeps 256 MB");
    // Hash N takes at most N MB: 500 gives 256 MB
    engine.send("setoption name Hash value 500");
    EXPECT_EQ(engine.waitFor("info string"), "info string Size of Hashtable set to : 256");
    // the old table is let go before the new one is taken: 512 MB fit where 256 + 512 did not
    engine.send("setoption name Hash value 512");
    EXPECT_EQ(engine.waitFor("info string"), "info string Size of Hashtable set to : 512");
    engine.send("go depth 6");
    EXPECT_FALSE(engine.waitFor("bestmove").empty());
    engine.send("setoption name Hash value 128");
    EXPECT_EQ(engine.waitFor("info string"), "info string Size of Hashtable set to : 128");
    engine.send("go depth 6");
    EXPECT_FALSE(engine.waitFor("bestmove").empty());
}

TEST(ClientsEndToEnd, NothingSentDuringASearchMakesTheEngineDeaf) {
    clientStruct c;
    const char* commands[] = {"setoption name Threads value 2", "go depth 5", "rtest no-such-perft-file.txt",
                              "texel", "bench 1"};
    const char* answers[] = {"info string Number of threads set to : 2", "bestmove", "There seems to be a problem",
                             "There seems", "Nodes searched  : "};
    // isready right after stop, or only once the search's bestmove has come: the held command's
    // answer may come before or after readyok, so every line read is looked at for it
    for (bool readyAfterBestmove : {false, true}) {
        for (int i = 0; i < 5; i++) {
            c.engine.send("position startpos");
            c.engine.send("go infinite");
            c.engine.send(commands[i]);
            c.engine.send("stop");
            if (!readyAfterBestmove) c.engine.send("isready");
            // stop and isready act at once, the held command answers after that bestmove
            bool bestmove = false, readyok = false, answered = false;
            std::string line;
            while (!(bestmove && readyok && answered) && c.engine.readLine(&line, 60000 * TIMESCALE)) {
                const bool isAnswer = line.rfind(answers[i], 0) == 0, isBestmove = line.rfind("bestmove", 0) == 0;
                if (bestmove && isAnswer) answered = true;
                else EXPECT_TRUE(!isAnswer || isBestmove) << commands[i] << " answered before bestmove: " << line;
                if (isBestmove && !bestmove && readyAfterBestmove) c.engine.send("isready");
                bestmove |= isBestmove;
                readyok |= line == "readyok";
            }
            EXPECT_TRUE(bestmove && readyok && answered) << commands[i] << (readyAfterBestmove ? ", isready late" : "");
            c.engine.send("isready");
            EXPECT_EQ(c.engine.waitFor("readyok", 10000 * TIMESCALE), "readyok") << commands[i];
        }
    }
    // a held go searches the position it was sent for, not one set after it
    c.engine.send("position startpos");
    c.engine.send("go infinite");
    c.engine.send("position startpos moves e2e4");
    c.engine.send("go depth 6");
    c.engine.send("position fen 7k/8/8/8/8/8/6q1/7K w - - 0 1");
    c.engine.send("stop");
    std::string first = c.engine.waitFor("bestmove", 10000 * TIMESCALE);
    std::string second = c.engine.waitFor("bestmove", 10000 * TIMESCALE);
    ASSERT_FALSE(second.empty());
    EXPECT_TRUE(legalAfter("startpos moves e2e4", second.substr(9, second.find(' ', 9) - 9))) << second;
    c.engine.send("quit");
    EXPECT_EQ(c.engine.waitExit(), 0);
}

TEST(BuildEndToEnd, MakeExeWithoutGoogleTest) {
#ifdef KESTRUNE_SLOW_BUILD
    GTEST_SKIP() << "the plain build covers it; a sanitized suite need not compile the engine again";
#endif
    if (std::system("command -v make >/dev/null && command -v cmake >/dev/null") != 0)
        GTEST_SKIP() << "make or cmake is missing";
    tempDirStruct dir;
    const std::string exe = dir.path + "/bin/Kestrune-dev";
    const std::string make = "make -s -C " + std::string(KESTRUNE_SOURCE_DIR) + " BUILD=" + dir.path +
                             "/build PGO=0 JOBS=2 CMAKE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON";
    // the network to build in comes as a framework hands it over: a path of its own
    std::filesystem::copy_file(std::string(KESTRUNE_SOURCE_DIR) + "/nets/kestrune.nnue", dir.path + "/net.bin");
    ASSERT_EQ(std::system((make + " EXE=" + exe + " EVALFILE=" + dir.path + "/net.bin >" + dir.path +
                           "/make.log 2>&1").c_str()),
              0)
        << "see " << dir.path << "/make.log";
    // the copy has the signature of the tested engine
    engineProcess engine({"bench", "4"});
    std::string expected = engine.waitFor("Nodes searched", 60000);
    ASSERT_FALSE(expected.empty());
    FILE* pipe = popen((exe + " bench 4").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512];
    std::string output;
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_NE(output.find(expected + "\n"), std::string::npos) << output;
    // make test says in one line how to get GoogleTest and fails
    pipe = popen((make + " test 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    output.clear();
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_NE(pclose(pipe), 0);
    EXPECT_NE(output.find("libgtest-dev"), std::string::npos) << output;
}
