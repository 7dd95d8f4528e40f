// Openings for training games (genfens) and the self-play games (datagen), through the binary.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "engineProcess.h"
#include "eval.h"
#include "evaluate.h"
#include "hash.h"
#include "move.h"
#include "search.h"
#include "settings.h"
#include "testSupport.h"

namespace {

// Every line of a one-shot run.
std::vector<std::string> runOneShot(const std::vector<std::string>& arguments, int timeoutMs = 60000) {
    engineProcess engine(arguments);
    std::vector<std::string> lines;
    std::string line;
    while (engine.readLine(&line, timeoutMs * TIMESCALE)) lines.push_back(line);
    EXPECT_EQ(engine.waitExit(), 0);
    return lines;
}

std::vector<std::string> genfensLines(const std::vector<std::string>& lines) {
    std::vector<std::string> fens;
    const std::string prefix = "info string genfens ";
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0) fens.push_back(line.substr(prefix.size()));
    return fens;
}

int infoStringCount(const std::vector<std::string>& lines) {
    int count = 0;
    for (const std::string& line : lines) count += line.rfind("info string ", 0) == 0;
    return count;
}

long legalMoves(positionStruct* pos) {
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    return long(pos->plyStack[0].listEnd - pos->plyStack[0].listStart);
}

std::string castlingFieldOf(const std::string& fen) {
    std::istringstream words(fen);
    std::string placement, side, castling;
    words >> placement >> side >> castling;
    return castling;
}

} // namespace

TEST(Genfens, OpenBenchCallGivesDistinctLegalBalancedOpenings) {
    initEngineTablesOnce();
    // the call as a distributed-testing client makes it: one joined argument, then quit
    std::vector<std::string> fens = genfensLines(runOneShot({"genfens 300 seed 7 book None", "quit"}));
    ASSERT_EQ(fens.size(), 300u);
    EXPECT_EQ(std::set<std::string>(fens.begin(), fens.end()).size(), fens.size());
    int blackToMove = 0;
    for (const std::string& fen : fens) {
        ASSERT_EQ(fenProblem(fen), "") << fen;
        testPositionStruct pos(fen);
        EXPECT_GT(legalMoves(pos.get()), 0) << fen;
        // the side not to move is never in check
        EXPECT_FALSE(squareAttacked(__builtin_ctzll(pos->pieceBB[WKING + (pos->sideToMove ^ 1)]), pos->sideToMove,
                                    pos->pieceBB[0] | pos->pieceBB[1], pos.get()))
            << fen;
        blackToMove += pos->sideToMove == BLACK;
    }
    EXPECT_GT(blackToMove, 50);
    EXPECT_LT(blackToMove, 250);

    // a sample is balanced by a somewhat deeper search too
    const engineStruct saved = engine;
    engine.infinite = true;
    int balanced = 0;
    for (int i = 0; i < 10; i++) {
        testPositionStruct pos(fens[size_t(i) * 30]);
        clearHashTable();
        balanced += std::abs(searchFixedDepth(pos.get(), 8).score) <= 250;
    }
    engine = saved;
    EXPECT_GE(balanced, 9);

    // the same seed gives the same openings, another seed others
    EXPECT_EQ(genfensLines(runOneShot({"genfens 20 seed 7 book None"})),
              std::vector<std::string>(fens.begin(), fens.begin() + 20));
    std::vector<std::string> other = genfensLines(runOneShot({"genfens 20 seed 8 book None plies 10 extra words"}));
    ASSERT_EQ(other.size(), 20u);
    EXPECT_NE(other, std::vector<std::string>(fens.begin(), fens.begin() + 20));
}

TEST(Genfens, Chess960BooksKeepTheirCastlingForm) {
    tempDirStruct dir;
    // the Shredder-FEN book of the tests, and the same positions in X-FEN
    std::ifstream shredderBook(std::string(KESTRUNE_TEST_DATA) + "/chess960-openings.epd");
    std::ofstream xfen(dir.path + "/xfen.epd");
    std::string line;
    while (std::getline(shredderBook, line)) {
        std::istringstream words(line);
        std::string placement, side, castling, ep;
        words >> placement >> side >> castling >> ep;
        xfen << placement << ' ' << side << " KQkq " << ep << "\n";
    }
    xfen.close();
    const std::string books[2] = {std::string(KESTRUNE_TEST_DATA) + "/chess960-openings.epd", dir.path + "/xfen.epd"};
    for (int form = 0; form < 2; form++) {
        std::vector<std::string> fens = genfensLines(runOneShot({"genfens 40 seed 3 book " + books[form]}));
        ASSERT_EQ(fens.size(), 40u) << books[form];
        bool fischer = false, castling = false;
        for (const std::string& fen : fens) {
            const std::string field = castlingFieldOf(fen);
            for (char c : field) {
                if (c == '-') continue;
                castling = true;
                bool fileLetter = (c >= 'A' && c <= 'H') || (c >= 'a' && c <= 'h');
                EXPECT_EQ(fileLetter, form == 0) << fen;
            }
            testPositionStruct pos(fen);
            ASSERT_TRUE(setPosition(fen, pos.get(), true)) << fen;
            attachMoveStorage(pos.get(), pos.storage.data());
            EXPECT_GT(legalMoves(pos.get()), 0) << fen;
            fischer |= pos->board[4] != WKING && pos->board[4] != 0;
        }
        EXPECT_TRUE(castling);
        EXPECT_TRUE(fischer);
    }
}

