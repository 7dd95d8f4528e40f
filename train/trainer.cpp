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
#include <cstdarg>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int INPUTS = 768, HIDDEN = 256, MAXBUCKETS = 8, MAXMEN = 32;
constexpr int QA = 255, QB = 256, SCALE = 400, MAXSCORE = 30000, MAXOUTPUTWEIGHT = 128;
constexpr uint32_t VERSIONSINGLE = 2, VERSIONBUCKETS = 3;
constexpr char MAGIC[9] = "KSTRNNUE";
constexpr size_t HEADERBYTES = 32;
// A sum of 32 feature weights and the bias stays within the int16 accumulator.
constexpr float FEATUREWEIGHTLIMIT = 32000.0f / QA / 32;
constexpr float OUTPUTWEIGHTLIMIT = float(MAXOUTPUTWEIGHT) / QB;
constexpr double BETA1 = 0.9, BETA2 = 0.999, ADAMEPSILON = 1e-8;
constexpr float INITFEATURESTDDEV = 0.05f, INITFEATUREBIAS = 0.1f;
// The data's order is fixed whatever the seed, so that runs of different seeds hold out the same positions.
constexpr uint64_t DATAORDERSEED = 12345;
constexpr int REPORTEDBADLINES = 3;
constexpr int COMPAREDPOSITIONS = 32;
constexpr size_t PREFETCHAHEAD = 8;

size_t weightBytes(int buckets) {
    return 2 * HIDDEN + 2 * size_t(INPUTS) * HIDDEN + size_t(buckets) * (2 * 2 * HIDDEN + 4);
}

inline int bucketOf(int men, int buckets) {
    if (buckets == 1 || men < 2) return 0;
    return std::min((men - 2) / 4, buckets - 1);
}

// ---- training data ----

// One position in 32 bytes: the occupied squares and, in square order, the men on them as 4-bit
// codes colour * 6 + type (white 0); score and result from white's view.
struct packedPositionStruct {
    uint64_t occupied;
    uint8_t men[16];
    float score;
    uint8_t blackToMove;
    uint8_t result; // 0 loss, 1 draw, 2 win for white
    uint8_t pad[2];
};
static_assert(sizeof(packedPositionStruct) == 32, "positions are packed in 32 bytes");

// White's view features of a packed position, in square order; returns the number of men.
inline int whiteFeatures(const packedPositionStruct& p, uint16_t* out) {
    int count = 0;
    for (uint64_t occupied = p.occupied; occupied && count < MAXMEN; occupied &= occupied - 1) {
        const int square = __builtin_ctzll(occupied);
        const int code = (p.men[count >> 1] >> ((count & 1) * 4)) & 15;
        out[count++] = uint16_t(code * 64 + square);
    }
    return count;
}

// The same man seen from black's side: colours swapped, square mirrored.
inline uint16_t blackFeature(uint16_t white) {
    const int piece = white >> 6, square = white & 63;
    return uint16_t((piece < 6 ? piece + 6 : piece - 6) * 64 + (square ^ 56));
}

int pieceCode(char c) {
    switch (c) {
    case 'P': return 0;
    case 'N': return 1;
    case 'B': return 2;
    case 'R': return 3;
    case 'Q': return 4;
    case 'K': return 5;
    case 'p': return 6;
    case 'n': return 7;
    case 'b': return 8;
    case 'r': return 9;
    case 'q': return 10;
    case 'k': return 11;
    default: return -1;
    }
}

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The placement field of a FEN into board (codes, -1 empty, square 0 = a1); nullptr when it is
// sound, otherwise what is wrong with it. p is left after the field.
const char* parsePlacement(const char*& p, const char* end, int8_t board[64], int* men) {
    std::fill(board, board + 64, int8_t(-1));
    int rank = 7, file = 0, count = 0;
    for (; p < end && !isBlank(*p) && *p != '|'; p++) {
        const char c = *p;
        if (c == '/') {
            if (file != 8 || rank == 0) return "a rank of the wrong length";
            rank--;
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file += c - '0';
            if (file > 8) return "a rank of the wrong length";
        } else {
            const int code = pieceCode(c);
            if (code < 0) return "an unknown character in the placement";
            if (file >= 8) return "a rank of the wrong length";
            if (++count > MAXMEN) return "more than 32 men";
            board[rank * 8 + file++] = int8_t(code);
        }
    }
    if (rank != 0 || file != 8) return "a placement without 8 ranks of 8 squares";
    *men = count;
    return nullptr;
}

