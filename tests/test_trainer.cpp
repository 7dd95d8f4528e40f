// The network trainer through its binary: gradients against finite differences, a short training
// whose file the engine scores exactly as the trainer does, and bad data and files refused cleanly.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "engineProcess.h"
#include "testSupport.h"

namespace {

const std::string DATA = KESTRUNE_TEST_DATA;
const std::string SAMPLE = DATA + "/nnue-train-sample.txt";

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct trainerRunStruct {
    int status;
    std::string out, err;
};

trainerRunStruct runTrainer(const std::string& arguments, const tempDirStruct& dir) {
    const std::string command = std::string(KESTRUNE_TRAINER) + " " + arguments + " >" + dir.path + "/stdout.txt 2>" +
                                dir.path + "/stderr.txt";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readText(dir.path + "/stdout.txt"), readText(dir.path + "/stderr.txt")};
}

double numberAfter(const std::string& text, const std::string& label) {
    const size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::stod(text.substr(at + label.size()));
}

// '<fen> | <score>' lines of the trainer's eval mode.
std::vector<int> trainerScores(const std::string& net, const std::vector<std::string>& fens, const tempDirStruct& dir) {
    std::string arguments = "--eval " + net;
    for (const std::string& fen : fens) arguments += " '" + fen + "'";
    const trainerRunStruct run = runTrainer(arguments, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<int> scores;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) scores.push_back(std::stoi(line.substr(line.rfind('|') + 1)));
    EXPECT_EQ(scores.size(), fens.size()) << run.out;
    return scores;
}

// Positions of 3, 10, 17, 26 and 32 men: several output buckets, both sides to move.
const std::vector<std::string> FENS = {
    "8/8/8/4k3/8/8/3KP3/8 b - - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k3/1p3ppp/8/8/3n4/8/PP3PPP/2R1K2R b K - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
};

} // namespace

TEST(Trainer, AnalyticGradientsEqualFiniteDifferences) {
    tempDirStruct dir;
    const trainerRunStruct run = runTrainer("--gradient-check", dir);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("gradient check passed"), std::string::npos) << run.out;
}

// Trains 1 and 8 buckets on the sample (and 8 at the output scale of 64, with the cosine schedule
// and weight decay): the loss falls, the log and the file are written, the file is close to the
// float network, and the engine's network score equals the trainer's.
// A 1-bucket file starts an 8-bucket training with every bucket the same.
TEST(Trainer, TrainsAndTheEngineScoresTheFileAsTheTrainerDoes) {
    tempDirStruct dir;
    std::vector<std::pair<std::string, std::vector<int>>> nets;
    for (const auto& [buckets, qb] : {std::pair{1, 256}, std::pair{8, 256}, std::pair{8, 64}}) {
        const std::string name = "net" + std::to_string(buckets) + "-" + std::to_string(qb);
        const std::string net = dir.path + "/" + name + ".nnue";
        const std::string recipe = qb == 64 ? " --qb 64 --schedule cosine --lr-end 1e-5 --weight-decay 0.01" : "";
        const trainerRunStruct run = runTrainer("--data " + SAMPLE + " --out " + net + " --epochs 4 --batch 64 --buckets " +
                                                    std::to_string(buckets) + recipe,
                                                dir);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::string log = readText(dir.path + "/" + name + ".log");
        EXPECT_NE(log.find("parsed 286 positions from 1 file(s), 0 lines skipped"), std::string::npos) << log;
        const double first = numberAfter(log, "epoch 1: train loss "), last = numberAfter(log, "epoch 4: train loss ");
        EXPECT_GT(first, 0) << log;
        EXPECT_LT(last, first * 0.8) << log;
        const double apart = numberAfter(log, "against the float network: mean ");
        EXPECT_GE(apart, 0) << log;
        EXPECT_LT(apart, 5) << log;
        const std::string bytes = readText(net);
        ASSERT_EQ(bytes.size(), 32 + 2 * 256 + 2 * 768 * 256 + size_t(buckets) * (2 * 512 + 4));
        EXPECT_EQ(bytes.substr(0, 8), "KSTRNNUE");
        EXPECT_EQ(bytes[8], qb == 64 ? 4 : 3);
        EXPECT_EQ(bytes[20], char(buckets));
        nets.push_back({net, trainerScores(net, FENS, dir)});
    }
    EXPECT_NE(nets[0].second, nets[1].second);
    EXPECT_NE(nets[1].second, nets[2].second);

    engineProcess engine;
    engine.send("setoption name Use NNUE value true");
    for (const auto& [net, scores] : nets) {
        engine.send("setoption name EvalFile value " + net);
        EXPECT_EQ(engine.waitFor("info string EvalFile"), "info string EvalFile set to : " + net);
        for (size_t i = 0; i < FENS.size(); i++) {
            engine.send("position fen " + FENS[i]);
            engine.send("eval");
            const std::string line = engine.waitFor("network (");
            EXPECT_NE(line.find("side to move's view: " + std::to_string(scores[i])), std::string::npos)
                << net << " " << FENS[i] << ": " << line;
        }
    }
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);

    // with a learning rate of 0 the 8-bucket network is the 1-bucket one in every bucket
    const std::string widened = dir.path + "/widened.nnue";
    const trainerRunStruct run = runTrainer("--data " + SAMPLE + " --out " + widened + " --init " + nets[0].first +
                                                " --epochs 1 --lr 0 --buckets 8",
                                            dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(trainerScores(widened, FENS, dir), nets[0].second);
}

