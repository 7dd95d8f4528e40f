// Move ordering: the exchange test, the staged picker against the legal move list, the history
// arithmetic and the reduction table.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "hash.h"
#include "history.h"
#include "move.h"
#include "movePicker.h"
#include "moveTable.h"
#include "principalVariation.h"
#include "search.h"
#include "testSupport.h"

namespace {

moveStruct moveFromText(positionStruct* pos, const std::string& text) {
    moveStruct m;
    EXPECT_TRUE(parseMoveWord(text, pos, &m)) << text;
    m.score = uint8_t(pos->board[m.from]);
    return m;
}

bool see(const std::string& fen, const std::string& move, int threshold = 0) {
    testPositionStruct p(fen);
    return seeTest(p.get(), moveFromText(p.get(), move), threshold);
}

uint32_t key(const moveStruct& m) { return uint32_t(m.from) | uint32_t(m.to) << 8 | uint32_t(m.flag) << 16; }

// The legal moves of the position at ply 0, with their pieces.
std::vector<moveStruct> legalMoves(positionStruct* pos) {
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    std::vector<moveStruct> moves(pos->plyStack[0].listStart, pos->plyStack[0].listEnd);
    for (moveStruct& m : moves) m.score = uint8_t(pos->board[m.from]);
    return moves;
}

// Order of the stage values a picked move can carry.
int stageRank(int stage) {
    switch (stage) {
    case STAGEGENCAPTURES: return 0;
    case STAGEGOODCAPTURES: return 1;
    case STAGEKILLER2: return 2;
    case STAGECOUNTERMOVE: return 3;
    case STAGELOSINGCAPTURES: return 4;
    case STAGELOSINGCAPTURESNEXT: return 5;
    case STAGEQUIETS: return 6;
    case STAGEEVASIONS: return 7;
    default: return -1;
    }
}

int quietSum(unsigned char ply, const moveStruct& m, positionStruct* pos) {
    int p = pos->board[m.from] - 2;
    int v = pos->history[p][m.to];
    if (ply == 0) return v;
    const moveStruct& prev = pos->plyStack[ply - 1].currentMove;
    if (prev.score >= 2) v += pos->counterHistory[prev.score - 2][prev.to][p][m.to];
    return v;
}

// Runs the picker at ply over pos and checks it against the reference legal moves.
void checkPicker(unsigned char ply, positionStruct* pos, const std::vector<moveStruct>& legal, std::mt19937& rng,
                 const std::string& where) {
    plyRecord& rec = pos->plyStack[ply];
    std::vector<moveStruct> quiets, captures;
    for (const moveStruct& m : legal) (pos->board[m.to] || m.flag == ENPASSANT ? captures : quiets).push_back(m);
    auto any = [&](const std::vector<moveStruct>& v) { return v.empty() ? EMPTYMOVE : v[rng() % v.size()]; };

    // stored moves: sometimes fitting, sometimes captures, sometimes from nowhere
    rec.hashMove = rng() % 4 == 0 ? EMPTYMOVE : any(legal);
    rec.killerMove[0] = any(quiets);
    rec.killerMove[1] = rng() % 2 ? any(captures) : moveStruct{12, 28, 0, WKNIGHT};
    if (ply > 0) {
        const moveStruct& prev = pos->plyStack[ply - 1].currentMove;
        pos->counterMoves[prev.score - 2][prev.to] = any(quiets);
        for (auto& row : pos->counterHistory[prev.score - 2][prev.to])
            for (short& h : row) h = short(int(rng() % 2000) - 1000);
    }
    for (auto& row : pos->history)
        for (short& h : row) h = short(int(rng() % 2000) - 1000);

    initMovePicker(ply, pos);
    std::set<uint32_t> handedOut, legalPicked;
    int lastRank = -1;
    bool first = true;
    int lastQuietSum = 1 << 30;
    moveStruct m;
    while (pickNextMove(ply, pos, &m, false)) {
        int stage = rec.genStage;
        ASSERT_TRUE(handedOut.insert(key(m)).second) << where << " twice: " << moveToLA(&m, pos->sideToMove);
        ASSERT_EQ(m.score, pos->board[m.from]) << where;
        int rank = stageRank(stage);
        ASSERT_GE(rank, lastRank) << where << " stage " << stage;
        lastRank = rank;
        if (stage == STAGEGENCAPTURES) {
            EXPECT_TRUE(first) << where;
        }
        if (stage == STAGEGOODCAPTURES && m.flag != ENPASSANT && seeValue[pos->board[m.to]] < seeValue[m.score]) {
            EXPECT_TRUE(seeTest(pos, m, 0)) << where;
        }
        if (stage == STAGELOSINGCAPTURESNEXT) {
            EXPECT_FALSE(seeTest(pos, m, 0)) << where;
        }
        if (stage == STAGEQUIETS) {
            int sum = quietSum(ply, m, pos);
            EXPECT_LE(sum, lastQuietSum) << where;
            lastQuietSum = sum;
        }
        if (isMoveLegalAnyway(ply, m, pos)) legalPicked.insert(key(m));
        first = false;
    }
    std::set<uint32_t> expected;
    for (const moveStruct& l : legal) expected.insert(key(l));
    EXPECT_EQ(legalPicked, expected) << where;
    if ((rec.hashMove.from | rec.hashMove.to) && expected.count(key(rec.hashMove))) {
        EXPECT_TRUE(handedOut.count(key(rec.hashMove))) << where;
    }
}

} // namespace

