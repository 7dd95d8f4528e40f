// The alpha-beta search: mates, draws, the position left as found, fixed-depth results,
// determinism, the move-storage and ply limits, and the principal variation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "eval.h"
#include "evaluate.h"
#include "hash.h"
#include "history.h"
#include "move.h"
#include "movePicker.h"
#include "principalVariation.h"
#include "search.h"
#include "syzygy.h"
#include "testSupport.h"
#include "threads.h"
#include "uci.h"

namespace {

// The same position with the colours exchanged and the board turned round.
std::string mirrorFen(const std::string& fen) {
    std::istringstream in(fen);
    std::string board, side, castle, ep, rest;
    in >> board >> side >> castle >> ep;
    std::getline(in, rest);
    std::vector<std::string> ranks;
    std::stringstream bs(board);
    for (std::string r; std::getline(bs, r, '/');) ranks.push_back(r);
    std::reverse(ranks.begin(), ranks.end());
    std::string out;
    for (size_t i = 0; i < ranks.size(); i++) {
        for (char c : ranks[i]) out += std::isalpha(c) ? char(std::isupper(c) ? std::tolower(c) : std::toupper(c)) : c;
        if (i + 1 < ranks.size()) out += '/';
    }
    std::string c2;
    for (char c : std::string("KQkq"))
        if (castle.find(char(std::isupper(c) ? std::tolower(c) : std::toupper(c))) != std::string::npos) c2 += c;
    if (ep != "-") ep[1] = ep[1] == '3' ? '6' : '3';
    return out + (side == "w" ? " b " : " w ") + (c2.empty() ? "-" : c2) + " " + ep + rest;
}

// A search that only a fixed depth ends.
void openClock() {
    engine.infinite = true;
    engine.nodeCheckInterval = 4096;
    engine.startTime = steadyMilliseconds();
    engine.maxTime = 1 << 30;
}

searchResultStruct searchFen(const std::string& fen, int depth) {
    openClock();
    clearHashTable();
    testPositionStruct p(fen);
    return searchFixedDepth(p.get(), depth);
}

bool isLegal(positionStruct* pos, const moveStruct& m) {
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    for (moveStruct* l = pos->plyStack[0].listStart; l < pos->plyStack[0].listEnd; l++)
        if (sameMove(*l, m)) return true;
    return false;
}

// Plays moves from ply 0 up in the search stack, as the search would.
void playLine(positionStruct* pos, const std::vector<moveStruct>& moves) {
    for (size_t i = 0; i < moves.size(); i++) {
        pos->plyStack[i + 1].listStart = pos->plyStack[0].listStart + MAXMOVESPERPOSITION;
        makeMove((unsigned char)i, moves[i], pos);
        pos->plyStack[i].currentMove = moves[i];
        pos->plyStack[i + 1].inCheck = kingInCheck(pos);
        pos->plyStack[i + 1].nullMoveSearched = 0;
    }
}

// The board part of a position, for before/after comparisons.
struct snapshotStruct {
    int8_t board[64];
    U64 keys[2];
    U64 pieceBB[14];
    int32_t sums[4];
    int16_t phase;
    uint8_t side;
    uint16_t historyCount, fiftyCounter;
    uint8_t rights, ep, inCheck;
    std::vector<U64> keyHistory;
};

snapshotStruct snapshot(positionStruct* pos) {
    snapshotStruct s;
    std::memcpy(s.board, pos->board, sizeof s.board);
    s.keys[0] = pos->hashKey;
    s.keys[1] = pos->pawnKingKey;
    std::memcpy(s.pieceBB, pos->pieceBB, sizeof s.pieceBB);
    s.sums[0] = pos->material[0];
    s.sums[1] = pos->material[1];
    s.sums[2] = pos->psqScore[0];
    s.sums[3] = pos->psqScore[1];
    s.phase = pos->phase;
    s.side = pos->sideToMove;
    s.historyCount = pos->historyCount;
    s.fiftyCounter = pos->fiftyCounter;
    s.rights = pos->plyStack[0].castleRights;
    s.ep = pos->plyStack[0].epSquare;
    s.inCheck = pos->plyStack[0].inCheck;
    s.keyHistory.assign(pos->keyHistory, pos->keyHistory + pos->historyCount);
    return s;
}

void expectSame(const snapshotStruct& a, const snapshotStruct& b, const std::string& where) {
    EXPECT_EQ(0, std::memcmp(a.board, b.board, sizeof a.board)) << where;
    EXPECT_EQ(a.keys[0], b.keys[0]) << where;
    EXPECT_EQ(a.keys[1], b.keys[1]) << where;
    EXPECT_EQ(0, std::memcmp(a.pieceBB, b.pieceBB, sizeof a.pieceBB)) << where;
    EXPECT_EQ(0, std::memcmp(a.sums, b.sums, sizeof a.sums)) << where;
    EXPECT_EQ(a.phase, b.phase) << where;
    EXPECT_EQ(a.side, b.side) << where;
    EXPECT_EQ(a.historyCount, b.historyCount) << where;
    EXPECT_EQ(a.fiftyCounter, b.fiftyCounter) << where;
    EXPECT_EQ(a.rights, b.rights) << where;
    EXPECT_EQ(a.ep, b.ep) << where;
    EXPECT_EQ(a.inCheck, b.inCheck) << where;
    EXPECT_EQ(a.keyHistory, b.keyHistory) << where;
}

const char* const variedPositions[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "2r2rk1/1bqnbppp/pp1ppn2/8/2PNP3/1PN1BP2/P2QB1PP/2RR2K1 b - - 0 1",
    "6k1/pp3ppp/2p5/3r4/3P4/2P2P2/PP4PP/4R1K1 w - - 0 1",
    "8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1",
    "3q2k1/5pp1/p6p/1p1Q4/2n5/5N1P/PP3PP1/6K1 w - - 0 1",
    "4rrk1/pp1n3p/3q2pQ/2p1pb2/2PP4/2P3N1/P2B2PP/4RRK1 b - - 7 19",
    "rnbqkb1r/pp1p1ppp/2p5/4P3/2B5/8/PPP1NnPP/RNBQK2R w KQkq - 0 6",
    "r1bqkbnr/pppp1ppp/2n5/4p3/3PP3/5N2/PPP2PPP/RNBQKB1R b KQkq - 0 3",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/5pk1/6p1/p1p1P2p/P1P4P/6P1/5PK1/8 w - - 0 40",
    "8/8/2k5/5q2/8/2K5/3Q4/8 w - - 0 1",
    "8/4kp2/4p3/3pP1p1/3P2P1/5K2/8/8 w - - 0 50",
    "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1",
    "1r4k1/5ppp/p7/1p6/2bB4/P1P5/5PPP/R5K1 b - - 0 30",
    "3rr1k1/pp3ppp/2n2q2/2b5/2B5/2N2Q2/PPP2PPP/3RR1K1 w - - 0 18",
    "6k1/1p3pp1/p1b4p/2p5/2P1N3/1P3P2/P5PP/6K1 w - - 0 35",
    "rn1qkbnr/pp3ppp/2p1p3/3pPb2/3P4/5N2/PPP1BPPP/RNBQK2R b KQkq - 1 5",
    "4k3/1P6/8/8/8/8/6p1/4K3 w - - 0 1",
    "r3k3/8/8/8/8/8/8/4K2R w Kq - 0 1",
    "4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1",
    "k7/8/1K6/8/8/8/8/7q w - - 0 1",
    "7k/8/5QK1/8/8/8/8/8 b - - 0 1",
    "4k3/4r3/8/8/8/8/4R3/4K3 w - - 0 1",
    "r1b1kb1r/ppppqppp/2n2n2/4N3/4P3/2N5/PPPP1PPP/R1BQKB1R w KQkq - 3 5",
};

} // namespace

