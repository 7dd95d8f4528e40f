// Attack tables, FEN set-up, keys, generation order and make/unmake consistency.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "eval.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"
#include "testSupport.h"

namespace {

U64 squares(std::initializer_list<const char*> names) {
    U64 set = 0;
    for (const char* name : names) set |= squareBit(squareFromText(name[0], name[1]));
    return set;
}

U64 fileRange(int firstFile, int lastFile, int firstRank, int lastRank) {
    U64 set = 0;
    for (int f = firstFile; f <= lastFile; f++)
        for (int r = firstRank; r <= lastRank; r++) set |= squareBit(r * 8 + f);
    return set;
}

class BoardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initEngineTablesOnce(); }
};

} // namespace

TEST_F(BoardTest, LeaperAndPawnTables) {
    EXPECT_EQ(knightAttackTable[0], squares({"b3", "c2"}));
    EXPECT_EQ(knightAttackTable[7], squares({"f2", "g3"}));
    EXPECT_EQ(attackByPawnTable[WHITE][20], squares({"d2", "f2"}));
    EXPECT_EQ(attackByPawnTable[BLACK][20], squares({"d4", "f4"}));
    EXPECT_EQ(attackByPawnTable[WHITE][8], 0u);
    EXPECT_EQ(attackByPawnTable[WHITE][squareFromText('a', '3')], squares({"b2"}));
    EXPECT_EQ(enpassantTable[24], squares({"b4"}));
    EXPECT_EQ(enpassantTable[36], squares({"d5", "f5"}));
    EXPECT_EQ(enpassantTable[44], 0u);
    EXPECT_EQ(kingAttackTable[0], squares({"a2", "b1", "b2"}));
    EXPECT_EQ(distance[0][63], 7);
}

