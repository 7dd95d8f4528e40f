// The network evaluation: agreement with the trainer's quantised forward pass, accumulators kept
// along the ply stack against fresh ones, the fast and portable paths, damaged network files
// through the binary, and one training run when the trainer's dependency is installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "engineProcess.h"
#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "nnue.h"
#include "search.h"
#include "settings.h"
#include "testSupport.h"

namespace {

const std::string DATA = KESTRUNE_TEST_DATA;
const std::string TESTNET = DATA + "/nnue-test.nnue";

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// "<FEN> | <score>" lines of the trainer's tool.
std::vector<std::pair<std::string, int>> readExpected(const std::string& path) {
    std::vector<std::pair<std::string, int>> cases;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        size_t bar = line.rfind('|');
        if (line.empty() || line[0] == '#' || bar == std::string::npos) continue;
        cases.push_back({line.substr(0, bar - 1), std::stoi(line.substr(bar + 1))});
    }
    return cases;
}

bool isChess960Fen(const std::string& fen) {
    std::istringstream words(fen);
    std::string placement, side, castling;
    words >> placement >> side >> castling;
    for (char c : castling)
        if (c != 'K' && c != 'Q' && c != 'k' && c != 'q' && c != '-') return true;
    return false;
}

// Loads the test network for one test and puts the built-in one back afterwards.
class NnueTest : public testing::Test {
protected:
    void SetUp() override {
        initEngineTablesOnce();
        testing::internal::CaptureStdout();
        initNetwork();
        bool loaded = setEvalFile(TESTNET);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded);
    }
    void TearDown() override {
        nnueActive = false;
        testing::internal::CaptureStdout();
        setEvalFile("<internal>");
        testing::internal::GetCapturedStdout();
    }
};

// Legal moves at ply, as perft finds them.
std::vector<moveStruct> legalMoves(int ply, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    rec.inCheck = kingInCheck(pos);
    generateMovesCaptures(ply, rec.listStart, pos);
    if (!rec.inCheck) generateMovesQuiets(ply, rec.listEnd, pos);
    std::vector<moveStruct> moves;
    for (moveStruct* m = rec.listStart; m < rec.listEnd; m++)
        if (rec.inCheck || isMoveLegal(ply, *m, pos)) moves.push_back(*m);
    return moves;
}

void expectFresh(int ply, positionStruct* pos, const std::string& where) {
    const int score = networkScoreAtPly(ply, pos);
    accumulatorStruct fresh;
    refreshAccumulator(pos, &fresh, currentNetwork);
    const accumulatorStruct* kept = accumulatorAtPly(ply, pos);
    ASSERT_EQ(std::memcmp(kept->values, fresh.values, sizeof fresh.values), 0) << where;
    ASSERT_EQ(score, networkOutputPortable(&fresh, pos->sideToMove, outputBucketOf(pos, currentNetwork), currentNetwork))
        << where;
}

} // namespace

// A one-output network of version 2 and one of eight output buckets (version 3).
TEST_F(NnueTest, ScoresEqualTheTrainersQuantisedForwardPass) {
    for (const std::string name : {"nnue-test", "nnue-test-buckets"}) {
        testing::internal::CaptureStdout();
        const bool loaded = setEvalFile(DATA + "/" + name + ".nnue");
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded) << name;
        auto cases = readExpected(DATA + "/" + name + "-expected.txt");
        ASSERT_GE(cases.size(), 60u);
        testPositionStruct p;
        for (const auto& [fen, expected] : cases) {
            ASSERT_TRUE(setPosition(fen, p.get(), isChess960Fen(fen))) << fen;
            EXPECT_EQ(networkScoreFresh(p.get()), expected) << name << ": " << fen;
            // the fast and the portable output agree on every position
            accumulatorStruct acc;
            refreshAccumulator(p.get(), &acc, currentNetwork);
            const int bucket = outputBucketOf(p.get(), currentNetwork);
            EXPECT_EQ(networkOutput(&acc, p->sideToMove, bucket, currentNetwork),
                      networkOutputPortable(&acc, p->sideToMove, bucket, currentNetwork)) << fen;
        }
    }
}

