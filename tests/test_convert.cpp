// Training data from game records: SAN written and read, the games fastchess writes (SAN and
// UCI, standard and Chess960), every filter, bad input, the command through the binary, and the
// win/draw/loss fit on data drawn from a known model.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tools/convert.h"
#include "wdlModel.h"
#include "engineProcess.h"
#include "move.h"
#include "testSupport.h"

namespace {

const std::string DATA = KESTRUNE_TEST_DATA;

struct convertedStruct {
    std::vector<std::string> lines;
    std::vector<std::string> problems;
    convertCountsStruct counts;
};

convertedStruct convertText(std::istream& in) {
    convertedStruct converted;
    testPositionStruct pos;
    pgnReaderStruct reader;
    reader.in = &in;
    pgnGameStruct game;
    std::vector<trainingPositionStruct> kept;
    while (readPgnGame(&reader, &game)) {
        converted.counts.gamesRead++;
        kept.clear();
        std::string problem = convertGame(game, pos.get(), &kept, &converted.counts);
        if (!problem.empty()) converted.problems.push_back(problem);
        for (const trainingPositionStruct& p : kept) converted.lines.push_back(trainingLineText(p));
    }
    return converted;
}

convertedStruct convertFile(const std::string& name) {
    std::ifstream in(DATA + "/" + name);
    EXPECT_TRUE(in.good()) << name;
    return convertText(in);
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> runEngine(const std::vector<std::string>& arguments) {
    engineProcess engine(arguments);
    std::vector<std::string> infos;
    std::string line;
    while (engine.readLine(&line, 20000 * TIMESCALE))
        if (line.rfind("info string", 0) == 0) infos.push_back(line);
    EXPECT_EQ(engine.waitExit(), 0);
    return infos;
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

} // namespace

TEST(ConvertSan, WrittenAndReadWithDisambiguationChecksAndPromotions) {
    initEngineTablesOnce();
    struct sanCaseStruct {
        const char* fen;
        const char* word; // the move in the engine's notation
        const char* san;
    };
    const sanCaseStruct cases[] = {
        {"4k3/8/8/8/8/5N2/8/1N2K3 w - - 0 1", "b1d2", "Nbd2"},
        {"4k3/8/8/8/8/5N2/8/1N2K3 w - - 0 1", "f3d2", "Nfd2"},
        {"4k3/8/8/R7/8/8/8/R3K3 w - - 0 1", "a1a3", "R1a3"},
        {"4k3/8/8/8/8/Q7/8/Q1Q1K3 w - - 0 1", "a1b2", "Qa1b2"},
        {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", "exd6"},
        {"k7/7P/1K6/8/8/8/8/8 w - - 0 1", "h7h8q", "h8=Q#"},
        {"k7/7P/1K6/8/8/8/8/8 w - - 0 1", "h7h8n", "h8=N"},
        {"1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7b8q", "axb8=Q+"},
        {"3k4/8/8/8/8/8/8/R3K3 w Q - 0 1", "e1c1", "O-O-O+"},
        {"r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1", "e8g8", "O-O"},
    };
    for (const sanCaseStruct& c : cases) {
        testPositionStruct pos(c.fen);
        moveStruct move, found;
        ASSERT_TRUE(parseMoveWord(c.word, pos.get(), &move)) << c.word;
        moveStruct* legal = pos->plyStack[0].listStart;
        generateMovesLegal(0, legal, pos.get());
        moveStruct* legalEnd = pos->plyStack[0].listEnd;
        EXPECT_EQ(moveToSan(move, pos.get(), legal, legalEnd, true), c.san) << c.fen;
        ASSERT_TRUE(findGameMove(c.san, pos.get(), legal, legalEnd, &found)) << c.san;
        EXPECT_TRUE(sameMove(found, move)) << c.san;
        EXPECT_EQ(positionToFen(pos.get()).substr(0, 20), std::string(c.fen).substr(0, 20)) << "restored";
    }
    // the forms other writers use
    testPositionStruct pos("4k3/8/8/8/8/5N2/8/1N2K3 w - - 0 1");
    moveStruct* legal = pos->plyStack[0].listStart;
    generateMovesLegal(0, legal, pos.get());
    moveStruct found;
    for (const char* text : {"Nbd2!?", "Nb1d2", "Nb1-d2", "b1d2", "Nbd2$1"}) {
        ASSERT_TRUE(findGameMove(text, pos.get(), legal, pos->plyStack[0].listEnd, &found)) << text;
        EXPECT_EQ(found.from, 1) << text;
    }
    for (const char* text : {"Nd2", "Nc4", "Kd3", "e9", "xx", "O-O"})
        EXPECT_FALSE(findGameMove(text, pos.get(), legal, pos->plyStack[0].listEnd, &found)) << text;
}

// Two games as fastchess writes them, one from a FEN with black to move and one Chess960 game
// with castling, once in SAN and once in UCI notation: the same training lines, and every SAN
// token written back exactly as fastchess wrote it.
TEST(ConvertGames, SanAndUciFromFastchessGiveTheSameLines) {
    initEngineTablesOnce();
    convertedStruct san = convertFile("convert-games-san.pgn");
    convertedStruct uci = convertFile("convert-games-uci.pgn");
    EXPECT_TRUE(san.problems.empty());
    EXPECT_EQ(san.counts.gamesKept, 2);
    EXPECT_EQ(san.counts.positionsRead, 117 + 116);
    EXPECT_EQ(san.lines.size(), size_t(67 + 75));
    EXPECT_EQ(san.lines, uci.lines);
    EXPECT_EQ(san.counts.gameResults[0], 2);

    std::ifstream in(DATA + "/convert-games-san.pgn");
    pgnReaderStruct reader;
    reader.in = &in;
    pgnGameStruct game;
    testPositionStruct pos;
    int moves = 0;
    while (readPgnGame(&reader, &game)) {
        bool chess960 = game.tag("Variant") == "Chess960";
        ASSERT_TRUE(setPosition(game.tag("FEN"), pos.get(), chess960));
        for (const pgnMoveStruct& record : game.moves) {
            moveStruct* legal = pos->plyStack[0].listStart;
            generateMovesLegal(0, legal, pos.get());
            moveStruct* legalEnd = pos->plyStack[0].listEnd;
            moveStruct move;
            ASSERT_TRUE(findGameMove(record.text, pos.get(), legal, legalEnd, &move)) << record.text;
            EXPECT_EQ(moveToSan(move, pos.get(), legal, legalEnd, true), record.text);
            ASSERT_EQ(applyMoveWords(moveToLA(&move, pos->sideToMove, pos.get()), pos.get()).applied, 1);
            moves++;
        }
    }
    EXPECT_EQ(moves, 117 + 116);
}

// Hand-written games: every filter, both sides' scores, the three results, book plies, an
// en-passant field, and the games that are left out whole.
TEST(ConvertGames, EveryFilterAndEveryAbnormalEnd) {
    initEngineTablesOnce();
    convertedStruct c = convertFile("convert-filters.pgn");
    const std::vector<std::string> expected = {
        // the eight plies after the set-up are left out; a pawn on b7 and kings on both wings
        "r7/1Pk5/6pp/8/8/6PP/8/4K2R w - - 4 24 | 350 | 0.5",
        "r7/1Pk5/6pp/8/8/6PP/5K2/7R b - - 5 24 | 340 | 0.5", // black's -3.40 is white's +340
        // b8=Q+ (promotion), Rxb8 (in check), Rd8 without a score
        "1r6/8/1k4pp/8/8/6PP/5K2/7R w - - 0 26 | 20 | 0.5",
        // Rxd8 (capture), a mate score and a score of 30 pawns
        "8/2k5/6pp/8/3R4/6PP/5K2/8 b - - 2 28 | 10 | 0.5",
        // two book plies, then eight plies of play are left out
        "r1bqkbnr/pppppppp/2n5/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 10 6 | 25 | 1.0",
        "r1bqkbnr/pppppppp/2n5/8/4P3/2N5/PPPP1PPP/R1BQKBNR b KQkq - 0 6 | 20 | 1.0", // no capture on e3
        "r1bqkbnr/pppp1ppp/2n1p3/8/4P3/2N5/PPPP1PPP/R1BQKBNR w KQkq - 0 7 | 30 | 1.0",
        "r1bqkbnr/pppp1ppp/2n1p3/4P3/8/2N5/PPPP1PPP/R1BQKBNR b KQkq - 0 7 | 30 | 1.0",
        "r1bqkbnr/pppp2pp/2n1p3/4Pp2/8/2N5/PPPP1PPP/R1BQKBNR w KQkq f6 0 8 | 40 | 1.0", // exf6 possible
        "r1bqkbnr/pppp2pp/2n1p3/4Pp2/3P4/2N5/PPP2PPP/R1BQKBNR b KQkq - 0 8 | 35 | 1.0",
    };
    EXPECT_EQ(c.lines, expected);
    const convertCountsStruct& n = c.counts;
    EXPECT_EQ(n.gamesRead, 12);
    EXPECT_EQ(n.gamesKept, 3); // with the tablebase adjudication
    EXPECT_EQ(n.abnormalEnd, 5); // time forfeit, disconnect, illegal move, draw adjudication, "*"
    EXPECT_EQ(n.incomplete, 1);
    EXPECT_EQ(n.badMoves, 1);
    EXPECT_EQ(n.badSetUp, 2);
    EXPECT_EQ(n.positionsRead, 18 + 16 + 3);
    EXPECT_EQ(n.positionsKept, 10);
    EXPECT_EQ(n.skipOpening, 8 + 10 + 3);
    EXPECT_EQ(n.skipNoScore, 1);
    EXPECT_EQ(n.skipCheck, 1);
    EXPECT_EQ(n.skipCapture, 2);
    EXPECT_EQ(n.skipMate, 2);
    EXPECT_EQ(n.gameResults[2], 2);
    EXPECT_EQ(n.gameResults[1], 1);
    EXPECT_EQ(n.positionResults[2], 6);
    EXPECT_EQ(n.scoreBuckets[0], 8);
    EXPECT_EQ(n.scoreBuckets[3], 2);
    EXPECT_TRUE(anyContains(c.problems, "move 'Ke3' (ply 3) is not legal"));
}

TEST(ConvertGames, GarbageNeverCrashes) {
    initEngineTablesOnce();
    std::mt19937 rng(20);
    const std::string pieces[] = {"{", "}", "(", ")", "[", "]", "\"", ";", "\n", " ", "1.", "e4", "Nf3", "O-O",
                                  "1-0", "*", "$", "[FEN \"", "8/8/8", "[Result \"1-0\"]\n", "e7e8q", "=Q", "+M3"};
    for (int round = 0; round < 200; round++) {
        std::string text;
        for (int k = 0; k < 300; k++) {
            if (rng() % 4) text += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
            else text += char(rng() % 256);
        }
        std::istringstream in(text);
        convertedStruct c = convertText(in);
        EXPECT_EQ(c.counts.gamesKept + long(c.problems.size()), c.counts.gamesRead);
    }
}

TEST(ConvertCommand, EndToEndThroughTheBinaryWithRefusals) {
    tempDirStruct dir;
    const std::string out = dir.path + "/train.txt";
    std::vector<std::string> infos =
        runEngine({"convert", out, DATA + "/convert-filters.pgn", DATA + "/convert-games-san.pgn"});
    EXPECT_TRUE(anyContains(infos, "move 'Ke3' (ply 3) is not legal"));
    EXPECT_TRUE(anyContains(infos, "info string convert games read 14 kept 5"));
    EXPECT_TRUE(anyContains(infos, "info string convert positions read 270 kept 152"));
    EXPECT_TRUE(anyContains(infos, "white wins 2 draws 1 black wins 2"));
    EXPECT_TRUE(anyContains(infos, "info string wdl fit over 152 positions: a "));
    std::vector<std::string> lines = readLines(out);
    ASSERT_EQ(lines.size(), 152u);
    EXPECT_EQ(lines[0], "r7/1Pk5/6pp/8/8/6PP/8/4K2R w - - 4 24 | 350 | 0.5");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1) << "no temporary file left";

    infos = runEngine({"wdlfit", out});
    EXPECT_TRUE(anyContains(infos, "info string wdlfit read 152 lines"));
    EXPECT_TRUE(anyContains(infos, "info string wdl fit over 152 positions: a "));

    // swapped arguments, an unreadable input, no input: one line each and nothing written
    const std::string pgnOut = dir.path + "/games.pgn";
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"convert", pgnOut, DATA + "/convert-filters.pgn"},
          std::vector<std::string>{"convert", dir.path + "/x.txt", dir.path + "/missing.pgn"},
          std::vector<std::string>{"convert", dir.path + "/x.txt"}}) {
        infos = runEngine(arguments);
        EXPECT_EQ(infos.size(), 1u) << arguments[1];
        EXPECT_FALSE(std::filesystem::exists(arguments[1])) << arguments[1];
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}

