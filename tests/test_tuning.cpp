// The network's search parameters as options of the tuning build: the listed values are the
// record's own, and a tuner's values reach the record within their ranges.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <vector>

#include "searchParameters.h"
#include "testSupport.h"
#include "tuning.h"

namespace {

// The record byte for byte (its padding too), to put back after a test.
struct savedRecordStruct {
    std::vector<unsigned char> bytes;
    savedRecordStruct() : bytes(sizeof(searchParametersStruct)) {
        std::memcpy(bytes.data(), &networkSearchParameters, bytes.size());
    }
    bool unchanged() const { return std::memcmp(bytes.data(), &networkSearchParameters, bytes.size()) == 0; }
    ~savedRecordStruct() { std::memcpy(&networkSearchParameters, bytes.data(), bytes.size()); }
};

} // namespace

// A tuner starts by sending every listed default: that must leave the search as it is, the
// reduction factor included, whose listed hundredths are not its exact value.
TEST(Tuning, ListedDefaultsLeaveTheRecordAsItIs) {
    initEngineTablesOnce();
    const savedRecordStruct saved;
    const std::regex line("option name (Tune [A-Za-z0-9]+) type spin default (-?[0-9]+) min (-?[0-9]+) max (-?[0-9]+)");
    const std::vector<std::string> lines = tuningOptionLines();
    ASSERT_GE(lines.size(), 10u);
    for (const std::string& text : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        EXPECT_TRUE(isTuningOption(m[1]));
        EXPECT_LE(std::stoi(m[3]), std::stoi(m[2])) << text;
        EXPECT_LE(std::stoi(m[2]), std::stoi(m[4])) << text;
        setTuningOption(m[1], std::stoll(m[2]));
    }
    EXPECT_TRUE(saved.unchanged());
    EXPECT_FALSE(isTuningOption("Hash"));
}

TEST(Tuning, ValuesReachTheRecordWithinTheirRanges) {
    initEngineTablesOnce();
    const savedRecordStruct saved;
    setTuningOption("Tune LmpScale", 150);
    for (int d = 0; d < 8; d++)
        EXPECT_NEAR(networkSearchParameters.lmp[d], handSetSearchParameters.lmp[d] * 1.5, 0.5) << d;
    setTuningOption("Tune ReverseFutilityStep", 100000); // clamped to the top of its range
    EXPECT_EQ(networkSearchParameters.futility[1], 200);
    EXPECT_EQ(networkSearchParameters.futility[7], 1400);
    EXPECT_EQ(networkSearchParameters.futility[0], 0);

    // a new reduction factor refills the table the search reads
    setTuningOption("Tune LmrFactor", 80);
    int8_t expected[LMRDEPTHS][LMRLATEMOVES];
    fillReductionTable(expected, networkSearchParameters.lmrBase, 0.8);
    EXPECT_EQ(std::memcmp(expected, networkSearchParameters.lmr, sizeof expected), 0);
    EXPECT_NE(std::memcmp(handSetSearchParameters.lmr, networkSearchParameters.lmr, sizeof expected), 0);
    // the hand-set evaluation's record is never touched
    EXPECT_EQ(handSetSearchParameters.futility[1], 65);
}
