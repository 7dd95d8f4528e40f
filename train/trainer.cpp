// Kestrune's network trainer: reads '<FEN> | <score> | <result>' lines, trains the float network
// with Adam on the CPU and writes the quantised file the engine reads.
//
//   kestrune_trainer --data data/train.txt --out nets/kestrune.nnue --epochs 4
//   kestrune_trainer --eval <net> <fen>...          the engine's quantised score of each FEN
//   kestrune_trainer --gradient-check               analytic gradients against finite differences
//
// The network: 768 inputs (colour * 6 + type) * 64 + square seen from both sides (black's view
// swaps the colours and mirrors the squares), a shared layer of 256 per view with SCReLU
// (clamp(a, 0, 1) squared), the side to move's half first, then 1 or 8 output buckets of 512
// weights and a bias, chosen by the number of men. The output times 400 is centipawns from the
// side to move's view. The loss is the mean of (sigmoid(cp / K) - target)^2 with
// target = lambda * sigmoid(score / K) + (1 - lambda) * result, both turned to the side to move.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "trainerNetwork.h"

namespace {

// The data's order is fixed whatever the seed, so that runs of different seeds hold out the same positions.
constexpr uint64_t DATAORDERSEED = 12345;
constexpr int COMPAREDPOSITIONS = 32;
constexpr size_t PREFETCHAHEAD = 8;

// Whether a position is seen mirrored in an epoch: half of them, another half each epoch.
bool mirrorOf(uint32_t index, int epoch) {
    uint64_t z = (uint64_t(index) << 20 ^ uint64_t(epoch)) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ull;
    return (z >> 40) & 1;
}

// The command line.

struct optionsStruct {
    std::string data, out, init, test, schedule = "step";
    bool mirror = false;
    int epochs = 4, batch = 16384, threads = 2, buckets = 8, qb = 256;
    double lr = 1e-3, lrDecay = 0.7, lrEnd = -1, weightDecay = 0, validation = 0.01;
    lossSettingsStruct loss;
    long long limit = 0;
    uint64_t seed = 1;
};

const char* USAGE =
    "usage: kestrune_trainer --data <file or folder> --out <net> [--epochs 4] [--batch 16384] [--lr 0.001]\n"
    "         [--lr-decay 0.7] [--schedule step|cosine] [--lr-end lr/100] [--weight-decay 0] [--lambda 0.8]\n"
    "         [--k 400] [--threads 2] [--limit 0] [--validation 0.01] [--seed 1] [--init <net>] [--buckets 1|8]\n"
    "         [--qb 256|64] [--mirror 0|1]\n"
    "         [--test <file or folder of other games>]\n"
    "       kestrune_trainer --eval <net> <fen>... | --eval <net> --fens <file>\n"
    "       kestrune_trainer --gradient-check\n";

double numberArgument(const std::string& option, const std::string& text, double low, double high) {
    double value = 0;
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || next != text.data() + text.size() || !(value >= low && value <= high))
        throw std::runtime_error(format("%s wants a number from %g to %g, not '%s'", option.c_str(), low, high, text.c_str()));
    return value;
}

optionsStruct parseOptions(const std::vector<std::string>& args) {
    optionsStruct o;
    for (size_t i = 0; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) throw std::runtime_error(option + " wants a value");
        const std::string& value = args[i + 1];
        auto whole = [&](double low, double high) {
            const double v = numberArgument(option, value, low, high);
            if (v != std::floor(v)) throw std::runtime_error(option + " wants a whole number, not '" + value + "'");
            return v;
        };
        if (option == "--data") o.data = value;
        else if (option == "--out") o.out = value;
        else if (option == "--init") o.init = value;
        else if (option == "--test") o.test = value;
        else if (option == "--mirror") o.mirror = whole(0, 1) == 1;
        else if (option == "--epochs") o.epochs = int(whole(1, 100000));
        else if (option == "--batch") o.batch = int(whole(1, 1 << 24));
        else if (option == "--threads") o.threads = int(whole(1, 256));
        else if (option == "--buckets") {
            o.buckets = int(whole(1, MAXBUCKETS));
            if (o.buckets != 1 && o.buckets != MAXBUCKETS) throw std::runtime_error("--buckets is 1 or 8, not " + value);
        } else if (option == "--qb") {
            o.qb = int(whole(64, 256));
            if (o.qb != 64 && o.qb != 256) throw std::runtime_error("--qb is 256 or 64, not " + value);
        } else if (option == "--lr") o.lr = numberArgument(option, value, 0, 10);
        else if (option == "--lr-end") o.lrEnd = numberArgument(option, value, 0, 10);
        else if (option == "--weight-decay") o.weightDecay = numberArgument(option, value, 0, 1);
        else if (option == "--lr-decay") o.lrDecay = numberArgument(option, value, 0, 10);
        else if (option == "--lambda") o.loss.lambda = numberArgument(option, value, 0, 1);
        else if (option == "--k") o.loss.k = numberArgument(option, value, 1, 100000);
        else if (option == "--validation") o.validation = numberArgument(option, value, 0, 0.9);
        else if (option == "--limit") o.limit = (long long)whole(0, 1e15);
        else if (option == "--seed") o.seed = uint64_t(whole(0, 1e15));
        else if (option == "--schedule") {
            if (value != "step" && value != "cosine") throw std::runtime_error("--schedule is step or cosine, not " + value);
            o.schedule = value;
        } else throw std::runtime_error("unknown option " + option);
    }
    if (o.data.empty() || o.out.empty()) throw std::runtime_error("--data and --out are needed");
    if (o.lrEnd < 0) o.lrEnd = o.lr / 100;
    return o;
}

