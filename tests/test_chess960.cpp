// Chess960: perft, castling fields and rules, and games through the binary.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "engineProcess.h"
#include "history.h"
#include "move.h"
#include "movePicker.h"
#include "principalVariation.h"
#include "tools/perft.h"
#include "search.h"
#include "testSupport.h"

namespace {

// Sanitized builds run many times slower: their games get more time, and there are fewer.
#ifdef KESTRUNE_SLOW_BUILD
constexpr const char* GAMECLOCK = "tc=10+0.1 timemargin=100";
constexpr int GAMEROUNDS = 1;
#else
constexpr const char* GAMECLOCK = "tc=1+0.01 timemargin=100";
constexpr int GAMEROUNDS = 2;
#endif

int square(const char* name) { return squareFromText(name[0], name[1]); }

// A position set up under Chess960 rules (or standard ones).
struct chess960Position : testPositionStruct {
    explicit chess960Position(const std::string& fen, bool chess960 = true) {
        EXPECT_TRUE(setPosition(fen, get(), chess960)) << fen;
    }
    // The texts of the legal moves, space separated.
    std::string texts() {
        positionStruct* p = get();
        generateMovesLegal(0, p->plyStack[0].listStart, p);
        std::string all = " ";
        for (moveStruct* m = p->plyStack[0].listStart; m < p->plyStack[0].listEnd; m++)
            all += moveToLA(m, p->sideToMove, p) + " ";
        return all;
    }
};

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(Chess960Perft, SuiteMatchesInProcessAndThroughRtest) {
    std::vector<perftCaseStruct> cases = readPerftSuite("perft960-suite.txt");
    ASSERT_EQ(cases.size(), 120u);
    for (const perftCaseStruct& test : cases) {
        chess960Position pos(test.fen);
        EXPECT_EQ(perft(0, test.depth, pos.get()), test.count) << test.fen << " depth " << test.depth;
        // The FEN written back reads as the same position with the same castling rooks.
        chess960Position again(positionToFen(pos.get()));
        EXPECT_EQ(again->hashKey, pos->hashKey) << test.fen;
        EXPECT_EQ(0, std::memcmp(again->castleRookSquare, pos->castleRookSquare, 4)) << test.fen;
    }
    engineProcess rtest({"rtest", std::string(KESTRUNE_TEST_DATA) + "/perft960-suite.txt"});
    std::vector<std::string> lines;
    EXPECT_NE(rtest.waitFor("Results", 60000, &lines), "");
    auto passed = [](const std::string& l) { return l.rfind("1; ", 0) == 0; };
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), passed), 120);
    EXPECT_EQ(lines.back(), "Results of the perft checks is OK: 1");
}

