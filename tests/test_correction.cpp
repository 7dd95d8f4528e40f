// Correction history: the update's bounds and direction, the limits of a corrected evaluation,
// when a node may teach the table, and the table itself through positions.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "correctionHistory.h"
#include "hash.h"
#include "score.h"
#include "testSupport.h"

// Whatever the entry, error and depth, an update stays within the bound, and a weight of zero
// changes nothing.
TEST(CorrectionHistory, UpdatesNeverLeaveTheirRange) {
    std::mt19937 rng(29);
    std::uniform_int_distribution<int> entries(-CORRECTIONLIMIT, CORRECTIONLIMIT);
    std::uniform_int_distribution<int> errors(-70000, 70000);
    std::uniform_int_distribution<int> depths(-20, 140);
    for (int i = 0; i < 200000; i++) {
        const int16_t entry = int16_t(entries(rng));
        const int w = correctionWeight(depths(rng));
        ASSERT_GE(w, 1);
        ASSERT_LE(w, CORRECTIONMAXWEIGHT);
        const int16_t next = correctionUpdated(entry, errors(rng), w);
        ASSERT_GE(next, -CORRECTIONLIMIT);
        ASSERT_LE(next, CORRECTIONLIMIT);
    }
    EXPECT_EQ(correctionUpdated(1234, 200, 0), 1234);
    // weights outside 0..scale are held to it
    EXPECT_EQ(correctionUpdated(1234, 200, -5), 1234);
    EXPECT_EQ(correctionUpdated(1234, 200, 1000), 200 * CORRECTIONGRAIN);
    // the largest errors, again and again, end at the bound, not beyond
    int16_t e = 0;
    for (int i = 0; i < 5000; i++) e = correctionUpdated(e, 32767, CORRECTIONMAXWEIGHT);
    EXPECT_LE(e, CORRECTIONLIMIT);
    EXPECT_GT(e, CORRECTIONLIMIT - CORRECTIONWEIGHTSCALE);
    for (int i = 0; i < 5000; i++) e = correctionUpdated(e, -32768, CORRECTIONMAXWEIGHT);
    EXPECT_GE(e, -CORRECTIONLIMIT);
    EXPECT_LT(e, -CORRECTIONLIMIT + CORRECTIONWEIGHTSCALE);
}

// Each update moves the entry toward the error, never past it, and deeper nodes move it more.
TEST(CorrectionHistory, EachUpdateMovesTowardTheError) {
    for (int error : {100, -100, 7, -250}) {
        int16_t e = 0;
        const int target = error * CORRECTIONGRAIN;
        for (int i = 0; i < 400; i++) {
            const int16_t next = correctionUpdated(e, error, correctionWeight(8));
            ASSERT_LE(std::abs(target - next), std::abs(target - e)) << error << " after " << i;
            ASSERT_TRUE(error > 0 ? next <= target : next >= target) << error;
            e = next;
        }
        EXPECT_NEAR(e, target, CORRECTIONWEIGHTSCALE) << error;
    }
    // from an entry of +50 cp an error of -50 cp brings it down
    const int16_t high = 50 * CORRECTIONGRAIN;
    EXPECT_LT(correctionUpdated(high, -50, correctionWeight(3)), high);
    EXPECT_LT(correctionUpdated(0, -30, correctionWeight(12)), correctionUpdated(0, -30, correctionWeight(2)));
    EXPECT_GT(correctionWeight(10), correctionWeight(1));
}

// A corrected evaluation never reaches the tablebase or mate range, however large either part.
TEST(CorrectionHistory, CorrectedEvaluationStaysAnEvaluation) {
    EXPECT_EQ(correctedEvaluation(120, 35), 155);
    EXPECT_EQ(correctedEvaluation(-120, 35), -85);
    for (int eval : {MAXEVALSCORE, 31000, TBWINSCORE - MAXPLY, -MAXEVALSCORE, -31000}) {
        for (int correction : {-512, 0, 512}) {
            const int c = correctedEvaluation(eval, correction);
            EXPECT_LT(c, TBWINSCORE - MAXPLY) << eval << " " << correction;
            EXPECT_GT(c, -(TBWINSCORE - MAXPLY)) << eval << " " << correction;
        }
    }
}