TEST(SearchMates, ExactMateScoresForBothColours) {
    struct mateCase {
        const char* fen;
        int moves;
    };
    const mateCase cases[] = {
        {"6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 1},
        {"4k3/8/4K3/8/8/8/8/R7 w - - 0 1", 1},
        {"r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R w KQkq - 1 1", 2},
        {"7k/8/5K2/8/8/8/8/R7 w - - 0 1", 2},
        {"6k1/8/8/6K1/8/8/8/R7 w - - 0 1", 3},
        {"5k2/8/8/5K2/8/8/8/R7 w - - 0 1", 3},
    };
    for (const mateCase& c : cases) {
        for (const std::string& fen : {std::string(c.fen), mirrorFen(c.fen)}) {
            searchResultStruct r = searchFen(fen, 12);
            EXPECT_EQ(r.score, MATESCORE - (2 * c.moves - 1)) << fen;
            testPositionStruct p(fen);
            EXPECT_TRUE(isLegal(p.get(), r.bestMove)) << fen;
        }
    }
}

TEST(SearchMates, MatedAndStalematedNodes) {
    openClock();
    clearHashTable();
    // checkmated and stalemated at ply 5: the node has no move to search
    for (int mirrored = 0; mirrored < 2; mirrored++) {
        std::string mated = "R5k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1";
        std::string stalemate = "k7/8/1Q6/8/8/8/8/7K b - - 0 1";
        if (mirrored) mated = mirrorFen(mated), stalemate = mirrorFen(stalemate);
        for (const std::string& fen : {mated, stalemate}) {
            testPositionStruct p(fen);
            positionStruct* pos = p.get();
            clearSearchTables(pos);
            pos->plyStack[0].inCheck = kingInCheck(pos);
            pos->plyStack[5] = pos->plyStack[0];
            pos->plyStack[4].currentMove = EMPTYMOVE;
            pos->plyStack[3].currentMove = EMPTYMOVE;
            pos->timeCheckCountdown = 4096;
            theWorkForce.stop = false;
            int expected = fen == mated ? -MATESCORE + 5 : 0;
            EXPECT_EQ(alfabeta(5, 3, -MATESCORE, MATESCORE, pos), expected) << fen;
            EXPECT_EQ(searchFixedDepth(pos, 3).score, fen == mated ? -MATESCORE : 0) << fen;
            EXPECT_EQ(searchFixedDepth(pos, 3).bestMove.from | searchFixedDepth(pos, 3).bestMove.to, 0);
        }
    }
}

TEST(SearchMates, QuiescenceInCheckWithoutEvasion) {
    openClock();
    clearHashTable();
    testPositionStruct p("R5k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1");
    positionStruct* pos = p.get();
    pos->plyStack[7] = pos->plyStack[0];
    pos->plyStack[7].inCheck = 1;
    pos->plyStack[6].currentMove = EMPTYMOVE;
    EXPECT_EQ(quiescence(7, 0, -MATESCORE, MATESCORE, pos), -MATESCORE + 7);
    // a quiet stalemate is not recognised below the horizon: it stands pat
    testPositionStruct s("k7/8/1Q6/8/8/8/8/7K b - - 0 1");
    s->plyStack[3] = s->plyStack[0];
    s->plyStack[3].inCheck = 0;
    s->plyStack[2].currentMove = EMPTYMOVE;
    EXPECT_EQ(quiescence(3, 0, -MATESCORE, MATESCORE, s.get()), evaluateN(0, s.get()));
}

TEST(SearchDraws, RepetitionInsideTheSearch) {
    openClock();
    // white is a queen and a knight up; Nf3 Kd8 Ng1 Ke8 brings the position back
    const std::vector<moveStruct> line = {{6, 21, 0, WKNIGHT}, {60, 59, 0, BKING}, {21, 6, 0, WKNIGHT}, {59, 60, 0, BKING}};
    for (int fifty : {4, 3}) {
        clearHashTable();
        testPositionStruct p("4k3/8/8/8/8/8/8/Q3K1N1 w - - 0 1");
        positionStruct* pos = p.get();
        clearSearchTables(pos);
        pos->timeCheckCountdown = 4096;
        theWorkForce.stop = false;
        playLine(pos, line);
        ASSERT_EQ(pos->fiftyCounter, 4);
        ASSERT_EQ(pos->hashKey, pos->keyHistory[pos->historyCount - 5]);
        pos->fiftyCounter = uint16_t(fifty);
        int score = alfabeta(4, 3, -MATESCORE, MATESCORE, pos);
        if (fifty == 4)
            EXPECT_EQ(score, 0);
        else
            EXPECT_GT(score, 500); // the repetition is not looked for yet
    }
}

TEST(SearchDraws, RepetitionFoundByTheRootSearch) {
    // black is lost on material but gives perpetual check
    searchResultStruct r = searchFen("6k1/5p1p/8/8/8/7q/8/3QRRK1 b - - 0 1", 10);
    testPositionStruct p("6k1/5p1p/8/8/8/7q/8/3QRRK1 b - - 0 1");
    EXPECT_EQ(r.score, 0) << moveToLA(&r.bestMove, 1);
}

TEST(SearchDraws, FiftyMoveRule) {
    openClock();
    // after a quiet move the counter reaches 100: the search scores a draw, unless it is mate
    struct fiftyCase {
        const char* fen;
        moveStruct move;
        int expected;
    };
    const fiftyCase cases[] = {
        {"k7/8/8/8/8/8/8/4K1QR w - - 99 80", {4, 3, 0, WKING}, 0},
        {"k7/8/1K6/8/8/8/8/7R w - - 99 80", {7, 63, 0, WROOK}, -MATESCORE + 1},
    };
    for (const fiftyCase& c : cases) {
        clearHashTable();
        testPositionStruct p(c.fen);
        positionStruct* pos = p.get();
        clearSearchTables(pos);
        pos->timeCheckCountdown = 4096;
        theWorkForce.stop = false;
        playLine(pos, {c.move});
        ASSERT_EQ(pos->fiftyCounter, 100);
        EXPECT_EQ(alfabeta(1, 4, -MATESCORE, MATESCORE, pos), c.expected) << c.fen;
    }
}

TEST(SearchIntegrity, LegalMovesAndPositionUnchanged) {
    openClock();
    for (const char* fen : variedPositions) {
        clearHashTable();
        testPositionStruct p(fen);
        positionStruct* pos = p.get();
        snapshotStruct before = snapshot(pos);
        searchResultStruct r = searchFixedDepth(pos, 6);
        expectSame(before, snapshot(pos), fen);
        EXPECT_TRUE(isLegal(pos, r.bestMove)) << fen << " " << moveToLA(&r.bestMove, pos->sideToMove);
        EXPECT_GT(r.nodes, 0u);
        EXPECT_LT(std::abs(r.score), MATESCORE);
    }
}

TEST(SearchIntegrity, DeterministicFromAClearedTable) {
    openClock();
    for (const char* fen : {variedPositions[1], variedPositions[6], variedPositions[11]}) {
        searchResultStruct a = searchFen(fen, 9);
        searchResultStruct b = searchFen(fen, 9);
        EXPECT_EQ(a.nodes, b.nodes) << fen;
        EXPECT_EQ(a.score, b.score) << fen;
        EXPECT_TRUE(sameMove(a.bestMove, b.bestMove)) << fen;
    }
}

TEST(SearchIntegrity, StopsWhenTheClockRunsOut) {
    clearHashTable();
    testPositionStruct p(variedPositions[1]);
    engine.infinite = false;
    engine.nodeCheckInterval = 1024;
    engine.startTime = steadyMilliseconds();
    engine.maxTime = 50;
    searchResultStruct r = searchFixedDepth(p.get(), 60);
    // the clock, not the depth, ended it
    EXPECT_TRUE(theWorkForce.stop);
    EXPECT_LT(r.depth, 60);
    EXPECT_TRUE(isLegal(p.get(), r.bestMove));
    theWorkForce.stop = false;
    openClock();
}

TEST(SearchIntegrity, MoveStorageAndPlyLimits) {
    openClock();
    // storage with a guard zone behind its 8192 slots
    const int guard = 2048;
    for (int room : {60, 150, 240, 700, 1100, 1600, 2500}) {
        clearHashTable();
        testPositionStruct p(variedPositions[1]);
        positionStruct* pos = p.get();
        std::vector<moveStruct> storage(MOVESTORAGESIZE + guard, moveStruct{1, 2, 3, 4});
        attachMoveStorage(pos, storage.data());
        clearSearchTables(pos);
        pos->timeCheckCountdown = 4096;
        theWorkForce.stop = false;
        const unsigned char ply = 40;
        pos->plyStack[ply] = pos->plyStack[0];
        pos->plyStack[ply].listStart = storage.data() + MOVESTORAGESIZE - room;
        pos->plyStack[ply].inCheck = kingInCheck(pos);
        pos->plyStack[ply].nullMoveSearched = 0;
        snapshotStruct before = snapshot(pos);
        int score = alfabeta(ply, 8, -MATESCORE, MATESCORE, pos);
        EXPECT_LT(std::abs(score), MATESCORE) << room;
        expectSame(before, snapshot(pos), "room " + std::to_string(room));
        for (int i = MOVESTORAGESIZE; i < MOVESTORAGESIZE + guard; i++) {
            ASSERT_EQ(moveToInt(storage[i]), moveToInt(moveStruct{1, 2, 3, 4})) << "room " << room << " slot " << i;
        }
    }
    // the last ply is a leaf
    testPositionStruct p(variedPositions[1]);
    positionStruct* pos = p.get();
    pos->plyStack[MAXPLY - 1] = pos->plyStack[0];
    pos->nodeCount = pos->qNodeCount = 0;
    EXPECT_EQ(alfabeta(MAXPLY - 1, 5, -100, 100, pos), evaluateN(0, pos));
    EXPECT_EQ(quiescence(MAXPLY - 1, 0, -100, 100, pos), evaluateN(0, pos));
    EXPECT_EQ(pos->nodeCount, 1u);
}

TEST(SearchPrincipalVariation, ReadBackFromTheTable) {
    openClock();
    clearHashTable();
    testPositionStruct p(variedPositions[6]);
    positionStruct* pos = p.get();
    searchResultStruct r = searchFixedDepth(pos, 8);
    snapshotStruct before = snapshot(pos);
    getPVFromHashTable(0, pos, 8);
    expectSame(before, snapshot(pos), "pv walk");
    EXPECT_TRUE(sameMove(pos->plyStack[0].pvMove, r.bestMove));
    EXPECT_GE(pos->pvLength, 1);
    EXPECT_LE(pos->pvLength, 7);
    std::string text = PVToString(pos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), ' ');
    // every move of the text can be played one after the other
    testPositionStruct replay(variedPositions[6]);
    moveListResultStruct played = applyMoveWords(text, replay.get());
    EXPECT_EQ(played.applied, pos->pvLength + 1) << text << played.problem;

    getPVFromHashTable(0, pos, 1);
    EXPECT_EQ(pos->pvLength, 0);
    getPVFromHashTable(0, pos, 0);
    EXPECT_EQ(pos->pvLength, 0);
}