TEST(Chess960Board, CastlingFieldsRulesAndTexts) {
    // Shredder-FEN of the start position is the start position; X-FEN KQkq are the outermost rooks
    // under Chess960 and need the king on e1/e8 otherwise; a file letter names an inner rook.
    const std::string shredder = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1";
    EXPECT_EQ(chess960Position(shredder, false)->hashKey, testPositionStruct()->hashKey);
    const std::string xfen = "rkrnnqbb/pppppppp/8/8/8/8/PPPPPPPP/RKRNNQBB w KQkq - 0 1";
    EXPECT_EQ(chess960Position(xfen)->plyStack[0].castleRights, 15);
    EXPECT_EQ(chess960Position(xfen)->castleRookSquare[0], square("c1"));
    EXPECT_EQ(chess960Position(xfen, false)->plyStack[0].castleRights, 0);
    chess960Position inner("4k3/8/8/8/8/8/8/RR2K2R w KB - 0 1");
    EXPECT_EQ(inner->castleRookSquare[2], square("b1"));
    EXPECT_EQ(positionToFen(inner.get()), "4k3/8/8/8/8/8/8/RR2K2R w KB - 0 1");
    // Two rooks for one wing: both dropped. Letters beyond h make the field malformed.
    EXPECT_EQ(chess960Position("rk4rr/8/8/8/8/8/8/RK4RR w HGAha - 0 1")->plyStack[0].castleRights,
              WHITELONG | BLACKSHORT | BLACKLONG);
    EXPECT_FALSE(fenProblem("4k3/8/8/8/8/8/8/4K2R w I - 0 1").empty());

    // The rook beside the king shields it from a1: castling that lifts the rook is not legal,
    // although its way is free.
    moveStruct stay{uint8_t(square("c1")), uint8_t(square("c1")), CASTLELONG, WKING};
    chess960Position trap("7k/8/8/8/8/8/8/rRK5 w B - 0 1");
    EXPECT_EQ(trap.texts().find(" c1b1 "), std::string::npos);
    EXPECT_TRUE(isMovePseudoLegal(0, stay, trap.get()));
    EXPECT_FALSE(isMoveLegal(0, stay, trap.get()));
    // Without the black rook the king stays on c1 and the rook goes to d1.
    chess960Position stays("7k/8/8/8/8/8/8/1RK5 w B - 0 1");
    ASSERT_EQ(applyMoveWords("c1b1", stays.get()).applied, 1);
    EXPECT_TRUE(stays->board[square("c1")] == WKING && stays->board[square("d1")] == WROOK);
    EXPECT_EQ(stays->plyStack[0].castleRights, 0);
    // b1c1 is the king's step; b1a1 castles, the rook jumping the king.
    chess960Position step("7k/8/8/8/8/8/8/RK6 w A - 0 1"), jump("7k/8/8/8/8/8/8/RK6 w A - 0 1");
    ASSERT_EQ(applyMoveWords("b1c1", step.get()).applied, 1);
    EXPECT_EQ(step->board[square("a1")], WROOK);
    ASSERT_EQ(applyMoveWords("b1a1", jump.get()).applied, 1);
    EXPECT_TRUE(jump->board[square("c1")] == WKING && jump->board[square("d1")] == WROOK);
    // The king lands on its rook's square, or castles long written as the king's move.
    for (const char* word : {"f1g1", "f1c1"}) {
        chess960Position onto("k7/8/8/8/8/8/8/3R1KR1 w GD - 0 1");
        ASSERT_EQ(applyMoveWords(word, onto.get()).applied, 1) << word;
        bool shortSide = word[2] == 'g';
        EXPECT_EQ(onto->board[square(shortSide ? "g1" : "c1")], WKING) << word;
        EXPECT_EQ(onto->board[square(shortSide ? "f1" : "d1")], WROOK) << word;
    }
    // Texts: king takes rook under Chess960, the king's move otherwise.
    const std::string kingStays = "k7/8/8/8/8/8/8/4R1KR w HE - 0 1";
    EXPECT_NE(chess960Position(kingStays).texts().find(" g1h1 "), std::string::npos);
    EXPECT_NE(chess960Position(kingStays, false).texts().find(" g1g1 "), std::string::npos);
    std::string standard = chess960Position("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1").texts();
    EXPECT_TRUE(standard.find(" e1h1 ") != std::string::npos && standard.find(" e1a1 ") != std::string::npos);
}

TEST(Chess960EndToEnd, OptionCastlingMateAndBadLetters) {
    engineProcess engine;
    // Castling b1a1 mates (the rook lands on d1); without the option it is written b1c1.
    const std::string mate = "position fen 2rkr3/2p1p3/8/8/8/8/8/RK6 w A - 0 1";
    engine.send(mate);
    engine.send("go depth 4");
    EXPECT_EQ(engine.waitFor("bestmove"), "bestmove b1c1");
    engine.send("setoption name UCI_Chess960 value true");
    EXPECT_EQ(engine.waitFor("info string"), "info string UCI_Chess960 set to : 1");
    engine.send(mate);
    engine.send("go depth 4");
    std::vector<std::string> lines;
    EXPECT_EQ(engine.waitFor("bestmove", 10000, &lines), "bestmove b1a1");
    auto castlingPv = [](const std::string& l) { return l.find(" pv b1a1") != std::string::npos; };
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), castlingPv));
    // One line names the letters dropped; the position is set with the others.
    engine.send("position fen rk5r/8/8/8/8/8/8/RK5R w HAhaCG - 0 1");
    EXPECT_EQ(engine.waitFor("info string"),
              "info string castling rights dropped: 'CG' names no rook beside the king");
    engine.send("showboard");
    EXPECT_EQ(engine.waitFor("Fen: "), "Fen: rk5r/8/8/8/8/8/8/RK5R w HAha - 0 1");
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}