const char* skipBlanks(const char* p, const char* end) {
    while (p < end && isBlank(*p)) p++;
    return p;
}

template <typename number> const char* parseNumber(const char*& p, const char* end, number* value) {
    p = skipBlanks(p, end);
    if (p < end && *p == '+') p++;
    auto [next, error] = std::from_chars(p, end, *value);
    if (error != std::errc() || !std::isfinite(*value)) return "a score or result that is not a number";
    p = next;
    return nullptr;
}

// One '<FEN> | <score> | <result>' line; nullptr when it gives a position, otherwise the reason
// it is skipped.
const char* parseDataLine(const char* p, const char* end, packedPositionStruct* out) {
    int8_t board[64];
    int men = 0;
    p = skipBlanks(p, end);
    if (const char* problem = parsePlacement(p, end, board, &men)) return problem;
    p = skipBlanks(p, end);
    if (p == end || (*p != 'w' && *p != 'b') || (p + 1 < end && !isBlank(p[1]) && p[1] != '|'))
        return "no side to move after the placement";
    out->blackToMove = *p == 'b';
    const char* bar = static_cast<const char*>(std::memchr(p, '|', size_t(end - p)));
    if (!bar) return "no '|' before the score";
    p = bar + 1;
    float score;
    double result;
    if (const char* problem = parseNumber(p, end, &score)) return problem;
    p = skipBlanks(p, end);
    if (p == end || *p != '|') return "no '|' between the score and the result";
    p++;
    if (const char* problem = parseNumber(p, end, &result)) return problem;
    if (skipBlanks(p, end) != end) return "text after the result";
    if (result != 0.0 && result != 0.5 && result != 1.0) return "a result other than 1.0, 0.5 or 0.0";
    out->score = score;
    out->result = uint8_t(result * 2);
    out->occupied = 0;
    std::memset(out->men, 0, sizeof out->men);
    out->pad[0] = out->pad[1] = 0;
    for (int square = 0, count = 0; square < 64; square++) {
        if (board[square] < 0) continue;
        out->occupied |= 1ull << square;
        out->men[count >> 1] |= uint8_t(board[square] << ((count & 1) * 4));
        count++;
    }
    return nullptr;
}

struct dataSetStruct {
    std::vector<packedPositionStruct> positions;
    size_t skipped = 0;
    std::vector<std::string> firstProblems; // "file:line: reason" of the first skipped lines
    size_t files = 0;
};

std::vector<std::string> dataFiles(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<std::string> files;
    if (fs::is_directory(path, error)) {
        for (const auto& entry : fs::directory_iterator(path, error))
            if (entry.path().extension() == ".txt" && entry.is_regular_file(error)) files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        if (files.empty()) throw std::runtime_error("no data files (*.txt) in the folder " + path);
        return files;
    }
    if (!fs::is_regular_file(path, error)) throw std::runtime_error("cannot read the data " + path + ": no such file or folder");
    return {path};
}

void noteSkipped(dataSetStruct* data, const std::string& name, size_t line, const char* reason) {
    if (data->firstProblems.size() < REPORTEDBADLINES)
        data->firstProblems.push_back(name + ":" + std::to_string(line) + ": " + reason);
    data->skipped++;
}