TEST_F(NnueTest, FastAndPortableColumnUpdatesAgreeAndWrapAlike) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> any(-32768, 32767);
    alignas(32) int16_t fast[NNUEHIDDEN], portable[NNUEHIDDEN], column[NNUEHIDDEN];
    for (int round = 0; round < 50; round++) {
        for (int i = 0; i < NNUEHIDDEN; i++) {
            fast[i] = portable[i] = int16_t(any(rng));
            column[i] = int16_t(any(rng));
        }
        accumulatorAdd(fast, column, false);
        accumulatorAdd(portable, column, true);
        ASSERT_EQ(std::memcmp(fast, portable, sizeof fast), 0);
        accumulatorSub(fast, column, false);
        accumulatorSub(portable, column, true);
        accumulatorSub(fast, column, false);
        accumulatorSub(portable, column, true);
        ASSERT_EQ(std::memcmp(fast, portable, sizeof fast), 0);
    }
    // the output at the edges of the activation: every value below 0, above QA, and at both
    accumulatorStruct acc;
    for (int v : {-32768, -1, 0, 1, NNUEQA, NNUEQA + 1, 32767}) {
        for (auto& view : acc.values)
            for (int16_t& x : view) x = int16_t(v);
        EXPECT_EQ(networkOutput(&acc, WHITE, 0, currentNetwork), networkOutputPortable(&acc, WHITE, 0, currentNetwork)) << v;
        EXPECT_EQ(networkOutput(&acc, BLACK, 0, currentNetwork), networkOutputPortable(&acc, BLACK, 0, currentNetwork)) << v;
    }
}