// A fail-high only raises, a fail-low only lowers, an exact score teaches either way, and
// mate, tablebase and boundless scores teach nothing.
TEST(CorrectionHistory, LearnsOnlyWhatTheBoundSays) {
    EXPECT_TRUE(correctionLearnsFrom(150, BOUNDLOWER, 100));
    EXPECT_FALSE(correctionLearnsFrom(80, BOUNDLOWER, 100));
    EXPECT_FALSE(correctionLearnsFrom(100, BOUNDLOWER, 100));
    EXPECT_TRUE(correctionLearnsFrom(50, BOUNDUPPER, 100));
    EXPECT_FALSE(correctionLearnsFrom(120, BOUNDUPPER, 100));
    EXPECT_TRUE(correctionLearnsFrom(120, BOUNDEXACT, 100));
    EXPECT_TRUE(correctionLearnsFrom(80, BOUNDEXACT, 100));
    EXPECT_FALSE(correctionLearnsFrom(120, BOUNDNONE, 100));
    for (int score : {MATESCORE - 5, -MATESCORE + 8, TBWINSCORE - 3, -(TBWINSCORE - 3)}) {
        EXPECT_FALSE(correctionLearnsFrom(score, BOUNDEXACT, 0)) << score;
        EXPECT_FALSE(correctionLearnsFrom(score, score > 0 ? BOUNDLOWER : BOUNDUPPER, 0)) << score;
    }
}

// Through positions: a cleared table (or none) corrects nothing; the entries of a position
// learn its error for its side to move, the piece tables follow the pieces, and the mean of
// the tables is the error they all learnt.
TEST(CorrectionHistory, TableLearnsPositionsAndClears) {
    initEngineTablesOnce();
    auto table = std::make_unique<correctionTableStruct>();
    std::memset(static_cast<void*>(table.get()), 0x5a, sizeof(correctionTableStruct));
    clearCorrection(table.get());
    testPositionStruct start;
    testPositionStruct blackToMove("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    testPositionStruct otherPieces("rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R w KQkq - 0 1");
    for (positionStruct* p : {start.get(), blackToMove.get(), otherPieces.get()}) {
        EXPECT_EQ(correctionOf(table.get(), p, false), 0);
        EXPECT_EQ(correctionOf(table.get(), p, true), 0);
        EXPECT_EQ(correctionOf(nullptr, p, true), 0);
    }
    updateCorrection(nullptr, start.get(), true, 10, 100); // no table, nothing to do

    for (int i = 0; i < 300; i++) updateCorrection(table.get(), start.get(), true, 12, 80);
    EXPECT_NEAR(correctionOf(table.get(), start.get(), false), 80, 2);
    EXPECT_NEAR(correctionOf(table.get(), start.get(), true), 80, 2);
    // the other side to move has entries of its own
    EXPECT_EQ(correctionOf(table.get(), blackToMove.get(), true), 0);
    // same pawns, another white piece set: the pawn half and black's quarter apply
    EXPECT_NEAR(correctionOf(table.get(), otherPieces.get(), false), 80, 2);
    EXPECT_NEAR(correctionOf(table.get(), otherPieces.get(), true), 60, 2);
    EXPECT_NE(nonPawnKey(start.get(), WHITE), nonPawnKey(otherPieces.get(), WHITE));
    EXPECT_EQ(nonPawnKey(start.get(), BLACK), nonPawnKey(otherPieces.get(), BLACK));

    // the correction comes back down when the errors turn
    for (int i = 0; i < 300; i++) updateCorrection(table.get(), start.get(), false, 12, -40);
    EXPECT_NEAR(correctionOf(table.get(), start.get(), false), -40, 2);
    clearCorrection(table.get());
    EXPECT_EQ(correctionOf(table.get(), start.get(), true), 0);
}