// Reads the lines of a file in large blocks; a line longer than a block is skipped whole.
void readDataFile(const std::string& name, dataSetStruct* data) {
    constexpr size_t BLOCK = size_t(1) << 24;
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) throw std::runtime_error("cannot open the data file " + name + ": " + std::strerror(errno));
    std::vector<char> buffer(BLOCK);
    size_t kept = 0, lineNumber = 0;
    bool discarding = false; // inside a line too long for the buffer
    for (;;) {
        const size_t got = std::fread(buffer.data() + kept, 1, BLOCK - kept, file);
        if (got == 0 && std::ferror(file)) {
            std::fclose(file);
            throw std::runtime_error("error reading the data file " + name);
        }
        const bool last = got == 0;
        const char* p = buffer.data();
        const char* end = buffer.data() + kept + got;
        for (;;) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (!newline && !last) break;
            const char* lineEnd = newline ? newline : end;
            if (!newline && p == end) break;
            lineNumber++;
            if (discarding) {
                discarding = false;
            } else if (skipBlanks(p, lineEnd) != lineEnd) {
                packedPositionStruct position;
                if (const char* problem = parseDataLine(p, lineEnd, &position)) noteSkipped(data, name, lineNumber, problem);
                else data->positions.push_back(position);
            }
            p = newline ? newline + 1 : end;
            if (!newline) break;
        }
        if (last) break;
        kept = size_t(end - p);
        if (kept == BLOCK) { // one line fills the whole buffer
            if (!discarding) noteSkipped(data, name, lineNumber + 1, "a line longer than 16 MB");
            discarding = true;
            kept = 0;
        } else {
            std::memmove(buffer.data(), p, kept);
        }
    }
    std::fclose(file);
}

// ---- the float network and its gradients ----

// The parameters as one array: feature weights (feature by feature), feature biases, output
// weights (bucket by bucket, the side to move's 256 first), output biases.
struct layoutStruct {
    int buckets = 1;
    size_t featureBias = size_t(INPUTS) * HIDDEN;
    size_t outputWeights = featureBias + HIDDEN;
    size_t outputBias = 0;
    size_t total = 0;
    explicit layoutStruct(int b) : buckets(b), outputBias(outputWeights + size_t(b) * 2 * HIDDEN), total(outputBias + size_t(b)) {}
};

// A position ready for the network: white's features, the side to move and the target.
template <typename real> struct sampleStruct {
    uint16_t features[MAXMEN];
    int count;
    int blackToMove;
    real target;
};

struct lossSettingsStruct {
    double k = 400.0;
    double lambda = 0.8;
};

inline double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

template <typename real> sampleStruct<real> sampleOf(const packedPositionStruct& p, const lossSettingsStruct& settings) {
    sampleStruct<real> s;
    s.count = whiteFeatures(p, s.features);
    s.blackToMove = p.blackToMove;
    const double score = p.blackToMove ? -double(p.score) : double(p.score);
    const double result = p.blackToMove ? 1.0 - p.result * 0.5 : p.result * 0.5;
    s.target = real(settings.lambda * sigmoid(score / settings.k) + (1.0 - settings.lambda) * result);
    return s;
}

// Sums of 256 products with independent partial sums, so that the compiler can vectorise them.
template <typename real> real dotProduct(const real* a, const real* b) {
    real partial[16] = {};
    for (int i = 0; i < HIDDEN; i += 16)
        for (int j = 0; j < 16; j++) partial[j] += a[i + j] * b[i + j];
    real sum = 0;
    for (real v : partial) sum += v;
    return sum;
}

// target += row over the hidden layer, in 64-byte blocks: left to itself the compiler pairs the
// rows of two features and gathers one of them, several times slower.
template <typename real> inline void addRow(real* target, const real* row) {
    typedef real block __attribute__((vector_size(64)));
    for (int j = 0; j < HIDDEN; j += int(64 / sizeof(real))) {
        block t, r;
        std::memcpy(&t, target + j, sizeof t);
        std::memcpy(&r, row + j, sizeof r);
        t += r;
        std::memcpy(target + j, &t, sizeof t);
    }
}

// What the forward pass leaves for the backward pass.
template <typename real> struct forwardStruct {
    alignas(64) real acc[2][HIDDEN];       // [view], white's view first
    alignas(64) real activated[2][HIDDEN]; // [half], the side to move's first
    uint16_t features[2][MAXMEN];
    int bucket;
};