TEST(SearchSee, ExchangesOnOneSquare) {
    // a queen taking a pawn defended by a pawn loses; a pawn taking a knight always wins
    EXPECT_FALSE(see("4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", "d1d5"));
    EXPECT_TRUE(see("4k3/8/8/3n4/4P3/8/8/4K3 w - - 0 1", "e4d5"));
    // a rook taking a knight defended only by the queen: fine with a bishop behind it, not alone
    EXPECT_TRUE(see("3qk3/8/8/3n4/8/8/B7/3RK3 w - - 0 1", "d1d5"));
    EXPECT_FALSE(see("3qk3/8/8/3n4/8/8/8/3RK3 w - - 0 1", "d1d5"));
    // black to move sees the same
    EXPECT_FALSE(see("3qk3/8/8/8/3P4/2P5/8/4K3 b - - 0 1", "d8d4"));
    EXPECT_TRUE(see("3qk3/8/8/8/3P4/8/8/4K3 b - - 0 1", "d8d4"));
}

TEST(SearchSee, XraysThroughSliders) {
    // a rook behind the capturing rook joins in once the first has gone
    EXPECT_TRUE(see("3rk3/8/8/3n4/8/8/3R4/3RK3 w - - 0 1", "d2d5"));
    EXPECT_FALSE(see("3rk3/8/8/3n4/8/8/3R4/4K3 w - - 0 1", "d2d5"));
    // a queen behind the capturing bishop on the diagonal
    EXPECT_TRUE(see("4k3/6b1/8/4p3/8/2B5/1Q6/4K3 w - - 0 1", "c3e5"));
    EXPECT_FALSE(see("4k3/6b1/8/4p3/8/2B5/8/4K3 w - - 0 1", "c3e5"));
    // doubled rooks on both sides behind the first recaptures: the last one decides
    EXPECT_TRUE(see("4r1k1/4r3/8/4p3/2N5/8/4R3/4R1K1 w - - 0 1", "c4e5"));
    EXPECT_FALSE(see("4r1k1/4r3/8/4p3/2N5/8/4R3/6K1 w - - 0 1", "c4e5"));
}

