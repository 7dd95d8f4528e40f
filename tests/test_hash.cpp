// The transposition table: sizes, the four-slot window, replacement, ages and mate scores.
#include <gtest/gtest.h>

#include "hash.h"
#include "testSupport.h"

namespace {

class HashTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        initEngineTablesOnce();
        ASSERT_TRUE(allocateHashTable(1));
        hashAgeCounter = 0;
    }
    void TearDown() override {
        hashAgeCounter = 0;
        allocateHashTable(4); // the table of the other tests
    }
    // A key whose index is i, with distinguishing high bits.
    static U64 keyAt(U64 index, U64 tag) { return index | (tag << 40); }
};

moveStruct someMove(int from, int to) { return moveStruct{uint8_t(from), uint8_t(to), 0, uint8_t(WKNIGHT)}; }

} // namespace

TEST_F(HashTableTest, SizesAreAtMostTheMegabytesAskedFor) {
    // the largest power of two not above N: Hash 3 takes 2 MB, Hash 1025 1024 MB, never more
    const std::pair<int, int> used[] = {{1, 1}, {2, 2}, {3, 2}, {4, 4}, {1023, 512}, {1025, 1024}, {1500, 1024},
                                        {3000, 2048}, {32768, 32768}, {40000, 32768}, {0, 1}, {-5, 1}};
    for (auto [megaBytes, expected] : used) {
        EXPECT_EQ(hashMegaBytesUsed(megaBytes), expected) << megaBytes;
        EXPECT_EQ(hashEntriesForMegaBytes(megaBytes) * sizeof(hashEntry), U64(expected) << 20) << megaBytes;
    }
    const std::pair<int, U64> sizes[] = {{1, 65536}, {2, 131072}, {3, 131072}, {4, 262144}, {0, 65536}, {-5, 65536}};
    for (auto [megaBytes, indexValues] : sizes) {
        ASSERT_TRUE(allocateHashTable(megaBytes));
        EXPECT_EQ(hashKeyMask + 1, indexValues) << megaBytes;
    }
    ASSERT_TRUE(allocateHashTable(256));
    EXPECT_EQ(hashKeyMask + 1, 16777216u);
    EXPECT_EQ((hashKeyMask + 1) * sizeof(hashEntry), U64(256) << 20);
}

TEST_F(HashTableTest, ProbeStoreAndTheFourSlotWindow) {
    U64 data;
    EXPECT_FALSE(probeHashTable(keyAt(100, 1), &data));
    storeHashTable(keyAt(100, 1), 0, someMove(1, 18), 50, 5, BOUNDEXACT);
    EXPECT_NE(hashTable[100].keyXorData, 0u);
    ASSERT_TRUE(probeHashTable(keyAt(100, 1), &data));
    EXPECT_TRUE(sameMove(hashDataMove(data), someMove(1, 18)));
    EXPECT_EQ(hashDataMove(data).score, WKNIGHT);
    EXPECT_EQ(hashDataScore(data), 50);
    EXPECT_EQ(hashDataDepth(data), 5);
    EXPECT_EQ(hashDataBound(data), BOUNDEXACT);

    // A neighbouring index shares slots: key 99 sees slots 99..102 and finds 100 occupied.
    storeHashTable(keyAt(99, 2), 0, someMove(2, 3), -7, 3, BOUNDUPPER);
    EXPECT_NE(hashTable[99].keyXorData, 0u);
    storeHashTable(keyAt(98, 3), 0, someMove(2, 3), 1, 1, BOUNDLOWER);
    storeHashTable(keyAt(98, 4), 0, someMove(2, 3), 2, 2, BOUNDLOWER);
    // 98, 99, 100 are taken; the fourth key for 98 lands on 101.
    EXPECT_NE(hashTable[101].keyXorData, 0u);
    ASSERT_TRUE(probeHashTable(keyAt(98, 4), &data));
    EXPECT_EQ(hashDataScore(data), 2);
    ASSERT_TRUE(probeHashTable(keyAt(100, 1), &data));

    // A store for an existing key goes to an empty slot earlier in the window if there is one.
    storeHashTable(keyAt(200, 5), 0, someMove(4, 5), 10, 4, BOUNDEXACT);  // slot 200
    storeHashTable(keyAt(199, 6), 0, someMove(4, 5), 11, 4, BOUNDEXACT);  // slot 199
    storeHashTable(keyAt(197, 7), 0, someMove(4, 5), 12, 4, BOUNDEXACT);  // slot 197
    storeHashTable(keyAt(198, 8), 0, someMove(4, 5), 13, 9, BOUNDEXACT);  // slot 198
    storeHashTable(keyAt(199, 6), 0, someMove(4, 5), 14, 1, BOUNDEXACT);  // matches 199: overwritten
    ASSERT_TRUE(probeHashTable(keyAt(199, 6), &data));
    EXPECT_EQ(hashDataScore(data), 14);
    EXPECT_EQ(hashDataDepth(data), 1);
}