// The network's output (centipawns / 400 from the side to move's view).
template <typename real>
real networkOutput(const real* net, const layoutStruct& layout, const sampleStruct<real>& s, forwardStruct<real>* f) {
    for (int i = 0; i < s.count; i++) {
        f->features[0][i] = s.features[i];
        f->features[1][i] = blackFeature(s.features[i]);
    }
    for (int view = 0; view < 2; view++) {
        std::memcpy(f->acc[view], net + layout.featureBias, sizeof f->acc[view]);
        for (int i = 0; i < s.count; i++) addRow(f->acc[view], net + size_t(f->features[view][i]) * HIDDEN);
    }
    const int us = s.blackToMove;
    f->bucket = bucketOf(s.count, layout.buckets);
    for (int half = 0; half < 2; half++) {
        const real* a = f->acc[us ^ half];
        for (int i = 0; i < HIDDEN; i++) {
            const real v = std::min(std::max(a[i], real(0)), real(1));
            f->activated[half][i] = v * v;
        }
    }
    const real* outWeights = net + layout.outputWeights + size_t(f->bucket) * 2 * HIDDEN;
    return net[layout.outputBias + size_t(f->bucket)] + dotProduct(outWeights, f->activated[0]) +
           dotProduct(outWeights + HIDDEN, f->activated[1]);
}

// Squared error of one position; with grad, adds the gradient of weight * error to it.
template <typename real>
real sampleLoss(const real* net, const layoutStruct& layout, const sampleStruct<real>& s, real kScale, real weight,
                real* grad) {
    forwardStruct<real> f;
    const real output = networkOutput(net, layout, s, &f);
    const real predicted = real(1) / (real(1) + std::exp(-output * kScale));
    const real error = predicted - s.target;
    if (!grad) return error * error;

    const int us = s.blackToMove;
    const real* outWeights = net + layout.outputWeights + size_t(f.bucket) * 2 * HIDDEN;
    const real dOutput = weight * 2 * error * predicted * (1 - predicted) * kScale;
    grad[layout.outputBias + size_t(f.bucket)] += dOutput;
    real* gradOut = grad + layout.outputWeights + size_t(f.bucket) * 2 * HIDDEN;
    alignas(64) real dAcc[2][HIDDEN];
    for (int half = 0; half < 2; half++) {
        const int view = us ^ half;
        const real* a = f.acc[view];
        const real* w = outWeights + half * HIDDEN;
        real* g = gradOut + half * HIDDEN;
        for (int i = 0; i < HIDDEN; i++) {
            g[i] += dOutput * f.activated[half][i];
            // the clamp passes its gradient inside [0, 1]; at 0 the square's own gradient is 0
            dAcc[view][i] = a[i] > 0 && a[i] <= 1 ? dOutput * w[i] * 2 * a[i] : real(0);
        }
    }
    real* gradBias = grad + layout.featureBias;
    for (int i = 0; i < HIDDEN; i++) gradBias[i] += dAcc[0][i] + dAcc[1][i];
    for (int view = 0; view < 2; view++)
        for (int i = 0; i < s.count; i++) addRow(grad + size_t(f.features[view][i]) * HIDDEN, dAcc[view]);
    return error * error;
}

// Runs work(thread) on threads threads, the calling thread taking the first.
template <typename job> void runThreads(int threads, const job& work) {
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; t++) helpers.emplace_back([&work, t] { work(t); });
    work(0);
    for (std::thread& helper : helpers) helper.join();
}