TEST(Chess960EndToEnd, FastchessGamesEndNormally) {
    const std::string fastchess = std::string(KESTRUNE_SOURCE_DIR) + "/../shared/tools/fastchess/fastchess";
    struct stat st;
    if (stat(fastchess.c_str(), &st) != 0) GTEST_SKIP() << "no fastchess at " << fastchess;
    tempDirStruct scratch;
    const std::string dir = scratch.path;
    std::string command = "cd '" + dir + "' && '" + fastchess +
                          "' -engine cmd=" + KESTRUNE_BINARY + " name=A -engine cmd=" + KESTRUNE_BINARY + " name=B -each " + GAMECLOCK +
                          " option.Hash=16 -variant fischerandom -openings file=" + KESTRUNE_TEST_DATA +
                          "/chess960-openings.epd format=epd order=sequential -rounds " + std::to_string(GAMEROUNDS) +
                          " -games 2 -maxmoves 80 -pgnout file=games.pgn -log file=log.txt level=info engine=true"
                          " > out.txt 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(dir + "/out.txt");

    std::string pgn = readFile(dir + "/games.pgn");
    int games = 0;
    for (size_t at = pgn.find("[Termination \""); at != std::string::npos; at = pgn.find("[Termination \"", at + 1)) {
        games++;
        std::string ending = pgn.substr(at + 14, pgn.find('"', at + 14) - at - 14);
        EXPECT_TRUE(ending == "normal" || ending == "adjudication") << ending;
    }
    EXPECT_EQ(games, 2 * GAMEROUNDS) << readFile(dir + "/out.txt");

    // Each answer replayed on the position it was given: castling is written king-takes-rook.
    std::istringstream log(readFile(dir + "/log.txt"));
    std::map<std::string, std::string> given; // engine name -> its last position line
    std::string line;
    int answers = 0, castlings = 0;
    while (std::getline(log, line)) {
        size_t in = line.find(" <--- position fen "), out = line.find(" ---> bestmove ");
        size_t at = std::min(in, out);
        if (at == std::string::npos) continue;
        std::string name = line.substr(line.rfind(' ', at - 1) + 1, at - line.rfind(' ', at - 1) - 1);
        if (in != std::string::npos) {
            given[name] = line.substr(in + 19);
            continue;
        }
        size_t moves = given[name].find(" moves ");
        chess960Position pos(given[name].substr(0, moves));
        std::string played = moves == std::string::npos ? "" : given[name].substr(moves + 7), word;
        std::istringstream(line.substr(out + 15)) >> word;
        moveStruct move;
        ASSERT_EQ(applyMoveWords(played, pos.get()).problem, "");
        ASSERT_TRUE(parseMoveWord(word, pos.get(), &move)) << line;
        if (move.flag == CASTLESHORT || move.flag == CASTLELONG) {
            castlings++;
            EXPECT_EQ(pos->board[squareFromText(word[2], word[3])], WROOK + pos->sideToMove) << line;
        }
        answers++;
    }
    EXPECT_GT(answers, 4 * GAMEROUNDS);
    std::cout << "fastchess: " << games << " games, " << answers << " answers, " << castlings << " castlings\n";
    std::system(("rm -rf '" + dir + "'").c_str());
}