TEST(SearchSee, KingAndThreshold) {
    // the king may not recapture while the other side still attacks the square
    EXPECT_TRUE(see("8/8/4k3/3p4/8/1B6/8/3QK3 w - - 0 1", "d1d5"));
    EXPECT_FALSE(see("8/8/4k3/3p4/8/8/8/3QK3 w - - 0 1", "d1d5"));
    // a free pawn is worth exactly its value
    EXPECT_TRUE(see("4k3/8/8/4p3/2N5/8/8/4K3 w - - 0 1", "c4e5", 87));
    EXPECT_FALSE(see("4k3/8/8/4p3/2N5/8/8/4K3 w - - 0 1", "c4e5", 88));
    EXPECT_FALSE(see("4k3/8/8/3n4/4P3/8/8/4K3 w - - 0 1", "e4d5", 341));
}

TEST(SearchMovePicker, HandsOutEveryLegalMoveOnceInStageOrder) {
    std::mt19937 rng(20261207);
    int positions = 0;
    for (const perftCaseStruct& c : readPerftSuite()) {
        testPositionStruct root(c.fen);
        std::vector<moveStruct> rootMoves = legalMoves(root.get());
        checkPicker(0, root.get(), rootMoves, rng, c.fen);
        positions++;
        // two children, searched at ply 1 where the counter move takes part
        for (int i = 0; i < 2 && !rootMoves.empty(); i++) {
            moveStruct m = rootMoves[rng() % rootMoves.size()];
            std::string word = moveToLA(&m, root->sideToMove);
            testPositionStruct child(c.fen);
            ASSERT_EQ(applyMoveWords(word, child.get()).applied, 1);
            std::vector<moveStruct> childMoves = legalMoves(child.get());

            positionStruct* pos = root.get();
            pos->plyStack[1].listStart = pos->plyStack[0].listStart + MAXMOVESPERPOSITION;
            makeMove(0, m, pos);
            pos->plyStack[0].currentMove = m;
            pos->plyStack[1].inCheck = kingInCheck(pos);
            pos->plyStack[1].nullMoveSearched = 0;
            checkPicker(1, pos, childMoves, rng, c.fen + " " + word);
            unmakeMove(0, m, pos);
            positions++;
        }
    }
    EXPECT_GE(positions, 300);
}