// Chunks kept compressed convert as they are: the same lines from xz and gzip as from the plain
// games, and a damaged file is one line that names the damage, with nothing written.
TEST(ConvertCommand, CompressedChunksGiveThePlainChunksLines) {
    tempDirStruct dir;
    const std::string plain = DATA + "/decompress/games.pgn";
    std::vector<std::string> infos = runEngine({"convert", dir.path + "/plain.txt", plain});
    std::vector<std::string> expected = readLines(dir.path + "/plain.txt");
    ASSERT_GT(expected.size(), 50u) << (infos.empty() ? "" : infos[0]);
    for (const std::string name : {"games.pgn.xz", "games.pgn.gz", "games-two.pgn.xz", "games-two.pgn.gz"}) {
        const std::string out = dir.path + "/" + name + ".txt";
        infos = runEngine({"convert", out, DATA + "/decompress/" + name});
        EXPECT_EQ(readLines(out), expected) << name; // the "two" files split the games in two streams or members
    }

    std::ifstream whole(DATA + "/decompress/games.pgn.xz", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
    const std::string damaged = dir.path + "/games-5.pgn.xz";
    std::ofstream(damaged, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    const std::string out = dir.path + "/damaged.txt";
    infos = runEngine({"convert", out, plain, damaged});
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_TRUE(anyContains(infos, "info string convert could not read all of '" + damaged + "' (")) << infos[0];
    EXPECT_FALSE(std::filesystem::exists(out));
}

// Positions drawn from known models: the fit finds their parameters, and the material terms
// help on held-out games only where the data depends on the material.
TEST(WdlFit, RecoversTheParametersOfSyntheticData) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> scoreDistribution(0.0, 350.0);
    std::uniform_int_distribution<int> materialDistribution(10, 78);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto draw = [&](wdlDataStruct* data, bool material) {
        for (int k = 0; k < 400000; k++) {
            int score = int(std::lround(scoreDistribution(rng)));
            int m = materialDistribution(rng);
            double x = double(std::clamp(m, WDLMATERIALMIN, WDLMATERIALMAX)) / WDLMATERIALSCALE;
            double a = material ? 60 + 150 * x : 180, b = material ? 50 + 80 * x : 110;
            double win = 1 / (1 + std::exp(-(score - a) / b)), loss = 1 / (1 + std::exp(-(-score - a) / b));
            double u = uniform(rng);
            data->add(score, m, u < win ? 2 : u < win + loss ? 0 : 1, uint64_t(k / 50));
        }
    };
    auto plain = std::make_unique<wdlDataStruct>();
    draw(plain.get(), false);
    wdlModelStruct fit = fitWdl(*plain, WDLALL, false);
    ASSERT_TRUE(fit.ok);
    EXPECT_NEAR(fit.a0, 180, 4);
    EXPECT_NEAR(fit.b0, 110, 3);
    wdlModelStruct withMaterial = fitWdl(*plain, WDLALL, true);
    EXPECT_NEAR(withMaterial.a1, 0, 15);
    EXPECT_NEAR(withMaterial.b1, 0, 10);

    auto dependent = std::make_unique<wdlDataStruct>();
    draw(dependent.get(), true);
    withMaterial = fitWdl(*dependent, WDLTRAIN, true);
    ASSERT_TRUE(withMaterial.ok);
    EXPECT_NEAR(withMaterial.a0, 60, 12);
    EXPECT_NEAR(withMaterial.a1, 150, 15);
    EXPECT_NEAR(withMaterial.b0, 50, 8);
    EXPECT_NEAR(withMaterial.b1, 80, 10);
    EXPECT_LT(wdlLoss(withMaterial, *dependent, WDLTEST), wdlLoss(fitWdl(*dependent, WDLTRAIN, false), *dependent, WDLTEST));
    std::vector<std::string> report = wdlReport(*dependent);
    ASSERT_EQ(report.size(), 3u);
    EXPECT_NE(report[2].find("the material improves the fit"), std::string::npos) << report[2];
    EXPECT_GT(dependent->testCount, 30000u);
    EXPECT_LT(dependent->testCount, 50000u);
}