// Random walks through the game tree, down by the make code and up by the unmake code, with the
// search's null move, evaluating at most nodes (sometimes skipping some, so that several moves
// are replayed at once): the kept accumulator always equals a fresh one.
TEST_F(NnueTest, IncrementalAccumulatorsEqualFreshOnesAlongRandomGames) {
    const std::vector<std::pair<std::string, bool>> starts = {
        {fenStartPos, false},
        {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", false},
        {"n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1", false},
        {"rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3", false},
        {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", false},
        {"bnnqrbkr/pppppppp/8/8/8/8/PPPPPPPP/BNNQRBKR w HEhe - 0 1", true},
        {"rknbbqnr/pppppppp/8/8/8/8/PPPPPPPP/RKNBBQNR w HAha - 0 1", true},
        {"1rk2r2/8/8/8/8/8/8/1RK2R2 w FBfb - 0 1", true},
    };
    std::mt19937 rng(2026);
    std::vector<accumulatorStruct> stack(MAXPLY);
    int kinds[16] = {0};
    int nulls = 0, castles960 = 0, captures = 0;
    for (int game = 0; game < 48; game++) {
        const auto& [fen, chess960] = starts[game % starts.size()];
        testPositionStruct p;
        ASSERT_TRUE(setPosition(fen, p.get(), chess960));
        positionStruct* pos = p.get();
        pos->nnueStack = stack.data();
        std::vector<moveStruct> line;
        int ply = 0;
        for (int step = 0; step < 160; step++) {
            const std::string where = fen + " game " + std::to_string(game) + " step " + std::to_string(step);
            if (rng() % 3 != 0) expectFresh(ply, pos, where);
            std::vector<moveStruct> moves = legalMoves(ply, pos);
            const bool up = ply > 0 && (moves.empty() || ply >= 40 || rng() % 4 == 0);
            if (up) {
                ply--;
                unmakeMove(uint8_t(ply), line.back(), pos);
                line.pop_back();
                continue;
            }
            if (moves.empty()) break;
            if (!pos->plyStack[ply].inCheck && rng() % 8 == 0) {
                // the search's null move: the same ply with the other side to move
                U64 savedKey = pos->hashKey;
                plyRecord saved = pos->plyStack[ply];
                pos->sideToMove ^= 1;
                pos->hashKey ^= hashCodeBlackToMove;
                if (pos->plyStack[ply].epSquare) {
                    pos->hashKey ^= hashCodeEnpassant[pos->plyStack[ply].epSquare & 7];
                    pos->plyStack[ply].epSquare = 0;
                }
                expectFresh(ply, pos, where + " after a null move");
                std::vector<moveStruct> replies = legalMoves(ply, pos);
                if (!replies.empty()) {
                    moveStruct r = replies[rng() % replies.size()];
                    makeMove(uint8_t(ply), r, pos);
                    pos->plyStack[ply].currentMove = r;
                    expectFresh(ply + 1, pos, where + " below a null move");
                    unmakeMove(uint8_t(ply), r, pos);
                }
                pos->sideToMove ^= 1;
                pos->hashKey = savedKey;
                pos->plyStack[ply] = saved;
                nulls++;
                continue;
            }
            // moves of the rarer kinds are picked more often
            moveStruct m = moves[rng() % moves.size()];
            for (const moveStruct& c : moves)
                if ((c.flag != NORMALMOVE || pos->board[c.to]) && rng() % 3 == 0) m = c;
            kinds[m.flag]++;
            if (pos->board[m.to] && m.flag < CASTLESHORT) captures++;
            if (chess960 && (m.flag == CASTLESHORT || m.flag == CASTLELONG)) castles960++;
            makeMove(uint8_t(ply), m, pos);
            pos->plyStack[ply].currentMove = m;
            line.push_back(m);
            ply++;
        }
    }
    EXPECT_GT(captures, 0);
    EXPECT_GT(kinds[ENPASSANT], 0);
    EXPECT_GT(kinds[DOUBLESTEP], 0);
    EXPECT_GT(kinds[CASTLESHORT] + kinds[CASTLELONG], 0);
    EXPECT_GT(kinds[PROMOTEKNIGHT] + kinds[PROMOTEBISHOP] + kinds[PROMOTEROOK] + kinds[PROMOTEQUEEN], 0);
    EXPECT_GT(castles960, 0);
    EXPECT_GT(nulls, 0);
}

// The search's own update path: a search that keeps accumulators by ply visits exactly the nodes
// and finds exactly the score of one that computes every evaluation afresh.
TEST_F(NnueTest, SearchWithKeptAccumulatorsEqualsSearchWithFreshOnes) {
    const engineStruct saved = engine;
    engine.infinite = true; // only the depth ends these searches
    engine.nodeCheckInterval = 4096;
    engine.startTime = steadyMilliseconds();
    engine.maxTime = 1 << 30;
    nnueActive = true;
    std::vector<accumulatorStruct> stack(MAXPLY);
    for (const auto& [fen, chess960] : std::vector<std::pair<std::string, bool>>{
             {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", false},
             {"8/PPPk4/8/8/8/8/4Kppp/8 w - - 0 1", false},
             {"rknbbqnr/pppppppp/8/8/8/8/PPPPPPPP/RKNBBQNR w HAha - 0 1", true}}) {
        searchResultStruct results[2];
        for (int kept = 0; kept < 2; kept++) {
            testPositionStruct p;
            ASSERT_TRUE(setPosition(fen, p.get(), chess960));
            clearEvalTables(GPawnTable, GEvalCache);
            clearHashTable();
            p->nnueStack = kept ? stack.data() : nullptr;
            results[kept] = searchFixedDepth(p.get(), 7);
        }
        EXPECT_EQ(results[0].nodes, results[1].nodes) << fen;
        EXPECT_EQ(results[0].score, results[1].score) << fen;
        EXPECT_TRUE(sameMove(results[0].bestMove, results[1].bestMove)) << fen;
    }
    engine = saved;
}

TEST(NnueFiles, DamagedEvalFilesAreRefusedWithOneLineAndTheNetworkStays) {
    tempDirStruct dir;
    const std::vector<uint8_t> good = readBytes(TESTNET);
    ASSERT_EQ(good.size(), nnueFileBytes(1));
    auto variant = [&](const std::string& name, const std::function<void(std::vector<uint8_t>&)>& damage) {
        std::vector<uint8_t> bytes = good;
        damage(bytes);
        writeBytes(dir.path + "/" + name, bytes);
        return dir.path + "/" + name;
    };
    auto putU32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) b[at + i] = uint8_t(v >> (8 * i));
    };
    // a file whose checksum is right but whose first output weight is too large
    auto fixChecksum = [](std::vector<uint8_t>& b) {
        uint64_t sum = fnv1a64(b.data() + NNUEHEADERBYTES, b.size() - NNUEHEADERBYTES);
        for (int i = 0; i < 8; i++) b[24 + i] = uint8_t(sum >> (8 * i));
    };
    const size_t firstOutputWeight = NNUEHEADERBYTES + 2 * NNUEHIDDEN + 2 * size_t(NNUEINPUTS) * NNUEHIDDEN;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.path + "/missing.nnue", "missing, unreadable or not a file"},
        {variant("empty.nnue", [](auto& b) { b.clear(); }), "truncated"},
        {variant("header.nnue", [](auto& b) { b.resize(20); }), "truncated"},
        {variant("half.nnue", [](auto& b) { b.resize(b.size() / 2); }), "truncated"},
        {variant("magic.nnue", [](auto& b) { b[0] = 'X'; }), "bad magic"},
        {variant("version.nnue", [&](auto& b) { putU32(b, 8, 1); }), "version 1"},
        {variant("hidden.nnue", [&](auto& b) { putU32(b, 16, 512); }), "architecture 768x512x1"},
        {variant("buckets.nnue", [&](auto& b) { putU32(b, 8, 3); putU32(b, 20, 3); }), "architecture 768x256x3"},
        {variant("old-buckets.nnue", [&](auto& b) { putU32(b, 20, 8); }), "architecture 768x256x8"},
        {variant("version5.nnue", [&](auto& b) { putU32(b, 8, 5); }), "version 5"},
        {variant("short-buckets.nnue", [&](auto& b) { putU32(b, 8, 3); putU32(b, 20, 8); }), "truncated"},
        {variant("inputs.nnue", [&](auto& b) { putU32(b, 12, 40960); }), "architecture"},
        {variant("checksum.nnue", [](auto& b) { b[1000] ^= 1; }), "checksum mismatch"},
        {variant("trailing.nnue", [](auto& b) { b.push_back(0); }), "trailing bytes"},
        {variant("weight.nnue", [&](auto& b) { b[firstOutputWeight] = 0x00; b[firstOutputWeight + 1] = 0x40; fixChecksum(b); }),
         "out of range"},
        {dir.path, "missing, unreadable or not a file"}, // a directory
    };

    engineProcess engine;
    engine.send("setoption name Use NNUE value true");
    engine.send("position startpos moves e2e4");
    engine.send("eval");
    std::string before = engine.waitFor("network (");
    ASSERT_NE(before, "");
    EXPECT_NE(before.find("network (<internal>)"), std::string::npos) << before;
    for (const auto& [path, reason] : cases) {
        engine.send("setoption name EvalFile value " + path);
        engine.send("isready");
        std::vector<std::string> seen;
        ASSERT_EQ(engine.waitFor("readyok", 10000, &seen), "readyok");
        ASSERT_EQ(seen.size(), 2u) << path;
        EXPECT_EQ(seen[0].rfind("info string EvalFile " + path + " refused: ", 0), 0u) << seen[0];
        EXPECT_NE(seen[0].find(reason), std::string::npos) << seen[0];
        EXPECT_NE(seen[0].find("the network in use stays <internal>"), std::string::npos) << seen[0];
        engine.send("eval");
        EXPECT_EQ(engine.waitFor("network ("), before) << path;
    }
    // a good file is taken, and a later damaged one keeps it
    engine.send("setoption name EvalFile value " + TESTNET);
    EXPECT_EQ(engine.waitFor("info string"), "info string EvalFile set to : " + TESTNET);
    engine.send("setoption name EvalFile value " + cases[4].first);
    EXPECT_NE(engine.waitFor("info string").find("stays " + TESTNET), std::string::npos);
    engine.send("setoption name EvalFile value <internal>");
    EXPECT_EQ(engine.waitFor("info string"), "info string EvalFile set to : <internal>");
    // the network plays: a search with it on ends with a legal move
    engine.send("go depth 6");
    std::string best = engine.waitFor("bestmove", 30000 * TIMESCALE);
    ASSERT_NE(best, "");
    EXPECT_TRUE(legalAfter("startpos moves e2e4", best.substr(9, best.find(' ', 9) - 9))) << best;
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}

