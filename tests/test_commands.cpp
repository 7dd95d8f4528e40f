// The command loop through the built binary, and the position command's bookkeeping.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "engineProcess.h"
#include "kestrune.h"
#include "testSupport.h"
#include "uci.h"

namespace {

std::vector<std::string> readAll(engineProcess& engine, int timeoutMs = 10000) {
    std::vector<std::string> lines;
    std::string line;
    while (engine.readLine(&line, timeoutMs)) lines.push_back(line);
    return lines;
}

std::string temporaryDirectory() {
    char pattern[] = "/tmp/kestrune-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "/tmp";
}

// The perft result lines without their speed.
std::vector<std::string> perftResults(const std::vector<std::string>& lines) {
    std::vector<std::string> results;
    for (const std::string& line : lines)
        if (line.rfind("Perft results", 0) == 0) results.push_back(line.substr(0, line.find("  Nodes")));
    return results;
}

std::vector<std::string> infoStrings(const std::vector<std::string>& lines) {
    std::vector<std::string> infos;
    for (const std::string& line : lines)
        if (line.rfind("info string", 0) == 0) infos.push_back(line);
    return infos;
}

void positionLine(const std::string& words) {
    std::istringstream stream(words);
    positionCommand(stream);
}

} // namespace

TEST(CommandLoop, BannerHelpUnknownAndEndOfInput) {
    engineProcess engine;
    engine.send("help");
    engine.send("");
    engine.send("frobnicate");
    engine.send("Quit");
    engine.closeInput();
    std::vector<std::string> lines = readAll(engine);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[0], "Kestrune 2.1");
    EXPECT_EQ(lines[1], "by Dramwell");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "enter 'help' to see the commands");
    EXPECT_EQ(lines[4],
              "supported UCI commands 'uci' 'ucinewgame' 'position' 'go' 'ponderhit' 'stop 'quit' 'setoption' 'isready'");
    EXPECT_EQ(lines[5], "other commands 'perft depth', default depth=6, change board with 'position'; 'showboard' "
                        "shows the current board");
    // the lines after the two fixed ones name the other commands and options; then one
    // "Unknown command" for each of the three unknown lines
    ASSERT_EQ(lines.back(), "Unknown command");
    const size_t unknown = lines.size() - 3;
    std::string more;
    for (size_t i = 6; i < unknown; i++) more += lines[i] + "\n";
    for (const char* word : {"searchmoves", "nodes", "mate", "MultiPV", "Clear Hash", "'eval'", "'bench [depth]'",
                             "'rtest [file]'", "UCI_Chess960", "Move Overhead", "'genfens N seed S", "'datagen games N",
                             "'convert out.txt a.pgn [b.pgn ...]'", "'wdlfit data.txt'", "'go perft depth'", "UCI_ShowWDL",
                             "Syzygy50MoveRule"})
        EXPECT_NE(more.find(word), std::string::npos) << word;
    for (size_t i = unknown; i < lines.size(); i++) EXPECT_EQ(lines[i], "Unknown command");
    EXPECT_EQ(engine.waitExit(), 0);
}

TEST(CommandLoop, OneShotPerftPrintsTheCountAndExits) {
    engineProcess engine({"perft", "5"});
    std::vector<std::string> lines = readAll(engine);
    EXPECT_EQ(engine.waitExit(), 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Perft results for depth: 5  4865609  Nodes per sec: ", 0), 0u) << lines.back();
    EXPECT_NE(lines[lines.size() - 2].find(" ns and "), std::string::npos);
    EXPECT_EQ(lines[lines.size() - 2].substr(lines[lines.size() - 2].size() - 11), " in seconds");
}

TEST(CommandLoop, PositionShowboardAndPerftDepths) {
    engineProcess engine;
    engine.send("position startpos e2e4");
    engine.send("perft 1");
    engine.send("position startpos moves e2e4 e7e5 g1f3");
    engine.send("perft 2");
    engine.send("perft");
    engine.send("perft 0");
    engine.send("perft -3");
    engine.send("perft deep");
    engine.send("position fen 8/8/8/8/8/8/8/K6k w - - 0 1 moves a1a2");
    engine.send("showboard");
    engine.send("quit");
    std::vector<std::string> lines = readAll(engine);
    std::vector<std::string> results = perftResults(lines), infos = infoStrings(lines);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], "Perft results for depth: 1  20");  // "e2e4" after startpos is not a move
    EXPECT_EQ(results[1].rfind("Perft results for depth: 2  ", 0), 0u);
    EXPECT_EQ(results[2], results[1]);  // the last depth is kept
    EXPECT_EQ(infos.size(), 3u);
    ASSERT_GE(lines.size(), 18u);
    EXPECT_EQ(lines[lines.size() - 17], "+---+---+---+---+---+---+---+---+");
    EXPECT_EQ(lines[lines.size() - 2], "|   |   |   |   |   |   |   | k |");
    EXPECT_EQ(lines[lines.size() - 4], "| K |   |   |   |   |   |   |   |");
    EXPECT_EQ(engine.waitExit(), 0);
}