TEST_F(HashTableTest, ReplacementPrefersShallowAndOldEntries) {
    for (U64 tag = 1; tag <= 4; tag++) storeHashTable(keyAt(500, tag), 0, EMPTYMOVE, 0, int(10 - tag), BOUNDLOWER);
    // Depths 9, 8, 7, 6: the depth-6 entry in slot 503 goes.
    storeHashTable(keyAt(500, 9), 0, EMPTYMOVE, 0, 20, BOUNDLOWER);
    U64 data;
    EXPECT_FALSE(probeHashTable(keyAt(500, 4), &data));
    EXPECT_TRUE(probeHashTable(keyAt(500, 9), &data));
    // Two searches later the old deep entries are worth less than the fresh one.
    hashAgeCounter = 2;
    storeHashTable(keyAt(500, 10), 0, EMPTYMOVE, 0, 1, BOUNDLOWER);
    EXPECT_TRUE(probeHashTable(keyAt(500, 10), &data));
    EXPECT_TRUE(probeHashTable(keyAt(500, 9), &data));
    EXPECT_FALSE(probeHashTable(keyAt(500, 3), &data));
    // A hit refreshes the age in place without breaking the entry.
    EXPECT_EQ(hashDataAge(hashTable[500].data) == 2 || hashDataAge(hashTable[501].data) == 2 ||
                  hashDataAge(hashTable[502].data) == 2 || hashDataAge(hashTable[503].data) == 2,
              true);
}

TEST_F(HashTableTest, AgeWrapsAfterSixtyFourSearches) {
    hashAgeCounter = 0;
    storeHashTable(keyAt(700, 1), 0, EMPTYMOVE, 0, 5, BOUNDLOWER);
    hashAgeCounter = 1;
    for (U64 tag = 2; tag <= 4; tag++) storeHashTable(keyAt(700, tag), 0, EMPTYMOVE, 0, 6, BOUNDLOWER);
    // The counter is back at 0: the entry from 64 searches ago counts as current, the ones
    // from 63 searches ago as very old.
    hashAgeCounter = 0;
    storeHashTable(keyAt(700, 9), 0, EMPTYMOVE, 0, 1, BOUNDLOWER);
    U64 data;
    EXPECT_TRUE(probeHashTable(keyAt(700, 1), &data));
    EXPECT_FALSE(probeHashTable(keyAt(700, 2), &data));
    EXPECT_TRUE(probeHashTable(keyAt(700, 3), &data));
    // Equal worth: the earliest slot of the window is replaced.
    hashAgeCounter = 5;
    for (U64 tag = 11; tag <= 14; tag++) storeHashTable(keyAt(800, tag), 0, EMPTYMOVE, 0, 3, BOUNDLOWER);
    storeHashTable(keyAt(800, 15), 0, EMPTYMOVE, 0, 3, BOUNDLOWER);
    EXPECT_FALSE(probeHashTable(keyAt(800, 11), &data));
    EXPECT_TRUE(probeHashTable(keyAt(800, 12), &data));
}

