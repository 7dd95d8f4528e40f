// Move generation checked by perft counts.
#include <gtest/gtest.h>

#include "perft.h"
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