struct logStruct {
    FILE* file = nullptr;
    void line(const std::string& text, bool printed = true) {
        char stamp[16];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
        if (printed) {
            std::printf("%s %s\n", stamp, text.c_str());
            std::fflush(stdout);
        }
        if (file) {
            std::fprintf(file, "%s %s\n", stamp, text.c_str());
            std::fflush(file);
        }
    }
    ~logStruct() {
        if (file) std::fclose(file);
    }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void trainWithLog(const optionsStruct& o, logStruct& log);

int train(const optionsStruct& o, const std::string& command) {
    logStruct log;
    const std::string logPath = std::filesystem::path(o.out).replace_extension(".log").string();
    if (logPath == o.out) throw std::runtime_error("--out " + o.out + " would be its own log: name the network *.nnue");
    log.file = std::fopen(logPath.c_str(), "w");
    if (!log.file) throw std::runtime_error("cannot write the log " + logPath);
    log.line("command: " + command);
    try {
        trainWithLog(o, log);
    } catch (const std::exception& e) {
        // the reason goes to the log as well; the caller prints it
        log.line(std::string("stopped: ") + e.what(), false);
        throw;
    }
    return 0;
}

void trainWithLog(const optionsStruct& o, logStruct& log) {
    log.line(format("kestrune_trainer, %d threads, %d output bucket%s, output weights at QB %d", o.threads, o.buckets,
                    o.buckets > 1 ? "s" : "", o.qb));

    const layoutStruct layout(o.buckets, o.qb);
    std::vector<float> net;
    if (!o.init.empty()) {
        net = dequantise(readNetwork(o.init), layout);
        log.line("initial weights from " + o.init);
    } else {
        randomStruct rng(o.seed);
        net = randomNetwork<float>(layout, &rng);
    }

    const auto parseStart = std::chrono::steady_clock::now();
    dataSetStruct data;
    const std::vector<std::string> files = dataFiles(o.data);
    uintmax_t totalBytes = 0;
    std::error_code error;
    for (const std::string& name : files) totalBytes += std::filesystem::file_size(name, error);
    data.positions.reserve(size_t(totalBytes / 40 + 16)); // only the pages used are ever touched
    for (const std::string& name : files) readDataFile(name, &data);
    data.files = files.size();
    for (const std::string& problem : data.firstProblems) log.line("skipped " + problem);
    log.line(format("parsed %zu positions from %zu file(s), %zu lines skipped, %.1f s", data.positions.size(), data.files,
                    data.skipped, secondsSince(parseStart)));
    std::vector<packedPositionStruct>& positions = data.positions;
    if (positions.empty()) throw std::runtime_error("no positions in the data " + o.data);
    if (positions.size() > UINT32_MAX) throw std::runtime_error("more than 4294967295 positions: use --limit or less data");
    {
        randomStruct order(DATAORDERSEED);
        for (size_t i = positions.size() - 1; i > 0; i--) std::swap(positions[i], positions[order.below(i + 1)]);
    }
    size_t n = positions.size();
    if (o.limit > 0 && n > size_t(o.limit)) n = size_t(o.limit);
    const size_t held = n >= 1000 ? size_t(double(n) * o.validation) : 0;
    const size_t trainCount = n - held;
    log.line(format("data %s: %zu positions, %zu for training, %zu held out", o.data.c_str(), n, trainCount, held));
    if (trainCount == 0) throw std::runtime_error("no positions left for training");
    // Positions of other games: the held-out share comes from the training games themselves,
    // whose neighbouring positions and shared result flatter it.
    dataSetStruct testData;
    if (!o.test.empty()) {
        for (const std::string& name : dataFiles(o.test)) readDataFile(name, &testData);
        if (testData.positions.empty()) throw std::runtime_error("no positions in the test data " + o.test);
        log.line(format("test data %s: %zu positions, %zu lines skipped", o.test.c_str(), testData.positions.size(),
                        testData.skipped));
    }

    const double kScale = double(SCALE) / o.loss.k;
    std::vector<std::vector<float>> grads(size_t(o.threads));
    adamStruct adam;
    adam.moment.assign(layout.total, 0.0f);
    adam.square.assign(layout.total, 0.0f);
    std::vector<uint32_t> order(trainCount);
    for (size_t i = 0; i < trainCount; i++) order[i] = uint32_t(i);
    auto validationLoss = [&](const std::vector<float>& weights) {
        auto sampleAt = [&](size_t i) { return sampleOf<float>(positions[trainCount + i], o.loss); };
        return batchLoss<float>(weights.data(), layout, held, sampleAt, kScale, o.threads, nullptr) / double(held);
    };
    auto testLoss = [&](const std::vector<float>& weights) {
        const std::vector<packedPositionStruct>& tests = testData.positions;
        auto sampleAt = [&](size_t i) { return sampleOf<float>(tests[i], o.loss); };
        return batchLoss<float>(weights.data(), layout, tests.size(), sampleAt, kScale, o.threads, nullptr) /
               double(tests.size());
    };
    if (!testData.positions.empty()) log.line(format("test loss before training %.6f", testLoss(net)));

    std::vector<float> best = net;
    double bestLoss = INFINITY, bestTestLoss = INFINITY, lr = o.lr;
    bool written = false;
    const auto trainStart = std::chrono::steady_clock::now();
    // the cosine falls from --lr to --lr-end over every batch of the run
    const size_t batchesPerEpoch = (trainCount + size_t(o.batch) - 1) / size_t(o.batch);
    const double totalBatches = double(batchesPerEpoch) * o.epochs;
    size_t batchesDone = 0;
    for (int epoch = 1; epoch <= o.epochs; epoch++) {
        const auto epochStart = std::chrono::steady_clock::now();
        randomStruct shuffle(o.seed * 1000003 + uint64_t(epoch));
        for (size_t i = trainCount - 1; i > 0; i--) std::swap(order[i], order[shuffle.below(i + 1)]);
        double lossSum = 0;
        for (size_t start = 0; start < trainCount; start += size_t(o.batch)) {
            const size_t count = std::min(size_t(o.batch), trainCount - start);
            auto sampleAt = [&](size_t i) {
                // the positions come in random order: the next ones are fetched while this one is worked on
                if (start + i + PREFETCHAHEAD < trainCount) __builtin_prefetch(&positions[order[start + i + PREFETCHAHEAD]]);
                const uint32_t index = order[start + i];
                return sampleOf<float>(positions[index], o.loss, o.mirror && mirrorOf(index, epoch));
            };
            const double loss = batchLoss<float>(net.data(), layout, count, sampleAt, kScale, o.threads, &grads);
            if (!std::isfinite(loss))
                throw std::runtime_error(format("training diverged in epoch %d (the loss is not a number; try a lower --lr)%s",
                                                epoch, written ? ", the file keeps the best epoch before" : ""));
            lossSum += loss;
            if (o.schedule == "cosine")
                lr = o.lrEnd + (o.lr - o.lrEnd) * 0.5 * (1 + std::cos(PI * double(batchesDone) / std::max(1.0, totalBatches - 1)));
            batchesDone++;
            adamStep(&net, layout, &adam, grads, lr, o.weightDecay, o.threads);
        }
        const double seconds = secondsSince(epochStart);
        std::string text = format("epoch %d: train loss %.6f", epoch, lossSum / double(trainCount));
        bool better = true;
        if (held) {
            const double loss = validationLoss(net);
            text += format(", validation loss %.6f", loss);
            // the file keeps the epoch that predicts the held-out positions best
            better = loss < bestLoss;
            bestLoss = std::min(bestLoss, loss);
        }
        if (!testData.positions.empty()) {
            // other games judge better than the held-out share of the same games
            const double loss = testLoss(net);
            text += format(", test loss %.6f", loss);
            better = loss < bestTestLoss;
            bestTestLoss = std::min(bestTestLoss, loss);
        }
        if (better) {
            writeNetwork(o.out, quantise(net, layout));
            best = net;
            written = true;
        }
        log.line(text + format(", lr %.2e, %.1f s, %.0f positions/s%s", lr, seconds, double(trainCount) / std::max(seconds, 1e-9),
                               better ? ", written" : ""));
        if (o.schedule == "step") lr *= o.lrDecay;
    }
    log.line(format("wrote %s after %.1f s of training", o.out.c_str(), secondsSince(trainStart)));

    // the written file against the float network it came from: the quantisation's cost
    const quantisedNetworkStruct q = readNetwork(o.out);
    const size_t first = held ? trainCount : 0, last = std::min(n, first + COMPAREDPOSITIONS);
    double sum = 0, largest = 0;
    for (size_t i = first; i < last; i++) {
        const sampleStruct<float> s = sampleOf<float>(positions[i], o.loss);
        forwardStruct<float> f;
        const double floating = double(networkOutput(best.data(), layout, s, &f)) * SCALE;
        const double diff = std::fabs(floating - quantisedScore(q, s.features, s.count, s.blackToMove));
        sum += diff;
        largest = std::max(largest, diff);
    }
    log.line(format("quantised file against the float network: mean %.2f cp, largest %.2f cp apart over %zu positions",
                    sum / double(last - first), largest, last - first));
}

}