TEST(SearchPrincipalVariation, WalkEndsAtMissingOrUnfitEntries) {
    clearHashTable();
    testPositionStruct p;
    positionStruct* pos = p.get();
    moveStruct nf3{6, 21, 0, WKNIGHT};
    pos->plyStack[0].pvMove = nf3;
    getPVFromHashTable(0, pos, 10);
    EXPECT_EQ(pos->pvLength, 0);
    EXPECT_EQ(PVToString(pos), "g1f3 ");

    // e2e4 from the table, then a reply that does not fit the position reached
    moveStruct e4{12, 28, DOUBLESTEP, WPAWN};
    storeHashTable(pos->hashKey, 0, e4, 20, 5, BOUNDEXACT);
    U64 rootKey = pos->hashKey;
    pos->plyStack[1].listStart = pos->plyStack[0].listStart + MAXMOVESPERPOSITION;
    makeMove(0, e4, pos);
    U64 childKey = pos->hashKey;
    unmakeMove(0, e4, pos);
    ASSERT_EQ(pos->hashKey, rootKey);
    storeHashTable(childKey, 1, moveStruct{12, 20, 0, BPAWN}, -20, 4, BOUNDEXACT);
    getPVFromHashTable(0, pos, 10);
    EXPECT_EQ(pos->pvLength, 0);
    EXPECT_EQ(PVToString(pos), "e2e4 ");
    // a fitting reply continues the walk
    storeHashTable(childKey, 1, moveStruct{52, 36, DOUBLESTEP, BPAWN}, -20, 4, BOUNDEXACT);
    getPVFromHashTable(0, pos, 10);
    EXPECT_EQ(pos->pvLength, 1);
    EXPECT_EQ(PVToString(pos), "e2e4 e7e5 ");
    EXPECT_EQ(pos->hashKey, rootKey);
    // a lower bound ends the walk too
    storeHashTable(childKey, 1, moveStruct{52, 36, DOUBLESTEP, BPAWN}, -20, 4, BOUNDLOWER);
    getPVFromHashTable(0, pos, 10);
    EXPECT_EQ(pos->pvLength, 0);
}