// The trainer's quantised pass on the test networks gives the scores kept beside them, which the
// engine's evaluation is held to as well.
TEST(Trainer, QuantisedScoresEqualTheKeptScoresOfTheTestNetworks) {
    tempDirStruct dir;
    for (const std::string name : {"nnue-test", "nnue-test-buckets"}) {
        std::ifstream in(DATA + "/" + name + "-expected.txt");
        std::vector<std::string> fens;
        std::vector<int> kept;
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            const size_t bar = line.rfind(" | ");
            fens.push_back(line.substr(0, bar));
            kept.push_back(std::stoi(line.substr(bar + 3)));
        }
        ASSERT_GT(fens.size(), 50u) << name;
        EXPECT_EQ(trainerScores(DATA + "/" + name + ".nnue", fens, dir), kept) << name;
    }
}

TEST(Trainer, BadDataLinesAreSkippedAndCounted) {
    tempDirStruct dir;
    std::ifstream sample(SAMPLE);
    std::string good[3];
    for (std::string& line : good) std::getline(sample, line);
    const std::vector<std::string> bad = {
        "no bars at all",
        "rnbqkbnrp/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 10 | 0.5",    // a rank of 9
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP w KQkq - 0 1 | 10 | 0.5",              // 7 ranks
        "QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/8/8/8 w - - 0 1 | 0 | 0.5",   // 40 men
        "rnbqkbnr/ppppXppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 10 | 0.5",     // unknown man
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | ten | 0.5",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | nan | 0.5",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 | 10 | 2",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR | 10 | 0.5",                   // no side to move
        std::string("rnbqkbnr/pppppppp/8/8/8/8/PPPP") + '\0' + "PPP/RNBQKBNR w - - 0 1 | 1 | 1",
    };
    const std::string path = dir.path + "/data.txt";
    {
        std::ofstream out(path, std::ios::binary);
        out << good[0] << "\n";
        for (const std::string& line : bad) out << line << "\r\n\n";
        out << good[1] << "\n" << good[2]; // the last line without its newline
    }
    trainerRunStruct run = runTrainer("--data " + path + " --out " + dir.path + "/net.nnue --epochs 1", dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("parsed 3 positions from 1 file(s), 10 lines skipped"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("skipped " + path + ":2: an unknown character in the placement"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(path + ":4: a rank of the wrong length"), std::string::npos) << run.out;

    // a folder of files, none of them with a usable line
    const std::string folder = dir.path + "/folder";
    std::filesystem::create_directory(folder);
    std::ofstream(folder + "/junk.txt") << bad[0] << "\n" << bad[3] << "\n";
    std::ofstream(folder + "/ignored.csv") << good[0] << "\n";
    run = runTrainer("--data " + folder + " --out " + dir.path + "/net.nnue", dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kestrune_trainer: no positions in the data " + folder + "\n");
}

// A missing data file, damaged network files and bad arguments: one line, a failing status.
TEST(Trainer, MissingDataDamagedNetworksAndBadArgumentsFailWithOneLine) {
    tempDirStruct dir;
    const std::string net = dir.path + "/net.nnue";
    ASSERT_EQ(runTrainer("--data " + SAMPLE + " --out " + net + " --epochs 1 --buckets 8", dir).status, 0);
    std::string bytes = readText(net);
    auto damaged = [&](const std::string& name, std::string content) {
        std::ofstream(dir.path + "/" + name, std::ios::binary) << content;
        return dir.path + "/" + name;
    };
    std::string flipped = bytes;
    flipped[5000] ^= 4;
    const std::string train = "--data " + SAMPLE + " --out " + dir.path + "/out.nnue";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--data " + dir.path + "/missing.txt --out " + net, "missing.txt: no such file or folder"},
        {train + " --init " + damaged("flipped.nnue", flipped), "checksum mismatch"},
        {train + " --init " + damaged("short.nnue", bytes.substr(0, bytes.size() - 1)), "expected"},
        {train + " --init " + damaged("header.nnue", bytes.substr(0, 20)), "truncated"},
        {train + " --init " + damaged("magic.nnue", "X" + bytes.substr(1)), "bad magic"},
        {train + " --init " + dir.path + "/none.nnue", "missing, unreadable or not a file"},
        {train + " --init " + net + " --buckets 1", "8 output buckets"},
        {"--eval " + dir.path + "/flipped.nnue 'rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1'", "checksum"},
        {"--eval " + net + " 'rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN w KQkq - 0 1'", "placement without 8 ranks"},
        {train + " --epochs many", "--epochs wants a number"},
        {train + " --buckets 4", "--buckets is 1 or 8"},
        {train + " --frobnicate 1", "unknown option --frobnicate"},
        {train + " --out " + dir.path + "/net.log", "would be its own log"},
    };
    for (const auto& [arguments, reason] : cases) {
        const trainerRunStruct run = runTrainer(arguments, dir);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_EQ(run.err.rfind("kestrune_trainer: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << arguments << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    // the failed runs left the trained file as it was
    EXPECT_EQ(readText(net), bytes);
}

// Positions of other games judge the epochs: the file keeps the one of the lowest test loss,
// also when the positions are seen mirrored half of the time.
TEST(Trainer, TestDataOfOtherGamesChoosesTheEpochWritten) {
    tempDirStruct dir;
    const std::string net = dir.path + "/net.nnue";
    const trainerRunStruct run = runTrainer("--data " + SAMPLE + " --test " + DATA + "/nnue-train-sample.txt --out " + net +
                                                " --epochs 6 --batch 64 --lr 0.01 --mirror 1 --validation 0",
                                            dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string log = readText(dir.path + "/net.log");
    EXPECT_NE(log.find("test data " + SAMPLE + ": 286 positions"), std::string::npos) << log;
    EXPECT_GT(numberAfter(log, "test loss before training "), 0) << log;
    double lowest = 1e9;
    int lowestEpoch = 0, lastWritten = 0;
    for (int epoch = 1; epoch <= 6; epoch++) {
        const std::string label = "epoch " + std::to_string(epoch) + ": ";
        const size_t at = log.find(label);
        ASSERT_NE(at, std::string::npos) << log;
        const std::string line = log.substr(at, log.find('\n', at) - at);
        const double loss = numberAfter(line, "test loss ");
        ASSERT_GT(loss, 0) << line;
        if (loss < lowest) lowest = loss, lowestEpoch = epoch;
        if (line.find("written") != std::string::npos) lastWritten = epoch;
    }
    EXPECT_EQ(lastWritten, lowestEpoch) << log;
}

// The whole recipe from a folder of games: converted, labelled, two stages of training, and a
// network the engine loads, with a log that holds both stages. The test games are the chunk of
// the highest seed, read from the file names alone: the folder's own name has dashes and digits.
TEST(Trainer, RecipeScriptTrainsFromAFolderOfGames) {
    tempDirStruct dir;
    const std::string data = dir.path + "/run-7/data-3";
    std::filesystem::create_directories(data + "/pgn");
    std::filesystem::copy_file(DATA + "/convert-games-uci.pgn", data + "/pgn/games-9.pgn");
    std::filesystem::copy_file(DATA + "/convert-games-san.pgn", data + "/pgn/games-10.pgn");
    const std::string net = dir.path + "/net.nnue";
    const std::string command = std::string("ENGINE=") + KESTRUNE_BINARY + " TRAINER=" + KESTRUNE_TRAINER +
                                " EPOCHS1=2 EPOCHS2=2 THREADS=1 bash " + KESTRUNE_SOURCE_DIR + "/train/train_net.sh " +
                                data + " " + net + " >" + dir.path + "/out.txt 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readText(dir.path + "/out.txt");
    const std::string log = readText(dir.path + "/net.log");
    for (const char* part : {"# Stage 1", "# Stage 2", "lambda 1 ", "epoch 2: train loss", "info string label lines",
                             "test loss before training", "info string convert wrote", "# test games (games-10.pgn)",
                             "# training games (1 chunks)"})
        EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
    engineProcess engine;
    engine.send("setoption name EvalFile value " + net);
    EXPECT_EQ(engine.waitFor("info string EvalFile"), "info string EvalFile set to : " + net);
    engine.send("quit");
    EXPECT_EQ(engine.waitExit(), 0);
}