// The summed squared errors of count positions; with grads, each thread's gradient of the mean
// loss in its own buffer. Thread t takes the t-th contiguous share, so the sums depend on the
// number of threads but never on their timing.
template <typename real, typename source>
double batchLoss(const real* net, const layoutStruct& layout, size_t count, const source& sampleAt, double kScale,
                 int threads, std::vector<std::vector<real>>* grads) {
    std::vector<double> losses(size_t(threads), 0.0);
    runThreads(threads, [&](int t) {
        real* grad = nullptr;
        if (grads) {
            std::vector<real>& buffer = (*grads)[size_t(t)];
            buffer.assign(layout.total, real(0));
            grad = buffer.data();
        }
        const size_t begin = count * size_t(t) / size_t(threads), end = count * size_t(t + 1) / size_t(threads);
        double sum = 0;
        for (size_t i = begin; i < end; i++)
            sum += double(sampleLoss(net, layout, sampleAt(i), real(kScale), real(1.0 / double(count)), grad));
        losses[size_t(t)] = sum;
    });
    double total = 0;
    for (double loss : losses) total += loss;
    return total;
}

struct adamStruct {
    std::vector<float> moment, square;
    long long steps = 0;
};

// One Adam step with the threads' gradients summed in thread order, then the weights clipped to
// what the quantised file holds. The parameters are split between the threads.
void adamStep(std::vector<float>* net, const layoutStruct& layout, adamStruct* adam,
              const std::vector<std::vector<float>>& grads, double lr, int threads) {
    adam->steps++;
    const double correction1 = 1.0 - std::pow(BETA1, double(adam->steps));
    const double correction2 = 1.0 - std::pow(BETA2, double(adam->steps));
    const float stepSize = float(lr / correction1);
    const float rootCorrection2 = float(std::sqrt(correction2));
    const size_t total = layout.total;
    runThreads(threads, [&](int t) {
        const size_t begin = total * size_t(t) / size_t(threads), end = total * size_t(t + 1) / size_t(threads);
        float* p = net->data();
        float* m = adam->moment.data();
        float* v = adam->square.data();
        for (size_t i = begin; i < end; i++) {
            float g = 0;
            for (const std::vector<float>& grad : grads) g += grad[i];
            m[i] = float(BETA1) * m[i] + float(1 - BETA1) * g;
            v[i] = float(BETA2) * v[i] + float(1 - BETA2) * g * g;
            p[i] -= stepSize * m[i] / (std::sqrt(v[i]) / rootCorrection2 + float(ADAMEPSILON));
            if (i < layout.featureBias) p[i] = std::clamp(p[i], -FEATUREWEIGHTLIMIT, FEATUREWEIGHTLIMIT);
            else if (i >= layout.outputWeights && i < layout.outputBias)
                p[i] = std::clamp(p[i], -OUTPUTWEIGHTLIMIT, OUTPUTWEIGHTLIMIT);
        }
    });
}

// Normal deviates from the generator alone (Box-Muller), so a seed gives the same network everywhere.
struct randomStruct {
    std::mt19937_64 engine;
    explicit randomStruct(uint64_t seed) : engine(seed) {}
    double uniform() { return double(engine() >> 11) * (1.0 / 9007199254740992.0); }
    double normal() {
        const double u = 1.0 - uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
    }
    size_t below(size_t n) { return size_t(engine() % n); }
};

template <typename real> std::vector<real> randomNetwork(const layoutStruct& layout, randomStruct* rng) {
    std::vector<real> net(layout.total);
    for (size_t i = 0; i < layout.featureBias; i++) net[i] = real(rng->normal() * INITFEATURESTDDEV);
    for (int i = 0; i < HIDDEN; i++) net[layout.featureBias + size_t(i)] = real(INITFEATUREBIAS);
    const double bound = 1.0 / std::sqrt(2.0 * HIDDEN);
    for (size_t i = layout.outputWeights; i < layout.total; i++) net[i] = real((2 * rng->uniform() - 1) * bound);
    return net;
}

// ---- the quantised file ----

struct quantisedNetworkStruct {
    int buckets = 1;
    std::vector<int16_t> featureBias, featureWeights, outputWeights;
    std::vector<int32_t> outputBias;
};

uint64_t fnv1a64(const uint8_t* data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; i++) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

void putBytes(std::vector<uint8_t>* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out->push_back(uint8_t(value >> (8 * i)));
}
uint64_t getBytes(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; i++) value |= uint64_t(p[i]) << (8 * i);
    return value;
}

