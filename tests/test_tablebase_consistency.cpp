// The tables against themselves: over random positions of every material, the value of a
// position must be the best value its legal moves reach, and its distance to zeroing must agree
// with its value and shrink by one along the best move.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sys/stat.h>

#include "general.h"
#include "move.h"
#include "moveTable.h"
#include "syzygy.h"
#include "tablebase/tbprobe.h"
#include "testSupport.h"

namespace {

using tbPosition = ::pos;

const std::string TBDIR = std::string(KESTRUNE_TEST_DATA) + "/syzygy";
const std::string SHAREDDIR = std::string(KESTRUNE_SOURCE_DIR) + "/../shared/syzygy";

int sign(int v) { return (v > 0) - (v < 0); }

struct consistencyStats {
    int positions = 0;
    int dtzChecked = 0;
    int dtzExact = 0;
    int dtzStoredExact = 0;
};

// A random legal position of the material as a FEN (no castling); with withEp a pawn of the side
// not to move has just made a double step next to an enemy pawn.
std::string randomFen(const std::string& material, bool whiteToMove, bool withEp, std::mt19937& rng,
                      positionStruct* pos) {
    for (;;) {
        char board[64] = {};
        bool ok = true;
        int colour = 0;
        int epTarget = -1;
        for (char c : material) {
            if (c == 'v') {
                colour = 1;
                continue;
            }
            char piece = colour ? char(c - 'A' + 'a') : c;
            int sq;
            do sq = c == 'P' ? 8 + int(rng() % 48) : int(rng() % 64);
            while (board[sq]);
            board[sq] = piece;
        }
        if (withEp) {
            // The mover's opponent's pawn on its fourth rank with an enemy pawn beside it.
            bool moverIsWhite = !whiteToMove;
            char own = moverIsWhite ? 'P' : 'p', enemy = moverIsWhite ? 'p' : 'P';
            int rank = moverIsWhite ? 3 : 4;
            int found = -1;
            for (int s = 0; s < 64; s++)
                if (board[s] == own) found = s;
            if (found < 0) return "";
            int file = int(rng() % 8), side = (rng() & 1) ? 1 : -1;
            if (file + side < 0 || file + side > 7) side = -side;
            int to = rank * 8 + file, beside = to + side;
            int passed = moverIsWhite ? to - 8 : to + 8, origin = moverIsWhite ? to - 16 : to + 16;
            int enemyAt = -1;
            for (int s = 0; s < 64; s++)
                if (board[s] == enemy) enemyAt = s;
            if (enemyAt < 0) return "";
            board[found] = 0;
            board[enemyAt] = 0;
            if (board[to] || board[beside] || board[passed] || board[origin]) continue;
            board[to] = own;
            board[beside] = enemy;
            epTarget = passed;
        }
        int kings[2] = {-1, -1};
        for (int s = 0; s < 64; s++) {
            if (board[s] == 'K') kings[0] = s;
            if (board[s] == 'k') kings[1] = s;
        }
        if (abs((kings[0] & 7) - (kings[1] & 7)) <= 1 && abs((kings[0] >> 3) - (kings[1] >> 3)) <= 1) ok = false;
        if (!ok) continue;
        std::string fen = placementText(board);
        fen += whiteToMove ? " w - " : " b - ";
        fen += epTarget >= 0 ? squareToText(epTarget) : "-";
        fen += " 0 1";
        if (!setPosition(fen, pos)) continue;
        int notToMove = whiteToMove ? BLACK : WHITE;
        U64 occupancy = pos->pieceBB[WHITE] | pos->pieceBB[BLACK];
        if (squareAttacked(lowestSquare(pos->pieceBB[WKING + notToMove]), notToMove ^ 1, occupancy, pos)) continue;
        if (withEp && !pos->plyStack[0].epSquare) continue;
        return fen;
    }
}

// Value of the position after a move, for the side that made it: -2..2 as the tables give it.
bool childValue(positionStruct* pos, int* value) {
    tbPosition child;
    positionToTB(pos, pos->plyStack[1].epSquare, 0, &child);
    if (!has_legal_move(&child)) {
        *value = in_check(&child) ? -2 : 0;  // mate is lost, stalemate drawn
        return true;
    }
    if (!((child.white | child.black) & ~child.kings)) {
        *value = 0;
        return true;
    }
    return syzygyProbeWDL(1, pos, value);
}

void checkPosition(const std::string& fen, positionStruct* position, consistencyStats* stats) {
    int wdl;
    ASSERT_TRUE(syzygyProbeWDL(0, position, &wdl)) << fen;
    generateMovesLegal(0, position->plyStack[0].listStart, position);
    moveStruct* begin = position->plyStack[0].listStart;
    moveStruct* end = position->plyStack[0].listEnd;
    int best = position->plyStack[0].inCheck ? -1 : 0;
    bool anyMove = begin < end;
    if (anyMove) best = -1;
    int bestNonZeroing = 1000, zeroingWin = 0;
    for (moveStruct* m = begin; m < end; m++) {
        bool zeroing = position->board[m->to] != EMPTY || m->flag == ENPASSANT || pieceType(position->board[m->from]) == PAWN;
        makeMove(0, *m, position);
        int v;
        bool ok = childValue(position, &v);
        int childDtz = 0, success = 1;
        bool mated = false;
        if (ok && wdl == 2 && !zeroing) {
            tbPosition child;
            positionToTB(position, position->plyStack[1].epSquare, 1, &child);
            mated = !has_legal_move(&child) && in_check(&child);
            if (!mated) childDtz = probe_dtz(&child, &success);
        }
        unmakeMove(0, *m, position);
        ASSERT_TRUE(ok) << fen << " after " << moveToLA(m, position->sideToMove);
        ASSERT_NE(success, 0) << fen;
        best = std::max(best, -sign(v));
        if (wdl == 2) {
            if ((zeroing && v == -2) || mated) zeroingWin = 1;
            else if (!zeroing && childDtz < 0) bestNonZeroing = std::min(bestNonZeroing, 1 - childDtz);
        }
    }
    EXPECT_EQ(sign(wdl), best) << fen;

    tbPosition root;
    positionToTB(position, position->plyStack[0].epSquare, 0, &root);
    int success;
    int dtz = probe_dtz(&root, &success);
    ASSERT_NE(success, 0) << fen;
    EXPECT_EQ(sign(dtz), sign(wdl)) << fen << " dtz " << dtz << " wdl " << wdl;
    if (wdl == 2) { EXPECT_LE(dtz, 100) << fen; }
    if (wdl == 1) { EXPECT_GT(dtz, 100) << fen; }
    if (wdl == -2) { EXPECT_GE(dtz, -100) << fen; }
    if (wdl == -1) { EXPECT_LT(dtz, -100) << fen; }
    if (wdl == 2 && !root.ep) {
        // Tables that store halved distances may be one ply off.
        int expected = zeroingWin ? 1 : bestNonZeroing;
        stats->dtzChecked++;
        stats->dtzExact += expected == dtz;
        EXPECT_LE(abs(expected - dtz), 1) << fen << " dtz " << dtz << " best " << expected;
        if (dtz_stores_exact(&root, 2)) {
            stats->dtzStoredExact++;
            EXPECT_EQ(expected, dtz) << fen << " (table keeps exact distances)";
        }
    }
    stats->positions++;
}

void checkMaterial(const std::string& material, int count, std::mt19937& rng, consistencyStats* stats) {
    testPositionStruct p;
    bool pawnsBoth = material.find('P') != std::string::npos &&
                     material.find('P', material.find('v')) != std::string::npos &&
                     material.find('P') < material.find('v');
    for (int i = 0; i < count; i++)
        for (int white = 0; white < 2; white++) {
            bool withEp = pawnsBoth && i % 4 == 0;
            std::string fen = randomFen(material, white, withEp, rng, p.get());
            if (fen.empty()) continue;
            checkPosition(fen, p.get(), stats);
            if (testing::Test::HasFatalFailure()) return;
        }
}

const char* THREEFOURMEN[] = {"KQvK",   "KRvK",   "KBvK",   "KNvK",   "KPvK",   "KQvKQ",  "KQvKR",
                              "KQvKB",  "KQvKN",  "KQvKP",  "KRvKR",  "KRvKB",  "KRvKN",  "KRvKP",
                              "KBvKB",  "KBvKN",  "KBvKP",  "KNvKN",  "KNvKP",  "KPvKP",  "KQQvK",
                              "KQRvK",  "KQBvK",  "KQNvK",  "KQPvK",  "KRRvK",  "KRBvK",  "KRNvK",
                              "KRPvK",  "KBBvK",  "KBNvK",  "KBPvK",  "KNNvK",  "KNPvK",  "KPPvK"};

}  // namespace