TEST_F(BoardTest, SliderAndLineTables) {
    EXPECT_EQ(rookAttacks(0, squares({"a4", "d1"})), squares({"a2", "a3", "a4", "b1", "c1", "d1"}));
    EXPECT_EQ(inBetweenSquares[0][63], squares({"b2", "c3", "d4", "e5", "f6", "g7"}));
    EXPECT_EQ(inBetweenSquares[0][10], 0u);
    EXPECT_EQ(inLineSquares[0][9], squares({"a1", "b2", "c3", "d4", "e5", "f6", "g7", "h8"}));
    // Every magic lookup agrees with walking the rays, for random occupancies.
    std::mt19937_64 random(7);
    for (int s = 0; s < 64; s++) {
        for (int trial = 0; trial < 200; trial++) {
            U64 occupancy = random() & random();
            U64 rook = 0, bishop = 0;
            const int directions[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
            for (int d = 0; d < 8; d++) {
                int f = (s & 7) + directions[d][0], r = (s >> 3) + directions[d][1];
                while (f >= 0 && f < 8 && r >= 0 && r < 8) {
                    (d < 4 ? rook : bishop) |= squareBit(r * 8 + f);
                    if (occupancy & squareBit(r * 8 + f)) break;
                    f += directions[d][0];
                    r += directions[d][1];
                }
            }
            ASSERT_EQ(rookAttacks(s, occupancy), rook) << s;
            ASSERT_EQ(bishopAttacks(s, occupancy), bishop) << s;
        }
    }
    // The packed tables have exactly the sizes of their slices.
    EXPECT_EQ(rookAttackLUT[63].table + (U64(1) << (64 - rookAttackLUT[63].shift)), rookAttackTable + ROOKTABLESIZE);
    EXPECT_EQ(bishopAttackLUT[63].table + (U64(1) << (64 - bishopAttackLUT[63].shift)),
              bishopAttackTable + BISHOPTABLESIZE);
}

TEST_F(BoardTest, PawnAndKingMasks) {
    EXPECT_EQ(passedPawnsMask[WHITE][8], fileRange(0, 1, 2, 7));
    EXPECT_EQ(passedPawnsMask[BLACK][8], fileRange(0, 1, 0, 0));
    EXPECT_EQ(passedPawnsMask[WHITE][0], 0u);
    EXPECT_EQ(kingSafetyArea[WHITE][6], fileRange(5, 7, 0, 3));
    EXPECT_EQ(kingSafetyArea[BLACK][62], fileRange(5, 7, 4, 7));
    EXPECT_EQ(isolatedPawns[0], files[1]);
    EXPECT_EQ(ranksAtOrAbove[WHITE][8], fileRange(0, 7, 1, 7));
}

TEST_F(BoardTest, StartPositionFields) {
    testPositionStruct pos;
    EXPECT_EQ(pos->pieceBB[WHITE], 0x000000000000FFFFULL);
    EXPECT_EQ(pos->pieceBB[BLACK], 0xFFFF000000000000ULL);
    EXPECT_EQ(pos->board[4], WKING);
    EXPECT_EQ(pos->board[60], BKING);
    EXPECT_EQ(pos->plyStack[0].castleRights, 15);
    EXPECT_EQ(pos->plyStack[0].epSquare, 0);
    EXPECT_EQ(pos->historyCount, 1);
    EXPECT_EQ(pos->phase, 6952);
    EXPECT_EQ(boardToString(pos.get()).substr(34, 34), "| r | n | b | q | k | b | n | r |\n");
}

TEST_F(BoardTest, FenDefaultsAndCounters) {
    testPositionStruct pos("8/8/8/8/8/8/8/K6k w");
    EXPECT_EQ(pos->plyStack[0].castleRights, 0);
    EXPECT_EQ(pos->plyStack[0].epSquare, 0);
    EXPECT_EQ(pos->fiftyCounter, 0);
    EXPECT_EQ(pos->historyCount, 1);
    setPosition("8/8/8/8/8/8/8/K6k b - - 7 40", pos.get());
    EXPECT_EQ(pos->historyCount, 80);
    EXPECT_EQ(pos->fiftyCounter, 7);
    setPosition("8/8/8/8/8/8/8/K6k b - - 0 400", pos.get());
    EXPECT_EQ(pos->historyCount, 513);
    // En passant is stored as the square of the pawn that moved.
    setPosition("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", pos.get());
    EXPECT_EQ(pos->plyStack[0].epSquare, 28);
    setPosition("rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6 0 2", pos.get());
    EXPECT_EQ(pos->plyStack[0].epSquare, 35);
}

TEST_F(BoardTest, FenRightsAndEnPassantThatCannotBeUsedAreDropped) {
    // No rook on h1 or a8: those rights would move a rook that is not there.
    testPositionStruct pos("r3k3/8/8/8/8/8/8/R3K3 w KQkq - 0 1");
    EXPECT_EQ(pos->plyStack[0].castleRights, WHITELONG | BLACKLONG);
    // No black pawn on e5 behind e6.
    setPosition("4k3/8/8/8/8/8/8/4K3 w - e6 0 1", pos.get());
    EXPECT_EQ(pos->plyStack[0].epSquare, 0);
    EXPECT_EQ(pos->hashKey, calcHashKey(0, pos.get()));
}

TEST_F(BoardTest, MalformedFensAreRejectedAndLeaveThePosition) {
    const char* bad[] = {
        "",                                                          // no fields
        "8/8/8/8/8/8/8/K6k",                                         // one field
        "8/8/8/8/8/8/K6k w",                                         // seven ranks
        "8/8/8/8/8/8/8/8/K6k w",                                     // nine ranks
        "8/8/8/8/8/8/8/K7k w",                                       // nine squares
        "8/8/8/8/8/8/8/K5k w",                                       // seven squares
        "8/8/8/8/8/8/8/K5xk w",                                      // unknown letter
        "8/8/8/8/8/8/8/K6K w",                                       // no black king
        "k7/8/8/8/8/8/8/KK6 w",                                      // two white kings
        "P6k/8/8/8/8/8/8/K7 w",                                      // pawn on the eighth rank
        "7k/8/8/8/8/8/8/K6p b",                                      // pawn on the first rank
        "8/8/8/8/8/8/8/K6k x",                                       // side
        "8/8/8/8/8/8/8/K6k w KX",                                    // castling
        "8/8/8/8/8/8/8/K6k w - e9",                                  // en passant
        "8/8/8/8/8/8/8/K6k w - e4",                                  // en passant rank
        "8/8/8/8/8/8/8/K6k w - - x",                                 // half-move clock
        "8/8/8/8/8/8/8/K6k w - - 0 -1",                              // move number
        "8/8/8/8/8/8/8/K6k w - - 99999999999999999999 1",            // absurd counter
        "k6R/8/8/8/8/8/8/K7 w",                                      // side not to move in check
        "QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/8/8/8/8/K6k w",                  // too many men
    };
    testPositionStruct pos;
    U64 key = pos->hashKey;
    for (const char* fen : bad) {
        EXPECT_FALSE(fenProblem(fen).empty()) << fen;
        EXPECT_FALSE(setPosition(fen, pos.get())) << fen;
        EXPECT_EQ(pos->hashKey, key) << fen;
    }
    EXPECT_EQ(fenProblem("k6R/8/8/8/8/8/8/K7 b"), "");
}

TEST_F(BoardTest, KeyRows) {
    EXPECT_EQ(hashCodeRandomNumber[0], 0xACFEAF947971818AULL);
    EXPECT_EQ(hashCodePiece[WPAWN][0], 0xACFEAF947971818AULL);
    EXPECT_EQ(hashCodePiece[WPAWN][1], 0x1E1A986BCEE58E3BULL);
    EXPECT_EQ(hashCodePiece[BKING][63], 0xDDF56DCAFEA26C5DULL);
    EXPECT_EQ(hashCodeCastling[0], 0xB60876BCF1AC653FULL);
    EXPECT_EQ(hashCodeEnpassant[0], 0xC1E7974D83CF2E9AULL);
    EXPECT_EQ(hashCodeBlackToMove, 0xF31FA94FE63F529FULL);
    EXPECT_EQ(hashCodeRandomNumber[799], 0xD9624618A89F6956ULL);
    std::vector<U64> all(hashCodeRandomNumber, hashCodeRandomNumber + 800);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::unique(all.begin(), all.end()), all.end());

    testPositionStruct pos;
    U64 expected = hashCodeCastling[15];
    for (int s = 0; s < 64; s++)
        if (pos->board[s]) expected ^= hashCodePiece[pos->board[s]][s];
    EXPECT_EQ(pos->hashKey, expected);
    setPosition("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", pos.get());
    EXPECT_EQ(pos->hashKey, expected ^ hashCodeBlackToMove);
}