// The built-in network is the committed file, and the network's score reaches the eval command.
TEST(NnueFiles, BuiltInNetworkIsTheConfiguredFile) {
    initEngineTablesOnce();
    const std::vector<uint8_t> bytes = readBytes(KESTRUNE_EVALFILE_PATH);
    networkStruct fromFile;
    ASSERT_EQ(parseNetwork(bytes.data(), bytes.size(), &fromFile), "");
    ASSERT_TRUE(initNetwork());
    EXPECT_EQ(std::memcmp(currentNetwork->featureWeights, fromFile.featureWeights, sizeof fromFile.featureWeights), 0);
    EXPECT_EQ(std::memcmp(currentNetwork->outputWeights, fromFile.outputWeights, sizeof fromFile.outputWeights), 0);
    EXPECT_EQ(std::memcmp(currentNetwork->outputBias, fromFile.outputBias, sizeof fromFile.outputBias), 0);
}

// With the network on, two threads, the tablebases and the rating limit work as before: legal
// moves, a tablebase win found as one, and a search to depth with both threads.
TEST(NnueEndToEnd, ThreadsTablebasesAndRatingLimit) {
    engineProcess engine;
    engine.send("setoption name Use NNUE value true");
    engine.send("setoption name Threads value 2");
    engine.send("setoption name SyzygyPath value " + DATA + "/syzygy");
    engine.send("isready");
    ASSERT_EQ(engine.waitFor("readyok", 30000 * TIMESCALE), "readyok");
    const std::string middlegame = "fen r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4";
    const std::string endgame = "fen 8/8/8/4k3/8/8/3KP3/8 w - - 0 1"; // KPvK, a win for white
    for (const std::string& position : {middlegame, endgame}) {
        engine.send("position " + position);
        engine.send("go depth 12");
        std::vector<std::string> seen;
        std::string best = engine.waitFor("bestmove", 60000 * TIMESCALE, &seen);
        ASSERT_NE(best, "") << position;
        EXPECT_TRUE(legalAfter(position, best.substr(9, best.find(' ', 9) - 9))) << best;
        if (position == endgame) {
            bool won = false;
            for (const std::string& line : seen)
                if (line.find(" score cp ") != std::string::npos &&
                    std::stoi(line.substr(line.find(" score cp ") + 10)) > 5000)
                    won = true;
            EXPECT_TRUE(won) << "the tablebase win is reported";
        }
    }
    engine.send("setoption name UCI_LimitStrength value true");
    engine.send("setoption name UCI_Elo value 1500");
    engine.send("position " + middlegame);
    engine.send("go movetime 500");
    std::string best = engine.waitFor("bestmove", 30000 * TIMESCALE);
    ASSERT_NE(best, "");
    EXPECT_TRUE(legalAfter(middlegame, best.substr(9, best.find(' ', 9) - 9))) << best;
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}
