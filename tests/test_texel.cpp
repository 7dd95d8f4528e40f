// Texel tuning: reading labelled lines, sharing them among the tuning threads, the measured
// error against a direct computation, the command's report and shut-down with threads alive.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "engineProcess.h"
#include "eval.h"
#include "evaluate.h"
#include "testSupport.h"
#include "tools/texel.h"

namespace {

const char* const problemLine = "There seems to be a problem with the tuning file. tuning not executed";

std::string temporaryDirectory() {
    char pattern[] = "/tmp/kestrune-texel-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "/tmp";
}

std::string writeFile(const std::string& directory, const std::string& text) {
    const std::string path = directory + "/" + texelFilename;
    std::ofstream(path) << text;
    return path;
}

std::vector<std::string> runTexel(const std::string& path) {
    testing::internal::CaptureStdout();
    texelCommand(path);
    std::cout.flush();
    std::istringstream text(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(text, line)) lines.push_back(line);
    return lines;
}

// The error as this test computes it, on one position and without the tuning threads.
double directError(const std::vector<texelPosStruct>& records) {
    double sum = 0;
    testPositionStruct pos;
    for (const texelPosStruct& record : records) {
        EXPECT_TRUE(setPosition(record.fen, pos.get()));
        int score = evaluateN(0, pos.get());
        if (pos->sideToMove == BLACK) score = -score;
        const double expected = 1.0 / (1.0 + std::pow(10.0, -0.0043 * score));
        sum += (record.result - expected) * (record.result - expected);
    }
    return sum / double(records.size());
}

// The report after the 24 start-up lines of the threads.
void expectReport(const std::vector<std::string>& lines, const std::string& error) {
    ASSERT_EQ(lines.size(), size_t(NOFTEXELWORKERS) + 5);
    for (int k = 0; k < NOFTEXELWORKERS; k++) EXPECT_EQ(lines[k], "Lets go");
    EXPECT_EQ(lines[24], "Starting texel tuning....");
    EXPECT_EQ(lines[25], "Starting error " + error);
    EXPECT_EQ(lines[26], "");
    EXPECT_EQ(lines[27], " Improving: 1");
    EXPECT_EQ(lines[28], "Ending error " + error + " Minimum error " + error);
}

class TexelCommand : public testing::Test {
protected:
    std::string directory;
    void SetUp() override {
        initEngineTablesOnce();
        endTexelWorkers();
        texelPositions.clear();
        directory = temporaryDirectory();
    }
    void TearDown() override {
        endTexelWorkers();
        texelPositions.clear();
    }
};

} // namespace

TEST(TexelLines, LabelsFenWordsAndSkippedLines) {
    initEngineTablesOnce();
    texelPosStruct record{"untouched", -1};
    ASSERT_TRUE(parseTexelLine("8/8/8/8/8/8/8/K6k w - - 0 1 c9 \"1-0\";", &record));
    EXPECT_EQ(record.fen, "8/8/8/8/8/8/8/K6k w - - 0 1 ");
    EXPECT_EQ(record.result, 1.0);
    ASSERT_TRUE(parseTexelLine("  8/8/8/8/8/8/8/K6k   b\t-  - c9 \"1/2-1/2\";  ", &record));
    EXPECT_EQ(record.fen, "8/8/8/8/8/8/8/K6k b - - ");
    EXPECT_EQ(record.result, 0.5);
    ASSERT_TRUE(parseTexelLine("8/8/8/8/8/8/8/K6k w - - c9 \"0-1\";", &record));
    EXPECT_EQ(record.result, 0.0);
    record.result = -1;
    ASSERT_TRUE(parseTexelLine("8/8/8/8/8/8/8/K6k w - - c9 \"*\";", &record));
    EXPECT_EQ(record.result, 0.0); // any other label is a loss
    record.result = -1;
    ASSERT_TRUE(parseTexelLine("8/8/8/8/8/8/8/K6k w - - c9 x", &record));
    EXPECT_EQ(record.result, 0.0);

    // Skipped: no c9, nothing after it, a FEN the board rejects, no FEN at all.
    record = {"untouched", -1};
    for (const char* line : {"8/8/8/8/8/8/8/K6k w - - 0 1 \"1-0\";", "8/8/8/8/8/8/8/K6k w - - 0 1 c9",
                             "8/8/8/8/8/8/8/K6X w - - c9 \"1-0\";", "8/8/8/8/8/8/8/K5Rk w - - c9 \"1-0\";",
                             "8/8/8 w c9 \"1-0\";", "c9 \"1-0\";", "", "   "}) {
        EXPECT_FALSE(parseTexelLine(line, &record)) << line;
        EXPECT_EQ(record.fen, "untouched");
        EXPECT_EQ(record.result, -1);
    }
}