TEST(SearchMovePicker, StoredMovesThatDoNotFit) {
    testPositionStruct p("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    positionStruct* pos = p.get();
    legalMoves(pos); // sets the in-check flag of the root
    // wrong piece, own man on the target, a blocked slider, a pawn push onto a man
    EXPECT_FALSE(isMovePseudoLegal(0, moveStruct{4, 5, 0, WQUEEN}, pos));
    EXPECT_FALSE(isMovePseudoLegal(0, moveStruct{21, 13, 0, WQUEEN}, pos));
    EXPECT_FALSE(isMovePseudoLegal(0, moveStruct{0, 24, 0, WROOK}, pos));
    EXPECT_FALSE(isMovePseudoLegal(0, moveStruct{28, 36, 0, WPAWN}, pos));
    EXPECT_FALSE(isMovePseudoLegal(0, moveStruct{200, 36, 0, WPAWN}, pos));
    // castling with the way free, a capture, a double step
    EXPECT_TRUE(isMovePseudoLegal(0, moveStruct{4, 6, CASTLESHORT, WKING}, pos));
    EXPECT_TRUE(isMovePseudoLegal(0, moveStruct{4, 2, CASTLELONG, WKING}, pos));
    EXPECT_TRUE(isMovePseudoLegal(0, moveStruct{21, 23, 0, WQUEEN}, pos));
    EXPECT_TRUE(isMovePseudoLegal(0, moveStruct{8, 24, DOUBLESTEP, WPAWN}, pos));
    EXPECT_FALSE(isMovePseudoLegal(0, moveStruct{8, 24, 0, WPAWN}, pos));
}

TEST(SearchTables, LateMoveReductions) {
    initEngineTablesOnce();
    for (int m = 0; m < 3; m++) EXPECT_EQ(LMR[10][m], 0);
    EXPECT_EQ(LMR[10][3], 1);
    EXPECT_EQ(LMR[1][100], 0);
    EXPECT_EQ(LMR[0][255], 0);
    for (int m = 3; m <= 7; m++) EXPECT_EQ(LMR[3][m], 1) << m;
    EXPECT_EQ(LMR[3][8], 2);
    EXPECT_EQ(LMR[3][44], 2);
    EXPECT_EQ(LMR[3][45], 3);
    EXPECT_EQ(LMR[6][4], 2);
    EXPECT_EQ(LMR[6][10], 2);
    EXPECT_EQ(LMR[6][11], 3);
    EXPECT_EQ(LMR[6][30], 4);
    EXPECT_EQ(LMR[10][4], 2);
    EXPECT_EQ(LMR[10][7], 3);
    EXPECT_EQ(LMR[10][15], 4);
    EXPECT_EQ(LMR[20][4], 2);
    EXPECT_EQ(LMR[20][5], 3);
    EXPECT_EQ(LMR[127][255], 14);
}

TEST(SearchTables, HistoryArithmetic) {
    EXPECT_EQ(historyBonus(20), 10368);
    EXPECT_EQ(historyBonus(3), 288);
    EXPECT_EQ(historyBonus(18), 10368);
    EXPECT_EQ(historyReward(8192, 10368), 8192);
    EXPECT_EQ(historyReward(0, 288), 288);
    EXPECT_EQ(historyReward(1000, 288), 1000 + 288 - 35);
    EXPECT_EQ(historyPenalty(1000, 288), 1000 - 288 - 35);
    // the product truncates toward zero
    EXPECT_EQ(historyPenalty(-1000, 288), -1000 - 288 + 35);
    // repeated updates stay inside a short
    short h = 0;
    for (int i = 0; i < 1000; i++) h = (i % 3) ? historyPenalty(h, 10368) : historyReward(h, 10368);
    EXPECT_LT(std::abs(int(h)), 20000);
}

TEST(SearchTables, UpdatesAfterQuietCutoff) {
    testPositionStruct p;
    positionStruct* pos = p.get();
    clearSearchTables(pos);
    // the node at ply 2 after 1.e4 e5
    moveStruct e4{12, 28, DOUBLESTEP, WPAWN}, e5{52, 36, DOUBLESTEP, BPAWN};
    pos->plyStack[1].listStart = pos->plyStack[0].listStart + MAXMOVESPERPOSITION;
    pos->plyStack[2].listStart = pos->plyStack[1].listStart + MAXMOVESPERPOSITION;
    makeMove(0, e4, pos);
    pos->plyStack[0].currentMove = e4;
    makeMove(1, e5, pos);
    pos->plyStack[1].currentMove = e5;
    pos->plyStack[2].inCheck = 0;
    pos->plyStack[2].hashMove = moveStruct{1, 18, 0, WKNIGHT}; // Nc3, a quiet hash move
    // the picker hands out moves up to and including the cutting move Nf3
    initMovePicker(2, pos);
    moveStruct nf3{6, 21, 0, WKNIGHT}, m;
    std::vector<moveStruct> before;
    while (pickNextMove(2, pos, &m, false)) {
        if (sameMove(m, nf3)) break;
        if (pos->plyStack[2].genStage == STAGEQUIETS) before.push_back(m);
    }
    ASSERT_EQ(pos->plyStack[2].genStage, STAGEQUIETS);
    updateQuietHistory(2, 3, nf3, pos);
    int knight = WKNIGHT - 2;
    EXPECT_EQ(pos->history[knight][21], 288);
    EXPECT_EQ(pos->counterHistory[BPAWN - 2][36][knight][21], 288);
    EXPECT_EQ(pos->followupHistory[WPAWN - 2][28][knight][21], 288);
    EXPECT_TRUE(sameMove(pos->counterMoves[BPAWN - 2][36], nf3));
    EXPECT_EQ(pos->history[knight][18], -288); // the hash move
    for (moveStruct q : before) EXPECT_EQ(pos->history[q.score - 2][q.to], -288) << moveToLA(&q, 0);
    EXPECT_TRUE(sameMove(pos->plyStack[2].killerMove[0], nf3));
    // a second cut-off by another move shifts the killers
    moveStruct bc4{5, 26, 0, WBISHOP};
    updateQuietHistory(2, 3, bc4, pos);
    EXPECT_TRUE(sameMove(pos->plyStack[2].killerMove[0], bc4));
    EXPECT_TRUE(sameMove(pos->plyStack[2].killerMove[1], nf3));
    updateQuietHistory(2, 3, bc4, pos);
    EXPECT_TRUE(sameMove(pos->plyStack[2].killerMove[1], nf3));

    // Below null moves of this ply and the one before, the earlier moves earn no reward, but
    // the moves tried before the cut-off are still penalised there.
    pos->plyStack[1].nullMoveSearched = pos->plyStack[2].nullMoveSearched = 1;
    moveStruct be2{5, 12, 0, WBISHOP};
    pos->plyStack[2].hashMove = be2;
    updateQuietHistory(2, 3, nf3, pos);
    EXPECT_EQ(pos->counterHistory[BPAWN - 2][36][knight][21], 288);
    EXPECT_EQ(pos->followupHistory[WPAWN - 2][28][knight][21], 288);
    EXPECT_EQ(pos->counterHistory[BPAWN - 2][36][WBISHOP - 2][12], -288);
    EXPECT_EQ(pos->followupHistory[WPAWN - 2][28][WBISHOP - 2][12], -288);
}

// Quiescence takes the best-scored capture first, the first of equals; a losing capture is no
// candidate and leaves the others in their order. Below the exchange depths only recaptures
// remain, in generation order.
TEST(SearchQuiescenceOrder, LosingCapturesAndRecaptures) {
    auto picked = [](positionStruct* pos, bool skipLosing) {
        std::vector<std::string> texts;
        plyRecord& rec = pos->plyStack[0];
        for (moveStruct* c = rec.listStart; (c = pickQuiescenceMove(c, rec.listEnd, skipLosing, pos)); c++)
            texts.push_back(moveToLA(c, pos->sideToMove));
        return texts;
    };
    testPositionStruct p("6k1/2p5/3r4/2n2n2/1P2P3/8/8/3Q2K1 w - - 0 1");
    generateMovesCaptures(0, p->plyStack[0].listStart, p.get());
    EXPECT_EQ(picked(p.get(), true), (std::vector<std::string>{"b4c5", "e4f5"}));

    testPositionStruct r("4k3/8/8/1nn5/PP1P4/8/8/4K3 w - - 0 1");
    generateMovesCaptures(0, r->plyStack[0].listStart, r.get());
    keepRecaptures(0, 34, r.get()); // the last move went to c5
    EXPECT_EQ(picked(r.get(), false), (std::vector<std::string>{"b4c5", "d4c5"}));
}

// A killer that captures here comes at its killer stage, losing or not, and only once.
TEST(SearchMovePicker, CapturingKillerComesOnceAtItsStage) {
    testPositionStruct p("4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1");
    positionStruct* pos = p.get();
    legalMoves(pos);
    plyRecord& rec = pos->plyStack[0];
    rec.hashMove = EMPTYMOVE;
    rec.killerMove[0] = moveStruct{3, 35, 0, WQUEEN}; // Qxd5, refuted by the pawn on c6
    rec.killerMove[1] = EMPTYMOVE;
    initMovePicker(0, pos);
    moveStruct m;
    int seen = 0;
    while (pickNextMove(0, pos, &m, false)) {
        if (!sameMove(m, rec.killerMove[0])) continue;
        seen++;
        EXPECT_EQ(rec.genStage, STAGEKILLER2);
    }
    EXPECT_EQ(seen, 1);
}

TEST(SearchMovePicker, HandsOutEveryLegalMoveOnceInChess960) {
    // a Chess960 king may castle without moving or onto its rook's square, as a stored move too
    std::mt19937 rng(960);
    for (const perftCaseStruct& c : readPerftSuite("perft960-suite.txt")) {
        testPositionStruct root;
        ASSERT_TRUE(setPosition(c.fen, root.get(), true));
        for (int i = 0; i < 4; i++) checkPicker(0, root.get(), legalMoves(root.get()), rng, c.fen);
    }
}
