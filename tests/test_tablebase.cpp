// Tablebase registry, indexing and probes of known positions, and the root move.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "general.h"
#include "move.h"
#include "score.h"
#include "syzygy.h"
#include "tablebase/tbprobe.h"
#include "testSupport.h"

namespace {

const std::string TBDIR = std::string(KESTRUNE_TEST_DATA) + "/syzygy";

int foundCount(const std::string& output) {
    size_t at = output.find("Found ");
    return at == std::string::npos ? -1 : std::stoi(output.substr(at + 6));
}

int setPathCounting(const std::string& path) {
    testing::internal::CaptureStdout();
    setSyzygyPath(path);
    return foundCount(testing::internal::GetCapturedStdout());
}

// Whether a file of this name is mapped into the process.
bool isMapped(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos) return true;
    return false;
}

int probeFen(const std::string& fen, bool* ok) {
    testPositionStruct p(fen);
    int wdl = 0;
    *ok = syzygyProbeWDL(0, p.get(), &wdl);
    return wdl;
}

}  // namespace

TEST(TablebaseRegistry, FindsTablesOfEveryGivenDirectory) {
    initEngineTablesOnce();
    EXPECT_EQ(setPathCounting(TBDIR), 39);  // all 3- and 4-man tables, KRNvKR, KQRvKR, KRPvKR and KRBvKR
    EXPECT_EQ(syzygyLargestTable(), 5);

    // Two directories, one of them twice and with empty pieces: each table counts once.
    testing::internal::CaptureStderr();
    int both = setPathCounting("/nonexistent-kestrune-dir::" + TBDIR + ":" + TBDIR + ":");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(both, 39);

    testing::internal::CaptureStderr();
    EXPECT_EQ(setPathCounting("/nonexistent-kestrune-dir:/another-missing-one"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("/another-missing-one"), std::string::npos) << "missing directories are reported";
    EXPECT_EQ(syzygyLargestTable(), 0);

    EXPECT_EQ(setPathCounting(""), -1) << "no count message for an empty path";
    EXPECT_EQ(syzygyLargestTable(), 0);
    EXPECT_EQ(setPathCounting("<empty>"), -1);
    EXPECT_EQ(syzygyLargestTable(), 0);
    bool ok;
    probeFen("8/8/8/8/8/8/1Q6/K6k w - - 0 1", &ok);
    EXPECT_FALSE(ok) << "nothing answers without tables";
}

TEST(TablebaseRegistry, NewPathReleasesTheOldMappings) {
    initEngineTablesOnce();
    setPathCounting(TBDIR);
    bool ok;
    probeFen("8/8/8/8/8/8/1R6/K6k w - - 0 1", &ok);
    ASSERT_TRUE(ok);
    testPositionStruct p("8/8/8/8/8/8/1R6/K6k w - - 0 1");
    syzygyProbeDTZ(0, p.get());
    EXPECT_TRUE(isMapped("KRvK.rtbw"));
    EXPECT_TRUE(isMapped("KRvK.rtbz"));

    setPathCounting(TBDIR);
    EXPECT_FALSE(isMapped("KRvK.rtbw"));
    EXPECT_FALSE(isMapped("KRvK.rtbz"));
    probeFen("8/8/8/8/8/8/1R6/K6k w - - 0 1", &ok);
    EXPECT_TRUE(ok) << "the tables load again under the new path";
    setPathCounting("");
    EXPECT_FALSE(isMapped("KRvK.rtbw"));
}

TEST(TablebaseIndex, KingPairNumbering) {
    initEngineTablesOnce();
    setPathCounting("");
    std::set<int> used;
    int count = 0;
    for (int t = 0; t < 10; t++)
        for (int s = 0; s < 64; s++)
            if (KK_idx[t][s] >= 0) {
                count++;
                used.insert(KK_idx[t][s]);
            }
    EXPECT_EQ(count, 462);
    EXPECT_EQ(int(used.size()), 462);
    EXPECT_EQ(*used.begin(), 0);
    EXPECT_EQ(*used.rbegin(), 461);
    const int b1Row[8] = {-1, -1, -1, 0, 1, 2, 3, 4};
    for (int s = 0; s < 8; s++) EXPECT_EQ(KK_idx[0][s], b1Row[s]) << s;
}

TEST(TablebaseIndex, SymmetricPositionsShareAnIndex) {
    initEngineTablesOnce();
    setPathCounting("");
    auto flipFile = [](int s) { return s ^ 7; };
    auto flipRank = [](int s) { return s ^ 56; };
    auto flipDiag = [](int s) { return ((s & 7) << 3) | (s >> 3); };
    std::mt19937 rng(7);
    // Three unique men lead (enc_type 0), then a pair; and a king pair (enc_type 2), then a trio.
    const u8 norm0[6] = {3, 0, 0, 2, 0, 0};
    const u64 factor0[6] = {1, 0, 0, 31332, 0, 0};
    const u8 norm2[6] = {2, 0, 3, 0, 0, 0};
    const u64 factor2[6] = {1, 0, 462, 0, 0, 0};
    for (int trial = 0; trial < 2000; trial++) {
        int sq[5];
        std::set<int> taken;
        for (int i = 0; i < 5; i++) {
            do sq[i] = int(rng() % 64);
            while (taken.count(sq[i]));
            taken.insert(sq[i]);
        }
        bool enc2 = trial & 1;
        if (enc2) {  // kings apart
            int df = abs((sq[0] & 7) - (sq[1] & 7)), dr = abs((sq[0] >> 3) - (sq[1] >> 3));
            if (df <= 1 && dr <= 1) continue;
        }
        // With every leading man on one long diagonal the file keeps both diagonal images.
        int lead = enc2 ? 2 : 3;
        bool mainDiag = true, antiDiag = true;
        for (int i = 0; i < lead; i++) {
            mainDiag &= (sq[i] & 7) == (sq[i] >> 3);
            antiDiag &= (sq[i] & 7) + (sq[i] >> 3) == 7;
        }
        if (mainDiag || antiDiag) continue;
        auto index = [&](std::function<int(int)> f) {
            int p[5];
            for (int i = 0; i < 5; i++) p[i] = f(sq[i]);
            return enc2 ? encode_piece(2, 5, norm2, p, factor2) : encode_piece(0, 5, norm0, p, factor0);
        };
        u64 base = index([](int s) { return s; });
        EXPECT_LT(base, enc2 ? 462u * 41664u : 31332u * 1891u);
        EXPECT_EQ(index(flipFile), base);
        EXPECT_EQ(index(flipRank), base);
        EXPECT_EQ(index(flipDiag), base);
        EXPECT_EQ(index([&](int s) { return flipDiag(flipFile(s)); }), base);
        EXPECT_EQ(index([&](int s) { return flipRank(flipFile(flipDiag(s))); }), base);
    }

    // Pawn tables: the left-right mirror keeps the index, the top-bottom mirror does not.
    const u8 pawns[2] = {2, 0};
    const u8 normP[6] = {2, 0, 1, 1, 0, 0};
    const u64 factorP[6] = {1, 0, 1128, 1128 * 62, 0, 0};
    int differs = 0;
    for (int trial = 0; trial < 500; trial++) {
        int sq[4];
        sq[0] = 8 + int(rng() % 48);
        do sq[1] = 8 + int(rng() % 48);
        while (sq[1] == sq[0]);
        do sq[2] = int(rng() % 64);
        while (sq[2] == sq[0] || sq[2] == sq[1]);
        do sq[3] = int(rng() % 64);
        while (sq[3] == sq[0] || sq[3] == sq[1] || sq[3] == sq[2]);
        auto index = [&](int x) {
            int p[4];
            for (int i = 0; i < 4; i++) p[i] = sq[i] ^ x;
            pawn_file(p, 2);
            return encode_pawn(pawns, 4, normP, p, factorP);
        };
        EXPECT_EQ(index(7), index(0));
        differs += index(56) != index(0);
    }
    EXPECT_GT(differs, 400);
}

TEST(TablebaseIndex, LeadingPawnHasTheSmallestFileRankCode) {
    initEngineTablesOnce();
    setPathCounting("");
    int p[3] = {50, 9, 14};  // c7, b2, g2: b2 and g2 tie, the earlier stays first
    EXPECT_EQ(pawn_file(p, 3), 1);
    EXPECT_EQ(p[0], 9);
    int q[2] = {15, 8};  // h2 and a2 tie
    EXPECT_EQ(pawn_file(q, 2), 0);
    EXPECT_EQ(q[0], 15);
}

TEST(TablebaseProbe, KnownPositions) {
    initEngineTablesOnce();
    setPathCounting(TBDIR);
    bool ok;
    // KQvK: white to move wins; black to move loses; the same with colours swapped.
    EXPECT_EQ(probeFen("8/8/8/8/8/8/1Q6/K6k w - - 0 1", &ok), 2);
    EXPECT_TRUE(ok);
    EXPECT_EQ(probeFen("8/8/8/8/8/8/1Q6/K6k b - - 0 1", &ok), -2);
    EXPECT_EQ(probeFen("k6K/1q6/8/8/8/8/8/8 b - - 0 1", &ok), 2);
    EXPECT_EQ(probeFen("k6K/1q6/8/8/8/8/8/8 w - - 0 1", &ok), -2);
    // Stalemate and a lone king against a minor piece.
    EXPECT_EQ(probeFen("k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", &ok), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(probeFen("8/8/4k3/8/8/3NK3/8/8 w - - 0 1", &ok), 0);
    // KRvKR with the rook hanging.
    EXPECT_EQ(probeFen("8/8/8/3r4/8/8/3R4/k6K w - - 0 1", &ok), 2);
    EXPECT_TRUE(ok);

    // With an en-passant square the capture counts: a4xb3 wins, so does the position.
    EXPECT_EQ(probeFen("7K/8/8/8/pP6/8/2k5/8 b - b3 0 1", &ok), 2);
    EXPECT_TRUE(ok);
}

TEST(TablebaseRoot, DistanceToZeroingMove) {
    initEngineTablesOnce();
    setPathCounting(TBDIR);
    testPositionStruct p("8/8/8/8/8/8/1Q6/K6k w - - 0 1");
    // the prober returns its verdict and writes nothing: the search reports it
    testing::internal::CaptureStdout();
    int score = 0;
    uint32_t m = syzygyProbeDTZ(0, p.get(), nullptr, 0, &score);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(m, 0u);
    EXPECT_EQ(score, 31861);
    moveStruct move = intToMove(m);
    EXPECT_EQ(move.score, p->board[move.from]);

    // The chosen move keeps the win one step closer to zeroing.
    ::pos root, child;
    positionToTB(p.get(), 0, 0, &root);
    int success;
    EXPECT_EQ(probe_dtz(&root, &success), 11);
    makeMove(0, move, p.get());
    positionToTB(p.get(), 0, 1, &child);
    EXPECT_EQ(probe_dtz(&child, &success), -10);
    unmakeMove(0, move, p.get());

    // The same win past the fifty-move limit, and the lost side: scores by the counter.
    testPositionStruct late("8/8/8/8/8/8/1Q6/K6k w - - 95 80");
    EXPECT_NE(syzygyProbeDTZ(0, late.get(), nullptr, 0, &score), 0u);
    EXPECT_EQ(score, 0);
    testPositionStruct lost("8/8/8/8/8/8/1Q6/K6k b - - 0 1");
    EXPECT_NE(syzygyProbeDTZ(0, lost.get(), nullptr, 0, &score), 0u);
    EXPECT_GT(score, -TBWINSCORE); // a tablebase loss, a few plies from its end
    EXPECT_LT(score, -TBWINSCORE + 100);

    // A drawn root gives a move that keeps the draw, the same one every time.
    testPositionStruct draw("1n6/8/3k4/8/8/8/8/1N2K3 w - - 0 1");
    score = -1;
    uint32_t first = syzygyProbeDTZ(0, draw.get(), nullptr, 0, &score);
    uint32_t second = syzygyProbeDTZ(0, draw.get());
    ASSERT_NE(first, 0u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(score, 0);
    makeMove(0, intToMove(first), draw.get());
    int wdl = 1;
    EXPECT_TRUE(syzygyProbeWDL(1, draw.get(), &wdl));
    EXPECT_EQ(wdl, 0);

    // Promotion and en passant come back in the engine's move form.
    testPositionStruct promo("8/1P6/8/8/8/8/k7/6K1 w - - 0 1");
    moveStruct pm = intToMove(syzygyProbeDTZ(0, promo.get()));
    EXPECT_EQ(pm.flag, PROMOTEQUEEN);
    EXPECT_EQ(moveToLA(&pm, WHITE), "b7b8q");

    testPositionStruct epRoot("7K/8/8/8/pP6/8/2k5/8 b - b3 0 1");
    moveStruct em = intToMove(syzygyProbeDTZ(0, epRoot.get()));
    EXPECT_EQ(em.flag, ENPASSANT);
    EXPECT_EQ(em.to, 25);  // the captured pawn's square
    EXPECT_EQ(moveToLA(&em, BLACK), "a4b3");
}

// A table that holds only the other side to move is read one ply ahead: a move that mates
// there is one ply from mate, and a lost root does not walk into a mate when a move that holds
// out as long does not.
TEST(TablebaseRoot, QuietMateAndTheLongerDefence) {
    initEngineTablesOnce();
    setPathCounting(TBDIR);
    testPositionStruct mating("5k2/8/5K2/8/8/2R5/r5q1/8 w - - 0 1");
    ::pos root;
    positionToTB(mating.get(), 0, 0, &root);
    int success;
    EXPECT_EQ(probe_dtz(&root, &success), 1);
    int score = 0;
    moveStruct mate = intToMove(syzygyProbeDTZ(0, mating.get(), nullptr, 0, &score));
    EXPECT_EQ(moveToLA(&mate, WHITE), "c3c8");
    EXPECT_EQ(score, 31871);

    testPositionStruct lost("7k/8/6K1/6p1/8/7r/2R5/8 b - - 0 1");
    moveStruct defence = intToMove(syzygyProbeDTZ(0, lost.get(), nullptr, 0, &score));
    ASSERT_NE(moveToInt(defence), 0u);
    EXPECT_NE(moveToLA(&defence, BLACK), "h8g8");
    EXPECT_EQ(score, -31869);
    // no white move mates after the defence
    makeMove(0, defence, lost.get());
    positionToTB(lost.get(), lost->plyStack[1].epSquare, 1, &root);
    u16 replies[TB_MAX_MOVES];
    u16* end = gen_moves(&root, replies);
    for (u16* r = replies; r < end; r++) {
        ::pos child;
        if (do_move(&child, &root, *r)) {
            EXPECT_FALSE(in_check(&child) && !has_legal_move(&child));
        }
    }
}

// Tables load lazily on whichever thread probes first; threads racing for the same tables must
// all get the answers a single thread gets.
TEST(TablebaseProbe, ThreadsLoadingTablesTogether) {
    initEngineTablesOnce();
    // in_check below reads the prober's pawn attacks: without them, run alone, the test kept
    // positions whose side not to move is in check by a pawn, which no table answers.
    init_pawn_attacks();
    std::mt19937 rng(3);
    std::vector<::pos> positions;
    const char* materials[] = {"KQvKR", "KRvKP", "KPvKP", "KBNvK", "KRNvKR", "KNPvK"};
    for (int i = 0; i < 3000; i++) {
        const char* material = materials[i % 6];
        ::pos p = {};
        U64 occupied = 0;
        int colour = 0;
        for (const char* c = material; *c; c++) {
            if (*c == 'v') {
                colour = 1;
                continue;
            }
            int sq;
            do sq = *c == 'P' ? 8 + int(rng() % 48) : int(rng() % 64);
            while (occupied & (U64(1) << sq));
            U64 b = U64(1) << sq;
            occupied |= b;
            (colour ? p.black : p.white) |= b;
            U64* kind = *c == 'K' ? &p.kings : *c == 'Q' ? &p.queens : *c == 'R' ? &p.rooks
                      : *c == 'B' ? &p.bishops : *c == 'N' ? &p.knights : &p.pawns;
            *kind |= b;
        }
        p.turn = rng() & 1;
        ::pos other = p;
        other.turn ^= 1;
        if (!in_check(&other)) positions.push_back(p);
    }
    setPathCounting(TBDIR);
    std::vector<int> results[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (const ::pos& p : positions) {
                int success;
                int v = probe_wdl(&p, &success);
                results[t].push_back(success ? v : 99);
            }
        });
    for (std::thread& t : threads) t.join();
    int answered = 0;
    for (size_t i = 0; i < positions.size(); i++) {
        int success;
        int v = probe_wdl(&positions[i], &success);
        answered += success != 0;
        for (int t = 0; t < 4; t++) ASSERT_EQ(results[t][i], success ? v : 99) << i;
    }
    EXPECT_EQ(answered, int(positions.size()));
}