namespace {

// The gradient check and the eval mode.

// Analytic gradients of a tiny random problem against central differences, in double, through
// the same threaded batch code as the training; also the sum over 1 and 3 threads.
int gradientCheck() {
    constexpr int POSITIONS = 24, CHECKEDPERKIND = 60;
    constexpr double STEP = 1e-6, TOLERANCE = 1e-6;
    bool passed = true;
    for (int buckets : {1, MAXBUCKETS}) {
        const layoutStruct layout(buckets);
        randomStruct rng(uint64_t(7 + buckets));
        std::vector<double> net = randomNetwork<double>(layout, &rng);
        // wider feature weights put accumulators below 0, inside [0, 1] and above 1
        for (size_t i = 0; i < layout.featureBias; i++) net[i] *= 4;
        std::vector<sampleStruct<double>> samples(POSITIONS);
        for (sampleStruct<double>& s : samples) {
            s.count = 2 + int(rng.below(MAXMEN - 1));
            uint64_t used = 0;
            for (int i = 0; i < s.count; i++) {
                int square;
                do square = int(rng.below(64));
                while (used >> square & 1);
                used |= 1ull << square;
                s.features[i] = uint16_t(rng.below(12) * 64 + size_t(square));
            }
            s.blackToMove = int(rng.below(2));
            s.target = rng.uniform();
        }
        const double kScale = double(SCALE) / 300.0;
        auto sampleAt = [&](size_t i) { return samples[i]; };
        auto loss = [&](const std::vector<double>& weights) {
            return batchLoss<double>(weights.data(), layout, POSITIONS, sampleAt, kScale, 1, nullptr) / POSITIONS;
        };
        std::vector<std::vector<double>> grads(2), gradsOne(1), gradsThree(3);
        batchLoss<double>(net.data(), layout, POSITIONS, sampleAt, kScale, 2, &grads);
        batchLoss<double>(net.data(), layout, POSITIONS, sampleAt, kScale, 1, &gradsOne);
        batchLoss<double>(net.data(), layout, POSITIONS, sampleAt, kScale, 3, &gradsThree);
        std::vector<double> analytic(layout.total);
        double threadsApart = 0;
        for (size_t i = 0; i < layout.total; i++) {
            analytic[i] = grads[0][i] + grads[1][i];
            const double three = gradsThree[0][i] + gradsThree[1][i] + gradsThree[2][i];
            threadsApart = std::max({threadsApart, std::fabs(analytic[i] - gradsOne[0][i]), std::fabs(three - gradsOne[0][i])});
        }
        // parameters of every kind: weights of active and idle features, biases, both halves of
        // the output weights of the buckets in use, the output biases
        std::vector<size_t> checked;
        for (int i = 0; i < CHECKEDPERKIND; i++) {
            const sampleStruct<double>& s = samples[rng.below(POSITIONS)];
            const uint16_t feature = s.features[rng.below(size_t(s.count))];
            checked.push_back(size_t(rng.below(2) ? blackFeature(feature) : feature) * HIDDEN + rng.below(HIDDEN));
            checked.push_back(rng.below(layout.featureBias));
            checked.push_back(layout.featureBias + rng.below(HIDDEN));
            const int bucket = bucketOf(samples[rng.below(POSITIONS)].count, buckets);
            checked.push_back(layout.outputWeights + size_t(bucket) * 2 * HIDDEN + rng.below(2 * HIDDEN));
        }
        for (int b = 0; b < buckets; b++) checked.push_back(layout.outputBias + size_t(b));
        double largest = 0, largestRelative = 0;
        size_t nonZero = 0;
        for (size_t index : checked) {
            const double saved = net[index];
            net[index] = saved + STEP;
            const double up = loss(net);
            net[index] = saved - STEP;
            const double down = loss(net);
            net[index] = saved;
            const double numeric = (up - down) / (2 * STEP);
            const double apart = std::fabs(numeric - analytic[index]);
            const double scale = std::max(std::fabs(numeric), std::fabs(analytic[index]));
            largest = std::max(largest, apart);
            if (scale > 1e-9) {
                largestRelative = std::max(largestRelative, apart / scale);
                nonZero++;
            }
            if (apart > TOLERANCE * scale + 1e-10) passed = false;
        }
        if (threadsApart > 1e-12) passed = false;
        std::printf("gradient check, %d bucket%s: %zu parameters (%zu with a gradient), largest difference %.2e "
                    "(relative %.2e), 1, 2 and 3 threads %.2e apart\n",
                    buckets, buckets > 1 ? "s" : "", checked.size(), nonZero, largest, largestRelative, threadsApart);
    }
    std::printf("gradient check %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}

// The quantised score of each FEN, as the engine computes it: '<fen> | <score>' lines.
int evalFens(const std::vector<std::string>& args) {
    if (args.size() < 3) throw std::runtime_error("--eval wants a network file and FENs (or --fens <file>)");
    const quantisedNetworkStruct q = readNetwork(args[1]);
    std::vector<std::string> fens(args.begin() + 2, args.end());
    if (args[2] == "--fens") {
        if (args.size() != 4) throw std::runtime_error("--fens wants one file");
        FILE* in = std::fopen(args[3].c_str(), "r");
        if (!in) throw std::runtime_error("cannot open the FEN file " + args[3]);
        fens.clear();
        std::string line;
        for (int c; (c = std::fgetc(in)) != EOF;) {
            if (c != '\n') line += char(c);
            if (c == '\n' || line.size() > 4096) {
                if (skipBlanks(line.data(), line.data() + line.size()) != line.data() + line.size()) fens.push_back(line);
                line.clear();
            }
        }
        if (!line.empty()) fens.push_back(line);
        std::fclose(in);
    }
    int status = 0;
    for (const std::string& fen : fens) {
        const char* p = skipBlanks(fen.data(), fen.data() + fen.size());
        const char* end = fen.data() + fen.size();
        int8_t board[64];
        int men = 0;
        const char* problem = parsePlacement(p, end, board, &men);
        p = skipBlanks(p, end);
        if (!problem && p < end && *p != 'w' && *p != 'b') problem = "the side to move is neither w nor b";
        if (problem) {
            std::fprintf(stderr, "kestrune_trainer: FEN '%s': %s\n", fen.c_str(), problem);
            status = 1;
            continue;
        }
        uint16_t features[MAXMEN];
        int count = 0;
        for (int square = 0; square < 64; square++)
            if (board[square] >= 0) features[count++] = uint16_t(board[square] * 64 + square);
        std::printf("%s | %d\n", fen.c_str(), quantisedScore(q, features, count, p < end && *p == 'b'));
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty() || args[0] == "--help" || args[0] == "-h") {
            std::fputs(USAGE, args.empty() ? stderr : stdout);
            return args.empty() ? 2 : 0;
        }
        if (args[0] == "--gradient-check") return gradientCheck();
        if (args[0] == "--eval") return evalFens(args);
        std::string command = "kestrune_trainer";
        for (const std::string& arg : args) command += " " + arg;
        return train(parseOptions(args), command);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kestrune_trainer: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrune_trainer: %s\n", e.what());
    }
    return 1;
}