TEST(CommandLoop, BadPositionsKeepThePreviousPosition) {
    engineProcess engine;
    engine.send("position startpos moves e2e4");
    engine.send("position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1");
    engine.send("position fen 8/8/8 w");
    engine.send("position fen");
    engine.send("position sideways");
    engine.send("perft 1");
    engine.send("position startpos moves e2e4 e7e5 e1e5 d2d4");
    engine.send("perft 1");
    engine.send("quit");
    std::vector<std::string> lines = readAll(engine);
    std::vector<std::string> results = perftResults(lines), infos = infoStrings(lines);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], "Perft results for depth: 1  20");  // black to move after e2e4
    EXPECT_EQ(results[1], "Perft results for depth: 1  29");  // after e2e4 e7e5
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_NE(infos[0].find("unknown piece letter"), std::string::npos);
    EXPECT_NE(infos[3].find("e1e5"), std::string::npos);
}

TEST(CommandLoop, RtestOverTheShippedFileAndBadFiles) {
    engineProcess engine({}, KESTRUNE_SOURCE_DIR);
    engine.send("rtest");
    engine.send("quit");
    std::vector<std::string> lines = readAll(engine, 60000);
    int passed = 0;
    for (const std::string& line : lines) {
        if (line.rfind("1; ", 0) == 0) passed++;
        EXPECT_NE(line.rfind("0; ", 0), 0u) << line;
    }
    EXPECT_EQ(passed, 104);
    EXPECT_EQ(lines.back(), "Results of the perft checks is OK: 1");

    std::string directory = temporaryDirectory();
    {
        engineProcess missing({"rtest"}, directory);
        std::vector<std::string> out = readAll(missing);
        EXPECT_EQ(out.back(),
                  "There seems to be a problem with the perftFile. check of the move generator not executed");
    }
    std::ofstream(directory + "/perft.txt")
        << "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1; 3; 97862\n"
        << "8/8/8/8/8/8/8/K6k w - - 0 1;x;3\n"
        << "8/8/8/8/8/8/8/K6k w - - 0 1;2\n"
        << "8/8/8/8/8/8/8/K6k w - - 0 1;0;1\n"
        << "8/8/8/8/8/8/8/K6Q w - - 0 1;1;3\n"
        << "full\n"
        << "8/8/8/8/8/8/8/K6k w - - 0 1;1;999\n";
    engineProcess checked({"rtest"}, directory);
    std::vector<std::string> out = readAll(checked);
    ASSERT_GE(out.size(), 7u);
    EXPECT_EQ(out[out.size() - 6].rfind("1; r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1; 3; 97862; 97862; ", 0), 0u);
    for (size_t i = out.size() - 5; i < out.size() - 1; i++) EXPECT_EQ(out[i].rfind("info string skipped", 0), 0u) << out[i];
    EXPECT_EQ(out.back(), "Results of the perft checks is OK: 0");
    EXPECT_EQ(checked.waitExit(), 0);
    std::remove((directory + "/perft.txt").c_str());
    rmdir(directory.c_str());
}

TEST(CommandLoop, GamePlyFollowsThePositionCommand) {
    initEngineTablesOnce();
    positionLine("startpos moves e2e4 e7e5");
    EXPECT_EQ(engine.gamePly, 2);
    positionLine("fen 8/8/8/8/8/8/8/K6k w - - 0 1");
    EXPECT_EQ(engine.gamePly, 1024);
    positionLine("fen 8/8/8/8/8/8/8/K6k w - - 0 1 moves a1a2");
    EXPECT_EQ(engine.gamePly, 3);
    positionLine("startpos");
    EXPECT_EQ(engine.gamePly, 0);
    positionLine("startpos moves");
    EXPECT_EQ(engine.gamePly, 0);
    EXPECT_EQ(GPSData.historyCount, 1);
    positionLine("fen 8/8/8/8/8/8/8/K6k b - - 0 40");
    EXPECT_EQ(engine.gamePly, 80);
}

TEST(CommandLoop, SearchesAfterThreeThousandPlies) {
    std::string moves;
    const char* cycle[] = {"g1f3", "g8f6", "f3g1", "f6g8"};
    for (int ply = 0; ply < 3000; ply++) moves += std::string(" ") + cycle[ply % 4];
    engineProcess engine;
    engine.send("position startpos moves" + moves);
    engine.send("go depth 6");
    std::string best = engine.waitFor("bestmove", 30000);
    EXPECT_EQ(best.rfind("bestmove ", 0), 0u);
    EXPECT_NE(best, "bestmove a1a1");
    engine.send("position startpos moves" + moves + " e2e4");
    engine.send("perft 3");
    EXPECT_EQ(engine.waitFor("Perft results").substr(0, 35), "Perft results for depth: 3  13160  ");
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}