TEST(TablebaseConsistency, EveryThreeAndFourManMaterial) {
    testing::internal::CaptureStdout();
    initEngineTablesOnce();
    setSyzygyPath(TBDIR);
    testing::internal::GetCapturedStdout();
    std::mt19937 rng(12345);
    consistencyStats stats;
    for (const char* material : THREEFOURMEN) {
        SCOPED_TRACE(material);
        checkMaterial(material, 150, rng, &stats);
        if (HasFatalFailure()) return;
    }
    checkMaterial("KRNvKR", 300, rng, &stats);
    EXPECT_GT(stats.positions, 10000);
    EXPECT_GT(stats.dtzExact, stats.dtzChecked / 2);
    std::printf("%d positions, %d wins with distance checked, %d exact, %d from tables with exact distances\n",
                stats.positions, stats.dtzChecked, stats.dtzExact, stats.dtzStoredExact);
}

TEST(TablebaseConsistency, FiveManTablesWhenPresent) {
    struct stat st;
    if (stat((SHAREDDIR + "/KRPvKR.rtbw").c_str(), &st) != 0) GTEST_SKIP() << "no 5-man tables beside the project";
    testing::internal::CaptureStdout();
    initEngineTablesOnce();
    setSyzygyPath(SHAREDDIR);
    testing::internal::GetCapturedStdout();
    std::mt19937 rng(777);
    consistencyStats stats;
    for (const char* material : {"KQRvKR", "KRRvKR", "KRBvKR", "KRNvKR", "KBBvKN", "KRPvKR"}) {
        SCOPED_TRACE(material);
        checkMaterial(material, 250, rng, &stats);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(stats.positions, 2500);
    EXPECT_GT(stats.dtzStoredExact, 50) << "KBBvKN keeps its wins in exact plies";
    std::printf("%d positions, %d wins with distance checked, %d exact, %d from tables with exact distances\n",
                stats.positions, stats.dtzChecked, stats.dtzExact, stats.dtzStoredExact);
}

TEST(TablebaseConsistency, CursedWinsAndBlessedLossesScoreZeroAtTheRoot) {
    struct stat st;
    if (stat((SHAREDDIR + "/KBBvKN.rtbw").c_str(), &st) != 0) GTEST_SKIP() << "no KBBvKN table beside the project";
    testing::internal::CaptureStdout();
    initEngineTablesOnce();
    setSyzygyPath(SHAREDDIR);
    testing::internal::GetCapturedStdout();
    std::mt19937 rng(31);
    testPositionStruct p;
    bool seen[2] = {false, false};
    for (int tries = 0; tries < 200000 && !(seen[0] && seen[1]); tries++) {
        bool white = tries & 1;
        std::string fen = randomFen("KBBvKN", white, false, rng, p.get());
        int wdl;
        ASSERT_TRUE(syzygyProbeWDL(0, p.get(), &wdl));
        if (wdl != (white ? 1 : -1) || seen[!white]) continue;
        seen[!white] = true;
        int score = -1;
        uint32_t move = syzygyProbeDTZ(0, p.get(), nullptr, 0, &score);
        ASSERT_NE(move, 0u) << fen;
        EXPECT_EQ(score, 0) << fen;
        // The move keeps the result: the opponent is then in a blessed loss or a cursed win.
        makeMove(0, intToMove(move), p.get());
        int after;
        ASSERT_TRUE(childValue(p.get(), &after));
        EXPECT_EQ(after, -wdl) << fen;
    }
    EXPECT_TRUE(seen[0] && seen[1]);
}