quantisedNetworkStruct quantise(const std::vector<float>& net, const layoutStruct& layout) {
    quantisedNetworkStruct q;
    q.buckets = layout.buckets;
    auto toInt16 = [](float f, float scale, int limit) {
        const float v = std::nearbyint(f * scale);
        return int16_t(std::isfinite(v) ? std::clamp(v, float(-limit), float(limit)) : 0.0f);
    };
    for (size_t i = 0; i < layout.featureBias; i++) q.featureWeights.push_back(toInt16(net[i], QA, 32767));
    for (int i = 0; i < HIDDEN; i++) q.featureBias.push_back(toInt16(net[layout.featureBias + size_t(i)], QA, 32767));
    for (size_t i = layout.outputWeights; i < layout.outputBias; i++) q.outputWeights.push_back(toInt16(net[i], QB, MAXOUTPUTWEIGHT));
    for (int b = 0; b < layout.buckets; b++) {
        const double v = std::nearbyint(double(float(net[layout.outputBias + size_t(b)] * float(QA)) * float(QB)));
        q.outputBias.push_back(int32_t(std::isfinite(v) ? std::clamp(v, -2147483648.0, 2147483647.0) : 0.0));
    }
    return q;
}

// Written beside the target and renamed over it, so that a failed write never leaves half a file.
void writeNetwork(const std::string& path, const quantisedNetworkStruct& q) {
    std::vector<uint8_t> body;
    body.reserve(weightBytes(q.buckets));
    for (int16_t v : q.featureBias) putBytes(&body, uint16_t(v), 2);
    for (int16_t v : q.featureWeights) putBytes(&body, uint16_t(v), 2);
    for (int16_t v : q.outputWeights) putBytes(&body, uint16_t(v), 2);
    for (int32_t v : q.outputBias) putBytes(&body, uint32_t(v), 4);
    std::vector<uint8_t> file(MAGIC, MAGIC + 8);
    putBytes(&file, VERSIONBUCKETS, 4);
    putBytes(&file, INPUTS, 4);
    putBytes(&file, HIDDEN, 4);
    putBytes(&file, uint32_t(q.buckets), 4);
    putBytes(&file, fnv1a64(body.data(), body.size()), 8);
    file.insert(file.end(), body.begin(), body.end());
    const std::string temporary = path + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    bool written = out && std::fwrite(file.data(), 1, file.size(), out) == file.size();
    if (out) written = std::fclose(out) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot write the network file " + path);
    }
}