TEST_F(TexelCommand, ReportAndErrorOfBareKingsByHandTwice) {
    // Bare kings score 0, so every prediction is one half: (1/4 + 0 + 1/4 + 1/4) / 4.
    const std::string path = writeFile(directory, "8/8/8/8/8/8/8/K6k w - - 0 1 c9 \"1-0\";\n"
                                                  "no label here\n"
                                                  "8/8/8/8/8/8/8/K6k b - - 0 1 c9 \"1/2-1/2\";\n"
                                                  "8/8/8/8/8/8/8/K6X w - - 0 1 c9 \"1/2-1/2\";\n"
                                                  "8/8/8/8/8/8/8/k6K w - - 3 9 c9 \"0-1\";\n"
                                                  "k7/8/8/8/8/8/8/7K b - - c9 \"1-0\";");
    expectReport(runTexel(path), "0.1875");
    ASSERT_EQ(texelPositions.size(), 4u);
    // A second run appends the file again and starts a new pool.
    expectReport(runTexel(path), "0.1875");
    ASSERT_EQ(texelPositions.size(), 8u);
    for (int i = 0; i < 4; i++) EXPECT_EQ(texelPositions[i + 4].fen, texelPositions[i].fen);
}

TEST_F(TexelCommand, SharesKeepFileOrderAndTheLastTakesTheRest) {
    // 5 positions all go to the last worker; of 50, each worker takes two and the last one
    // also the four left over.
    for (int count : {5, 50}) {
        texelPositions.clear();
        std::string text;
        for (int i = 0; i < count; i++)
            text += "8/8/8/8/8/8/8/K6k w - - " + std::to_string(i) + " 1 c9 \"1-0\";\n";
        runTexel(writeFile(directory, text));
        ASSERT_EQ(theTexelWorkForce.workers.size(), size_t(NOFTEXELWORKERS));
        std::vector<std::string> shared;
        for (int k = 0; k < NOFTEXELWORKERS; k++) {
            const texelWorker& w = *theTexelWorkForce.workers[k];
            EXPECT_EQ(w.id, k);
            EXPECT_EQ(w.positions.size(), size_t(k < 23 ? count / 24 : count - 23 * (count / 24))) << k;
            for (const texelPosStruct& record : w.positions) shared.push_back(record.fen);
        }
        ASSERT_EQ(shared.size(), size_t(count));
        for (int i = 0; i < count; i++) EXPECT_EQ(shared[i], texelPositions[i].fen);
    }
}

TEST_F(TexelCommand, ErrorMatchesADirectComputationForBothSidesToMove) {
    // A queen up with either side to move, and pawn endings: the score must be turned to
    // white's view before the prediction, or the queen positions would cost almost 1 each.
    const std::string path = writeFile(directory, "k7/8/8/8/8/8/8/KQ6 w - - 0 1 c9 \"1-0\";\n"
                                                  "k7/8/8/8/8/8/8/KQ6 b - - 0 1 c9 \"1-0\";\n"
                                                  "kq6/8/8/8/8/8/8/K7 w - - 0 1 c9 \"0-1\";\n"
                                                  "4k3/pppp4/8/8/8/8/4PPPP/4K3 b - - 0 1 c9 \"1/2-1/2\";\n"
                                                  "4k3/ppp5/8/8/8/8/4PPPP/4K3 w - - 0 1 c9 \"1-0\";\n");
    runTexel(path);
    ASSERT_EQ(texelPositions.size(), 5u);
    const double expected = directError(texelPositions);
    EXPECT_LT(expected, 0.1);
    EXPECT_NEAR(theTexelWorkForce.calcTexelError(), expected, 1e-12);
}