TEST(Genfens, BadWordsGiveOneInfoLineAndNoOpenings) {
    for (const char* command : {"genfens", "genfens x seed 1 book None", "genfens 0 seed 1",
                                       "genfens 5 seed abc book None", "genfens 5 seed 1 book /no/such/book.epd",
                                       "genfens 5 seed 1 book None plies many"}) {
        std::vector<std::string> lines = runOneShot({command});
        EXPECT_TRUE(genfensLines(lines).empty()) << command;
        EXPECT_EQ(infoStringCount(lines), 1) << command;
    }
}

TEST(Datagen, GamesReplayLegallyWithAScoreOnEveryMove) {
    initEngineTablesOnce();
    tempDirStruct dir;
    const std::string pgn = dir.path + "/games.pgn";
    std::vector<std::string> lines = runOneShot({"datagen games 6 nodes 2000 seed 5 threads 2 out " + pgn}, 120000);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("info string datagen games 6 ", 0), 0u) << lines.back();

    // the openings are genfens's for the same seed
    std::vector<std::string> openings = genfensLines(runOneShot({"genfens 6 seed 5 book None"}));
    std::ifstream in(pgn);
    std::string line, fen, result, movetext;
    std::set<std::string> gameFens;
    int games = 0;
    auto finishGame = [&] {
        testPositionStruct pos(fen);
        std::istringstream tokens(movetext);
        std::string token, moves;
        int scored = 0, played = 0;
        while (tokens >> token) {
            if (token[0] == '{') scored++;
            else if (token.find('.') == std::string::npos && token != result) moves += token + " ", played++;
        }
        EXPECT_EQ(scored, played);
        EXPECT_EQ(applyMoveWords(moves, pos.get()).applied, played) << fen;
        const bool over = legalMoves(pos.get()) == 0;
        if (result == "1-0" || result == "0-1") {
            EXPECT_TRUE(over && pos->plyStack[0].inCheck) << fen;
            EXPECT_EQ(pos->sideToMove, result == "1-0" ? BLACK : WHITE);
        } else {
            EXPECT_EQ(result, "1/2-1/2");
        }
        games++;
    };
    while (std::getline(in, line)) {
        if (line.rfind("[Event ", 0) == 0) {
            if (!fen.empty()) finishGame();
        } else if (line.rfind("[FEN \"", 0) == 0) {
            fen = line.substr(6, line.size() - 8);
            gameFens.insert(fen);
            movetext.clear();
        } else if (line.rfind("[Result \"", 0) == 0) {
            result = line.substr(9, line.size() - 11);
        } else if (!line.empty() && line[0] != '[') {
            movetext += line + " ";
        }
    }
    if (!fen.empty()) finishGame();
    EXPECT_EQ(games, 6);
    EXPECT_EQ(gameFens, std::set<std::string>(openings.begin(), openings.end()));
}