// Reads a version 2 or 3 network file, checking it as the engine does.
quantisedNetworkStruct readNetwork(const std::string& path) {
    const size_t largest = HEADERBYTES + weightBytes(MAXBUCKETS);
    std::error_code error;
    FILE* in = std::filesystem::is_regular_file(path, error) ? std::fopen(path.c_str(), "rb") : nullptr;
    if (!in) throw std::runtime_error("network " + path + ": missing, unreadable or not a file");
    std::vector<uint8_t> bytes(largest + 1);
    const size_t size = std::fread(bytes.data(), 1, bytes.size(), in);
    std::fclose(in);
    const std::string name = "network " + path + ": ";
    if (size < HEADERBYTES) throw std::runtime_error(name + "truncated (" + std::to_string(size) + " bytes)");
    if (std::memcmp(bytes.data(), MAGIC, 8) != 0) throw std::runtime_error(name + "bad magic word, not a Kestrune network file");
    const uint32_t version = uint32_t(getBytes(&bytes[8], 4)), inputs = uint32_t(getBytes(&bytes[12], 4));
    const uint32_t hidden = uint32_t(getBytes(&bytes[16], 4)), outputs = uint32_t(getBytes(&bytes[20], 4));
    if (version != VERSIONSINGLE && version != VERSIONBUCKETS)
        throw std::runtime_error(name + "version " + std::to_string(version) + ", this trainer reads versions 2 and 3");
    const bool outputsFit = version == VERSIONSINGLE ? outputs == 1 : outputs == 1 || outputs == uint32_t(MAXBUCKETS);
    if (inputs != INPUTS || hidden != HIDDEN || !outputsFit)
        throw std::runtime_error(name + "architecture " + std::to_string(inputs) + "x" + std::to_string(hidden) + "x" +
                                 std::to_string(outputs) + " is not one of this trainer's");
    quantisedNetworkStruct q;
    q.buckets = int(outputs);
    const size_t expected = HEADERBYTES + weightBytes(q.buckets);
    if (size != expected)
        throw std::runtime_error(name + std::to_string(size) + " bytes" + (size > expected ? " or more" : "") + ", expected " +
                                 std::to_string(expected));
    const uint8_t* w = bytes.data() + HEADERBYTES;
    if (fnv1a64(w, weightBytes(q.buckets)) != getBytes(&bytes[24], 8))
        throw std::runtime_error(name + "checksum mismatch, the weights are damaged");
    auto int16At = [&](size_t& at) {
        const int16_t v = int16_t(uint16_t(getBytes(w + at, 2)));
        at += 2;
        return v;
    };
    size_t at = 0;
    for (int i = 0; i < HIDDEN; i++) q.featureBias.push_back(int16At(at));
    for (size_t i = 0; i < size_t(INPUTS) * HIDDEN; i++) q.featureWeights.push_back(int16At(at));
    for (int i = 0; i < q.buckets * 2 * HIDDEN; i++) {
        q.outputWeights.push_back(int16At(at));
        if (std::abs(q.outputWeights.back()) > MAXOUTPUTWEIGHT)
            throw std::runtime_error(name + "output weight " + std::to_string(q.outputWeights.back()) + " out of range +-128");
    }
    for (int b = 0; b < q.buckets; b++, at += 4) q.outputBias.push_back(int32_t(uint32_t(getBytes(w + at, 4))));
    return q;
}

// The float network of a file; a file of one output gives the same output to every bucket.
std::vector<float> dequantise(const quantisedNetworkStruct& q, const layoutStruct& layout) {
    if (q.buckets != 1 && q.buckets != layout.buckets)
        throw std::runtime_error("the initial network has " + std::to_string(q.buckets) + " output buckets, the training " +
                                 std::to_string(layout.buckets));
    std::vector<float> net(layout.total);
    for (size_t i = 0; i < layout.featureBias; i++) net[i] = float(q.featureWeights[i]) / QA;
    for (int i = 0; i < HIDDEN; i++) net[layout.featureBias + size_t(i)] = float(q.featureBias[size_t(i)]) / QA;
    for (int b = 0; b < layout.buckets; b++) {
        const int from = q.buckets == 1 ? 0 : b;
        for (int i = 0; i < 2 * HIDDEN; i++)
            net[layout.outputWeights + size_t(b) * 2 * HIDDEN + size_t(i)] = float(q.outputWeights[size_t(from) * 2 * HIDDEN + size_t(i)]) / QB;
        net[layout.outputBias + size_t(b)] = float(double(q.outputBias[size_t(from)]) / (double(QA) * QB));
    }
    return net;
}