TEST_F(TexelCommand, EmptyFileReportsNotANumber) {
    const std::vector<std::string> lines = runTexel(writeFile(directory, ""));
    ASSERT_EQ(lines.size(), size_t(NOFTEXELWORKERS) + 5);
    EXPECT_EQ(theTexelWorkForce.workers.size(), size_t(NOFTEXELWORKERS));
    const std::string start = lines[25].substr(std::string("Starting error ").size());
    EXPECT_TRUE(start == "nan" || start == "-nan") << lines[25];
    EXPECT_EQ(lines[28], "Ending error " + start + " Minimum error " + start);
}

TEST_F(TexelCommand, MissingFileOnlyReportsTheProblem) {
    const std::vector<std::string> lines = runTexel(directory + "/" + texelFilename);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], problemLine);
    EXPECT_TRUE(theTexelWorkForce.workers.empty());
    EXPECT_TRUE(texelPositions.empty());
    // A directory of that name is no tuning file either.
    const std::string path = directory + "/" + texelFilename;
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(runTexel(path), std::vector<std::string>{problemLine});
    EXPECT_TRUE(theTexelWorkForce.workers.empty());
}

TEST_F(TexelCommand, SampleOfTheRealFileAgainstADirectComputation) {
    const std::vector<std::string> lines = runTexel(std::string(KESTRUNE_TEST_DATA) + "/texel-sample.epd");
    ASSERT_EQ(texelPositions.size(), 3000u);
    ASSERT_EQ(lines.size(), size_t(NOFTEXELWORKERS) + 5);
    const std::string error = lines[25].substr(std::string("Starting error ").size());
    EXPECT_EQ(lines[28], "Ending error " + error + " Minimum error " + error);
    const double measured = std::stod(error);
    EXPECT_GT(measured, 0.05);
    EXPECT_LT(measured, 0.25);
    EXPECT_NEAR(theTexelWorkForce.calcTexelError(), directError(texelPositions), 1e-9);
}

TEST_F(TexelCommand, ThreadsAreJoinedAtExitAndByEndTexelWorkers) {
    const std::string path = writeFile(directory, "8/8/8/8/8/8/8/K6k w - - 0 1 c9 \"1-0\";\n");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Leaving the program with the tuning threads waiting must join them, not abort.
    EXPECT_EXIT(
        {
            runTexel(path);
            std::exit(theTexelWorkForce.workers.size() == size_t(NOFTEXELWORKERS) ? 3 : 4);
        },
        testing::ExitedWithCode(3), "");
    runTexel(path);
    endTexelWorkers();
    EXPECT_TRUE(theTexelWorkForce.workers.empty());
    endTexelWorkers();
    runTexel(path); // a new pool after the old one was ended
    EXPECT_EQ(theTexelWorkForce.workers.size(), size_t(NOFTEXELWORKERS));
}

TEST(TexelEndToEnd, CommandReadsTheWorkingDirectoryAndShutsDownWithThreadsAlive) {
    const std::string directory = temporaryDirectory();
    engineProcess engine({}, directory);
    engine.send("texel");
    engine.send("isready");
    std::vector<std::string> seen;
    ASSERT_EQ(engine.waitFor("readyok", 10000, &seen), "readyok");
    EXPECT_EQ(std::count(seen.begin(), seen.end(), problemLine), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Lets go"), 0);

    std::ifstream sample(std::string(KESTRUNE_TEST_DATA) + "/texel-sample.epd");
    std::ostringstream text;
    text << sample.rdbuf();
    writeFile(directory, text.str());
    engine.send("texel");
    engine.send("texel");
    engine.send("quit");
    seen.clear();
    std::string line;
    while (engine.readLine(&line, 30000)) seen.push_back(line);
    EXPECT_EQ(engine.waitExit(), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Lets go"), 2 * NOFTEXELWORKERS);
    std::vector<std::string> ends;
    for (const std::string& reply : seen)
        if (reply.rfind("Ending error ", 0) == 0) ends.push_back(reply);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0], ends[1]); // the file appended again keeps the mean

    // One-shot mode ends right after the run, with all 24 tuning threads waiting for work.
    engineProcess oneShot({"texel"}, directory);
    seen.clear();
    while (oneShot.readLine(&line, 30000)) seen.push_back(line);
    EXPECT_EQ(oneShot.waitExit(), 0);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), ends[0]);
}
