// Move generation checked by perft counts.
#include <gtest/gtest.h>

#include "move.h"
#include "tools/perft.h"
#include "testSupport.h"

TEST(PerftSuite, EveryPositionGivesItsCount) {
    std::vector<perftCaseStruct> cases = readPerftSuite();
    ASSERT_EQ(cases.size(), 104u);
    for (const perftCaseStruct& test : cases) {
        testPositionStruct pos(test.fen);
        EXPECT_EQ(perft(0, test.depth, pos.get()), test.count) << test.fen << " depth " << test.depth;
    }
}

TEST(PerftSuite, StartPositionShallowDepths) {
    testPositionStruct pos;
    const uint64_t expected[] = {20, 400, 8902, 197281, 4865609};
    for (int depth = 1; depth <= 5; depth++) EXPECT_EQ(perft(0, depth, pos.get()), expected[depth - 1]);
}

TEST(PerftSuite, MateAndStalemateHaveNoMoves) {
    testPositionStruct mate("7k/6Q1/6K1/8/8/8/8/8 b - - 0 1");
    testPositionStruct stalemate("7k/8/6QK/8/8/8/8/8 b - - 0 1");
    for (int depth = 1; depth <= 3; depth++) {
        EXPECT_EQ(perft(0, depth, mate.get()), 0u);
        EXPECT_EQ(perft(0, depth, stalemate.get()), 0u);
    }
}

namespace {

// Below every node of a tree of the given depth, the counted moves of the last ply equal the
// generators' list filtered by the legality test.
void expectCountsMatchLists(unsigned char ply, int depth, positionStruct* pos, const std::string& fen) {
    plyRecord& record = pos->plyStack[ply];
    record.inCheck = kingInCheck(pos);
    uint64_t counted = countLegalMoves(ply, pos);
    generateMovesCaptures(ply, record.listStart, pos);
    if (!record.inCheck) generateMovesQuiets(ply, record.listEnd, pos);
    moveStruct* end = record.listEnd;
    for (moveStruct* m = record.listStart; m < end;) {
        if (record.inCheck || isMoveLegal(ply, *m, pos)) m++;
        else *m = *--end;
    }
    record.listEnd = end;
    pos->plyStack[ply + 1].listStart = end;
    ASSERT_EQ(counted, uint64_t(end - record.listStart)) << fen << " at ply " << int(ply);
    if (depth <= 1) return;
    for (moveStruct* m = record.listStart; m < record.listEnd; m++) {
        makeMove(ply, *m, pos);
        expectCountsMatchLists(ply + 1, depth - 1, pos, fen);
        unmakeMove(ply, *m, pos);
    }
}

} // namespace

TEST(PerftSuite, CountedLastPlyEqualsTheGeneratedList) {
    for (const char* suite : {"perft-suite.txt", "perft960-suite.txt"}) {
        for (const perftCaseStruct& test : readPerftSuite(suite)) {
            testPositionStruct pos;
            ASSERT_TRUE(setPosition(test.fen, pos.get(), true)) << test.fen;
            expectCountsMatchLists(0, 3, pos.get(), test.fen);
        }
    }
}