TEST_F(HashTableTest, MateScoresAreRelativeToTheNode) {
    EXPECT_EQ(scoreToHash(31992, 3), 31995);
    EXPECT_EQ(scoreFromHash(31995, 7), 31988);
    EXPECT_EQ(scoreToHash(-31992, 3), -31995);
    EXPECT_EQ(scoreFromHash(-31995, 7), -31988);
    EXPECT_EQ(scoreToHash(31871, 3), 31871);
    EXPECT_EQ(scoreFromHash(31871, 7), 31871);
    storeHashTable(keyAt(900, 1), 3, EMPTYMOVE, 31992, 4, BOUNDEXACT);
    U64 data;
    ASSERT_TRUE(probeHashTable(keyAt(900, 1), &data));
    EXPECT_EQ(hashDataScore(data), 31995);
    EXPECT_EQ(scoreFromHash(hashDataScore(data), 7), 31988);
}

TEST_F(HashTableTest, HighestIndexStaysInsideTheTable) {
    // A small table, and one large enough to be placed on a huge-page boundary inside its mapping.
    for (int megaBytes : {1, 16}) {
        ASSERT_TRUE(allocateHashTable(megaBytes));
        U64 last = hashKeyMask;
        for (U64 tag = 1; tag <= 4; tag++) storeHashTable(keyAt(last, tag), 0, EMPTYMOVE, int(tag), 1, BOUNDEXACT);
        U64 data;
        for (U64 tag = 1; tag <= 4; tag++) {
            ASSERT_TRUE(probeHashTable(keyAt(last, tag), &data)) << megaBytes;
            EXPECT_EQ(hashDataScore(data), int(tag));
        }
        EXPECT_NE(hashTable[last + 3].keyXorData, 0u);
        EXPECT_EQ(hashTable[0].keyXorData, 0u);
        clearHashTable();
        EXPECT_FALSE(probeHashTable(keyAt(last, 1), &data));
    }
}

TEST_F(HashTableTest, NeighbouringEntriesKeepTheirOwnWords) {
    // Entries lie side by side: a window starting at the last entry of a cache line reaches
    // into the next line, and a store or an age refresh changes only its own entry.
    for (U64 tag = 1; tag <= 4; tag++)
        storeHashTable(keyAt(603, tag), 0, someMove(int(tag), 20), int(tag), int(tag), BOUNDLOWER);
    for (U64 i = 603; i < 607; i++) EXPECT_NE(hashTable[i].keyXorData, 0u) << i;
    EXPECT_EQ(hashTable[602].keyXorData, 0u);
    EXPECT_EQ(hashTable[607].keyXorData, 0u);
    hashAgeCounter = 9;
    U64 data;
    ASSERT_TRUE(probeHashTable(keyAt(603, 3), &data));
    EXPECT_EQ(hashDataAge(hashTable[605].data), 9);
    for (U64 tag = 1; tag <= 4; tag++) {
        ASSERT_TRUE(probeHashTable(keyAt(603, tag), &data)) << tag;
        EXPECT_EQ(hashDataScore(data), int(tag));
        EXPECT_EQ(hashDataMove(data).from, tag);
        EXPECT_EQ(hashDataDepth(data), int(tag));
    }
}

TEST_F(HashTableTest, TornEntriesReadAsMisses) {
    storeHashTable(keyAt(42, 1), 0, someMove(1, 2), 77, 3, BOUNDEXACT);
    U64 data;
    ASSERT_TRUE(probeHashTable(keyAt(42, 1), &data));
    hashTable[42].data ^= U64(1) << 33;  // another writer's score
    EXPECT_FALSE(probeHashTable(keyAt(42, 1), &data));
}