TEST_F(BoardTest, KeysThroughMoveWords) {
    testPositionStruct pos;
    U64 start = pos->hashKey;
    applyMoveWords("g1f3 g8f6 f3g1 f6g8", pos.get());
    EXPECT_EQ(pos->hashKey, start);

    setPosition(fenStartPos, pos.get());
    applyMoveWords("e2e4", pos.get());
    EXPECT_EQ(pos->plyStack[0].epSquare, 28);
    testPositionStruct withoutEp("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(pos->hashKey, withoutEp->hashKey ^ hashCodeEnpassant[4]);

    setPosition(fenStartPos, pos.get());
    moveListResultStruct result = applyMoveWords("e2e4 e7e5 g1f3", pos.get());
    EXPECT_EQ(result.applied, 3);
    EXPECT_EQ(pos->plyStack[0].epSquare, 0);
    EXPECT_EQ(pos->historyCount, 4);
    testPositionStruct same("rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 2");
    EXPECT_EQ(pos->hashKey, same->hashKey);
    EXPECT_EQ(pos->pawnKingKey, same->pawnKingKey);
}

TEST_F(BoardTest, MoveWordsAreCheckedAndPlayedAsWritten) {
    testPositionStruct pos("4k3/4P3/8/8/8/8/8/4K3 w - - 0 1");
    // A promotion with its letter, a promotion square without one, and a king in the way.
    EXPECT_EQ(applyMoveWords("e7e8q", pos.get()).applied, 0);
    ASSERT_TRUE(setPosition("2k5/4P3/8/8/8/8/8/4K3 w - - 0 1", pos.get()));
    EXPECT_EQ(applyMoveWords("e7e8", pos.get()).applied, 0);
    EXPECT_EQ(applyMoveWords("e7e8Q", pos.get()).applied, 1);
    EXPECT_EQ(pos->board[60], WQUEEN);

    testPositionStruct game;
    moveListResultStruct result = applyMoveWords("e2e4 e7e5 e1e3 g1f3", game.get());
    EXPECT_EQ(result.applied, 2);
    EXPECT_FALSE(result.problem.empty());
    testPositionStruct expected("rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6 0 2");
    EXPECT_EQ(game->hashKey, expected->hashKey);
    for (const char* word : {"", "e2", "e2e4e5", "i2i4", "e2e9", "e7e5", "e2e5", "a1a1", "e2e4x"}) {
        testPositionStruct fresh;
        EXPECT_EQ(applyMoveWords(word, fresh.get()).applied, 0) << word;
        EXPECT_EQ(fresh->hashKey, testPositionStruct()->hashKey) << word;
    }

    // Castling, en passant and their texts.
    testPositionStruct castle("r3k2r/8/8/3pP3/8/8/8/R3K2R w KQkq d6 0 1");
    ASSERT_EQ(applyMoveWords("e5d6 e8c8 e1g1", castle.get()).applied, 3);
    EXPECT_EQ(castle->board[6], WKING);
    EXPECT_EQ(castle->board[5], WROOK);
    EXPECT_EQ(castle->board[58], BKING);
    EXPECT_EQ(castle->board[59], BROOK);
    EXPECT_EQ(castle->board[43], WPAWN);
    EXPECT_EQ(castle->board[35], 0);
    moveStruct enPassant{36, 35, ENPASSANT, 0};
    EXPECT_EQ(moveToLA(&enPassant, WHITE), "e5d6");
    moveStruct promotion{52, 60, PROMOTEQUEEN, 0};
    EXPECT_EQ(moveToLA(&promotion, WHITE), "e7e8q");
    moveStruct empty = EMPTYMOVE;
    EXPECT_EQ(moveToLA(&empty, WHITE), "a1a1");
}

TEST_F(BoardTest, VeryLongGamesKeepRepetitionsExact) {
    testPositionStruct pos;
    std::string words;
    const char* cycle[] = {"g1f3", "g8f6", "f3g1", "f6g8"};
    for (int ply = 0; ply < 3000; ply++) words += std::string(cycle[ply % 4]) + " ";
    moveListResultStruct result = applyMoveWords(words, pos.get());
    EXPECT_EQ(result.applied, 3000);
    EXPECT_LT(pos->historyCount, KEYHISTORYSIZE - 2 * MAXPLY);
    EXPECT_EQ(pos->hashKey, testPositionStruct()->hashKey);
    // The start position recurs every four plies within the kept history.
    int h = pos->historyCount;
    EXPECT_EQ(pos->keyHistory[h - 1], pos->keyHistory[h - 5]);
    EXPECT_EQ(pos->keyHistory[h - 1], pos->keyHistory[h - 101]);
    EXPECT_NE(pos->keyHistory[h - 1], pos->keyHistory[h - 3]);
}

TEST_F(BoardTest, GenerationOrderInTheStartPosition) {
    testPositionStruct pos;
    plyRecord& root = pos->plyStack[0];
    root.inCheck = 0;
    generateMovesCaptures(0, root.listStart, pos.get());
    EXPECT_EQ(root.listEnd, root.listStart);
    generateMovesQuiets(0, root.listEnd, pos.get());
    ASSERT_EQ(root.listEnd - root.listStart, 20);
    std::vector<std::string> texts;
    for (moveStruct* m = root.listStart; m < root.listEnd; m++) texts.push_back(moveToLA(m, WHITE));
    std::vector<std::string> expected = {"a2a3", "b2b3", "c2c3", "d2d3", "e2e3", "f2f3", "g2g3", "h2h3",
                                         "a2a4", "b2b4", "c2c4", "d2d4", "e2e4", "f2f4", "g2g4", "h2h4",
                                         "b1a3", "b1c3", "g1f3", "g1h3"};
    EXPECT_EQ(texts, expected);
}

TEST_F(BoardTest, EvasionsAndLegality) {
    // Double check: only king moves.
    testPositionStruct pos("4k3/8/8/8/8/5n2/8/r3K3 w - - 0 1");
    generateMovesLegal(0, pos->plyStack[0].listStart, pos.get());
    for (moveStruct* m = pos->plyStack[0].listStart; m < pos->plyStack[0].listEnd; m++) EXPECT_EQ(m->from, 4);
    // A king capturing the single checker scores victim + 221.
    setPosition("4k3/8/8/8/8/8/3q4/4K3 w - - 0 1", pos.get());
    generateMovesLegal(0, pos->plyStack[0].listStart, pos.get());
    bool found = false;
    for (moveStruct* m = pos->plyStack[0].listStart; m < pos->plyStack[0].listEnd; m++) {
        if (m->to == 11) {
            EXPECT_EQ(m->score, BQUEEN + 221);
            found = true;
        }
    }
    EXPECT_TRUE(found);
    // En passant that would expose the king along the fifth rank is not legal.
    setPosition("8/8/8/K2pP2r/8/8/8/7k w - d6 0 1", pos.get());
    generateMovesLegal(0, pos->plyStack[0].listStart, pos.get());
    for (moveStruct* m = pos->plyStack[0].listStart; m < pos->plyStack[0].listEnd; m++) EXPECT_NE(m->flag, ENPASSANT);
    // Castling through an attacked f1 is not generated; into an attacked g1 it is rejected.
    setPosition("4k3/8/8/8/8/8/8/4K2R w K - 0 1", pos.get());
    for (const char* fen : {"4kr2/8/8/8/8/8/8/4K2R w K - 0 1", "4k1r1/8/8/8/8/8/8/4K2R w K - 0 1"}) {
        setPosition(fen, pos.get());
        generateMovesLegal(0, pos->plyStack[0].listStart, pos.get());
        for (moveStruct* m = pos->plyStack[0].listStart; m < pos->plyStack[0].listEnd; m++)
            EXPECT_NE(m->flag, CASTLESHORT) << fen;
    }
}

namespace {

// The board part of the record that make/unmake must restore exactly.
struct boardSnapshot {
    int8_t board[64];
    U64 pieceBB[14];
    U64 keys[2];
    int32_t sums[4];
    int16_t phase;
    uint16_t fifty, history;
    uint8_t rights, ep, side;
    explicit boardSnapshot(positionStruct* pos, int ply) {
        std::memset(static_cast<void*>(this), 0, sizeof(*this)); // padding too, for the comparison
        std::memcpy(board, pos->board, sizeof(board));
        std::memcpy(pieceBB, pos->pieceBB, sizeof(pieceBB));
        keys[0] = pos->hashKey;
        keys[1] = pos->pawnKingKey;
        sums[0] = pos->material[0];
        sums[1] = pos->material[1];
        sums[2] = pos->psqScore[0];
        sums[3] = pos->psqScore[1];
        phase = pos->phase;
        fifty = pos->fiftyCounter;
        history = pos->historyCount;
        rights = pos->plyStack[ply].castleRights;
        ep = pos->plyStack[ply].epSquare;
        side = pos->sideToMove;
    }
    bool operator==(const boardSnapshot& o) const { return std::memcmp(this, &o, sizeof(*this)) == 0; }
};

// Walks the legal tree and checks keys against a from-scratch computation after every move.
void checkTree(positionStruct* pos, int ply, int depth, positionStruct* scratch, long* checked) {
    plyRecord& record = pos->plyStack[ply];
    record.inCheck = kingInCheck(pos);
    generateMovesCaptures(ply, record.listStart, pos);
    if (!record.inCheck) generateMovesQuiets(ply, record.listEnd, pos);
    for (moveStruct* m = record.listStart; m < record.listEnd; m++) {
        if (!record.inCheck && !isMoveLegal(ply, *m, pos)) continue;
        boardSnapshot before(pos, ply);
        makeMove(ply, *m, pos);
        // Keys from scratch: copy the board with the child's rights into the root slot.
        std::memcpy(scratch->board, pos->board, sizeof(pos->board));
        std::memcpy(scratch->pieceBB, pos->pieceBB, sizeof(pos->pieceBB));
        scratch->sideToMove = pos->sideToMove;
        scratch->plyStack[0].castleRights = pos->plyStack[ply + 1].castleRights;
        scratch->plyStack[0].epSquare = pos->plyStack[ply + 1].epSquare;
        ASSERT_EQ(pos->hashKey, calcHashKey(0, scratch)) << moveToLA(m, pos->sideToMove ^ 1);
        ASSERT_EQ(pos->pawnKingKey, calcPawnKingKey(scratch));
        ASSERT_EQ(pos->keyHistory[pos->historyCount - 1], pos->hashKey);
        (*checked)++;
        if (depth > 1) checkTree(pos, ply + 1, depth - 1, scratch, checked);
        // Generation at the next ply may have reused this ply's list end: regenerate is not needed
        // because the list itself lies below it.
        unmakeMove(ply, *m, pos);
        ASSERT_TRUE(boardSnapshot(pos, ply) == before) << moveToLA(m, pos->sideToMove);
    }
}

} // namespace

TEST_F(BoardTest, MakeUnmakeKeepsKeysAndRestoresEverything) {
    const char* fens[] = {
        fenStartPos,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
        "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
        "8/P7/8/8/8/8/7p/K6k w - - 0 1",
        "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
        "4k3/8/8/2pP4/8/8/8/4K3 w - c6 0 1",
        "1k6/1b6/8/8/7R/8/8/4K2R b K - 0 1",
        "3k4/3p4/8/K1P4r/8/8/8/8 b - - 0 1",
        // Chess960: the rook jumping the king, the king onto its rook's square, the king staying
        "rk5r/pppppppp/8/8/8/8/PPPPPPPP/RK5R w HAha - 0 1",
        "1r2rkr1/pp3ppp/8/8/8/8/PP3PPP/1R2RKR1 b GEge - 0 1",
        "r1b3kr/ppp2ppp/8/8/8/8/PPP2PPP/R1B3KR w HAha - 0 1",
        "bqrbnrk1/ppp1pppp/7n/3p4/8/P2P3P/1PP1PPP1/BQRBNKNR w HC - 0 4",
    };
    auto scratch = std::make_unique<positionStruct>();
    long checked = 0;
    for (const char* fen : fens) {
        testPositionStruct pos(fen);
        checkTree(pos.get(), 0, 3, scratch.get(), &checked);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(checked, 100000);
}