TEST(SearchTablebases, ProbesInsideTheSearchAndAtTheRoot) {
    initEngineTablesOnce();
    testing::internal::CaptureStdout();
    setSyzygyPath(std::string(KESTRUNE_TEST_DATA) + "/syzygy");
    testing::internal::GetCapturedStdout();
    ASSERT_GT(syzygyLargestTable(), 0);

    // the queen takes the rook: the positions after a capture are looked up, not searched
    const char* fen = "6k1/3r4/8/8/3Q4/8/8/2K5 w - - 0 1";
    openClock();
    clearHashTable();
    testPositionStruct p(fen);
    searchResultStruct r = searchFixedDepth(p.get(), 8);
    EXPECT_GT(p->tbHitCount, 0u);
    EXPECT_GT(r.score, 500);
    EXPECT_TRUE(isLegal(p.get(), r.bestMove));

    // at the root the tables answer at once, with their own info line only
    theWorkForce.setNofWorkers(2);
    ASSERT_TRUE(setPosition("8/8/8/4k3/8/8/8/KQ6 w - - 0 1", &GPSData));
    engine.depthLimit = 0;
    engine.infinite = false;
    engine.targetTime = 1 << 29;
    engine.startTime = steadyMilliseconds();
    testing::internal::CaptureStdout();
    theWorkForce.startSearch(0);
    theWorkForce.waitIdle();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("info score cp ", 0), 0u) << out;
    EXPECT_NE(out.find(" depth 127 "), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    size_t at = out.find("\nbestmove ");
    ASSERT_NE(at, std::string::npos) << out;
    moveStruct tbMove;
    std::string word = out.substr(at + 10, out.find_first_of(" \n", at + 10) - at - 10);
    EXPECT_TRUE(parseMoveWord(word, &GPSData, &tbMove)) << out;
    theWorkForce.setNofWorkers(1);

    testing::internal::CaptureStdout();
    setSyzygyPath("");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(syzygyLargestTable(), 0);
    openClock();
}