// Where the system cannot fork, each worker process is a new engine told to play its share alone
// ("worker W"): it must find the same openings from the same words and play the same games as a
// forked worker, so that its parts put together are the whole run's output.
TEST(Datagen, WorkerSharesMakeUpTheWholeRun) {
    initEngineTablesOnce();
    tempDirStruct dir;
    const std::string words = "games 5 nodes 1500 seed 11 plies 6 threads 2";
    runOneShot({"datagen " + words + " out " + dir.path + "/all.pgn"}, 120000);
    std::string shares;
    for (int worker = 0; worker < 2; worker++) {
        const std::string part = dir.path + "/part" + std::to_string(worker);
        std::vector<std::string> lines =
            runOneShot({"datagen " + words + " out " + part + " worker " + std::to_string(worker)}, 120000);
        EXPECT_EQ(infoStringCount(lines), 0); // the engine that started it reports
        std::ifstream in(part);
        shares += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::ifstream all(dir.path + "/all.pgn");
    EXPECT_EQ(shares, std::string(std::istreambuf_iterator<char>(all), std::istreambuf_iterator<char>()));
    size_t games = 0;
    for (size_t at = shares.find("[Event "); at != std::string::npos; at = shares.find("[Event ", at + 1)) games++;
    EXPECT_EQ(games, 5u);

    // label's shares likewise, each with its counts beside it
    const std::string sample = std::string(KESTRUNE_TEST_DATA) + "/nnue-train-sample.txt";
    runOneShot({"label " + dir.path + "/all.txt " + sample + " variants 1 seed 3 threads 2"});
    std::string labelShares;
    for (int worker = 0; worker < 2; worker++) {
        const std::string part = dir.path + "/label" + std::to_string(worker);
        runOneShot({"label " + part + " " + sample + " variants 1 seed 3 threads 2 worker " + std::to_string(worker)});
        std::ifstream in(part), counts(part + ".counts");
        labelShares += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        long long lines = 0;
        EXPECT_TRUE(counts >> lines);
        EXPECT_GT(lines, 0);
    }
    std::ifstream allLabels(dir.path + "/all.txt");
    EXPECT_EQ(labelShares, std::string(std::istreambuf_iterator<char>(allLabels), std::istreambuf_iterator<char>()));
}

TEST(Datagen, BadWordsAreRefused) {
    for (const char* command : {"datagen", "datagen games x", "datagen games 2 threads 0", "datagen games 2 speed 3",
                                       "datagen games 2 out /no/such/dir/games.pgn", "datagen games 2 threads 2 worker 2",
                                       "label out.txt in.txt threads 1 worker 1"}) {
        std::vector<std::string> lines = runOneShot({command});
        EXPECT_EQ(infoStringCount(lines), 1) << command;
    }
}

// label: the quiet positions of a training file and of random variants, each with the static
// score from white's view; the file's own positions keep their result, the variants are draws.
TEST(Label, QuietPositionsWithTheirStaticScores) {
    initEngineTablesOnce();
    tempDirStruct dir;
    const std::string input = dir.path + "/in.txt";
    std::set<std::string> inputFens;
    {
        std::ifstream sample(std::string(KESTRUNE_TEST_DATA) + "/nnue-train-sample.txt");
        std::ofstream out(input);
        std::string line;
        for (int i = 0; i < 60 && std::getline(sample, line); i++) {
            out << line << "\n";
            inputFens.insert(line.substr(0, line.find(" |")));
        }
        out << "not a position | 3 | 1.0\n" << "8/8/8/8/8/8/8/8 w - - 0 1 | 0 | 0.5\n";
    }
    std::vector<std::string> outputs;
    for (const char* seed : {"1", "1", "2"}) {
        const std::string output = dir.path + "/out" + std::to_string(outputs.size()) + ".txt";
        std::vector<std::string> lines = runOneShot({"label " + output + " " + input + " variants 3 seed " + seed});
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind("info string label lines 62 positions written ", 0), 0u) << lines.back();
        EXPECT_NE(lines.back().find("lines not read 2)"), std::string::npos) << lines.back();
        std::ifstream in(output);
        outputs.push_back(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_NE(outputs[0], outputs[2]);

    std::istringstream lines(outputs[0]);
    testPositionStruct p;
    int originals = 0, variants = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t bar = line.find(" | "), secondBar = line.find(" | ", bar + 3);
        ASSERT_NE(secondBar, std::string::npos) << line;
        const std::string fen = line.substr(0, bar);
        ASSERT_TRUE(setPosition(fen, p.get())) << line;
        EXPECT_FALSE(p->plyStack[0].inCheck) << line;
        EXPECT_GT(legalMoves(p.get()), 0) << line;
        const int white = evaluateClassic(p.get()) * (p->sideToMove == WHITE ? 1 : -1);
        EXPECT_EQ(std::stoi(line.substr(bar + 3)), white) << line;
        const std::string result = line.substr(secondBar + 3);
        if (inputFens.count(fen)) {
            originals++;
        } else {
            EXPECT_EQ(result, "0.5") << line;
            variants++;
        }
    }
    EXPECT_GT(originals, 20);
    EXPECT_GT(variants, 60);

    for (const std::string& command : std::vector<std::string>{"label", "label only-one.txt", "label o.txt " + input + " variants 99",
                                      "label o.txt " + input + " plies 0", "label o.txt " + input + " colour 3",
                                      "label o.txt " + dir.path + "/missing.txt",
                                      "label /no/such/dir/o.txt " + input}) {
        std::vector<std::string> lines = runOneShot({command});
        EXPECT_EQ(infoStringCount(lines), 1) << command;
    }
}