// The engine's score: int16 accumulators that wrap, exact 64-bit sums, truncating divisions.
int quantisedScore(const quantisedNetworkStruct& q, const uint16_t* whiteFeatureList, int count, int blackToMove) {
    uint16_t acc[2][HIDDEN];
    for (int view = 0; view < 2; view++) {
        for (int j = 0; j < HIDDEN; j++) acc[view][j] = uint16_t(q.featureBias[size_t(j)]);
        for (int i = 0; i < count; i++) {
            const uint16_t feature = view ? blackFeature(whiteFeatureList[i]) : whiteFeatureList[i];
            const int16_t* row = &q.featureWeights[size_t(feature) * HIDDEN];
            for (int j = 0; j < HIDDEN; j++) acc[view][j] = uint16_t(acc[view][j] + uint16_t(row[j]));
        }
    }
    const int bucket = bucketOf(count, q.buckets);
    const int16_t* weights = &q.outputWeights[size_t(bucket) * 2 * HIDDEN];
    int64_t raw = 0;
    for (int half = 0; half < 2; half++)
        for (int j = 0; j < HIDDEN; j++) {
            const int v = std::clamp(int(int16_t(acc[blackToMove ^ half][j])), 0, QA);
            raw += int64_t(v * v) * weights[half * HIDDEN + j];
        }
    const int64_t score = (raw / QA + q.outputBias[size_t(bucket)]) * SCALE / (int64_t(QA) * QB);
    return int(std::clamp<int64_t>(score, -MAXSCORE, MAXSCORE));
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// ---- the command line ----

struct optionsStruct {
    std::string data, out, init, schedule = "step";
    int epochs = 4, batch = 16384, threads = 2, buckets = 8;
    double lr = 1e-3, lrDecay = 0.7, validation = 0.01;
    lossSettingsStruct loss;
    long long limit = 0;
    uint64_t seed = 1;
};

const char* USAGE =
    "usage: kestrune_trainer --data <file or folder> --out <net> [--epochs 4] [--batch 16384] [--lr 0.001]\n"
    "         [--lr-decay 0.7] [--schedule step|cosine] [--lambda 0.8] [--k 400] [--threads 2] [--limit 0]\n"
    "         [--validation 0.01] [--seed 1] [--init <net>] [--buckets 1|8]\n"
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
        else if (option == "--epochs") o.epochs = int(whole(1, 100000));
        else if (option == "--batch") o.batch = int(whole(1, 1 << 24));
        else if (option == "--threads") o.threads = int(whole(1, 256));
        else if (option == "--buckets") {
            o.buckets = int(whole(1, MAXBUCKETS));
            if (o.buckets != 1 && o.buckets != MAXBUCKETS) throw std::runtime_error("--buckets is 1 or 8, not " + value);
        } else if (option == "--lr") o.lr = numberArgument(option, value, 0, 10);
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
    log.line(format("kestrune_trainer, %d threads, %d output bucket%s", o.threads, o.buckets, o.buckets > 1 ? "s" : ""));

    const layoutStruct layout(o.buckets);
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

    std::vector<float> best = net;
    double bestLoss = INFINITY, lr = o.lr;
    bool written = false;
    const auto trainStart = std::chrono::steady_clock::now();
    for (int epoch = 1; epoch <= o.epochs; epoch++) {
        if (o.schedule == "cosine")
            lr = o.epochs == 1 ? o.lr : o.lr * (0.01 + 0.99 * 0.5 * (1 + std::cos(M_PI * (epoch - 1) / (o.epochs - 1))));
        const auto epochStart = std::chrono::steady_clock::now();
        randomStruct shuffle(o.seed * 1000003 + uint64_t(epoch));
        for (size_t i = trainCount - 1; i > 0; i--) std::swap(order[i], order[shuffle.below(i + 1)]);
        double lossSum = 0;
        for (size_t start = 0; start < trainCount; start += size_t(o.batch)) {
            const size_t count = std::min(size_t(o.batch), trainCount - start);
            auto sampleAt = [&](size_t i) {
                // the positions come in random order: the next ones are fetched while this one is worked on
                if (start + i + PREFETCHAHEAD < trainCount) __builtin_prefetch(&positions[order[start + i + PREFETCHAHEAD]]);
                return sampleOf<float>(positions[order[start + i]], o.loss);
            };
            const double loss = batchLoss<float>(net.data(), layout, count, sampleAt, kScale, o.threads, &grads);
            if (!std::isfinite(loss))
                throw std::runtime_error(format("training diverged in epoch %d (the loss is not a number; try a lower --lr)%s",
                                                epoch, written ? ", the file keeps the best epoch before" : ""));
            lossSum += loss;
            adamStep(&net, layout, &adam, grads, lr, o.threads);
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

// ---- the other modes ----

// Analytic gradients of a tiny random problem against central differences, in double, through
// the same threaded batch code as the training; also the sum over 1 and 3 threads.
int gradientCheck() {
    constexpr int POSITIONS = 24, CHECKEDPERKIND = 120;
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
