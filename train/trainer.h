// The trainer's shared records: sizes and scales of the network file, the packed training
// positions, the parameter layout, and the functions of its data and file modules.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nnueFormat.h"

// The file's sizes and scales under the trainer's short names.
constexpr int INPUTS = NNUEINPUTS, HIDDEN = NNUEHIDDEN, MAXBUCKETS = NNUEMAXBUCKETS, MAXMEN = 32;
constexpr int QA = NNUEQA, SCALE = NNUESCALE, MAXSCORE = NNUEMAXSCORE, MAXOUTPUTWEIGHT = NNUEMAXOUTPUTWEIGHT;
constexpr size_t HEADERBYTES = NNUEHEADERBYTES;
// A sum of 32 feature weights and the bias stays within the int16 accumulator.
constexpr float FEATUREWEIGHTLIMIT = 32000.0f / QA / 32;
constexpr double BETA1 = 0.9, BETA2 = 0.999, ADAMEPSILON = 1e-8;
constexpr float INITFEATURESTDDEV = 0.05f, INITFEATUREBIAS = 0.1f;
constexpr int REPORTEDBADLINES = 3;
constexpr double PI = 3.14159265358979323846;

inline size_t weightBytes(int buckets) { return nnueWeightBytes(size_t(buckets)); }
inline int bucketOf(int men, int buckets) { return nnueBucketOf(men, buckets); }

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

struct dataSetStruct {
    std::vector<packedPositionStruct> positions;
    size_t skipped = 0;
    std::vector<std::string> firstProblems; // "file:line: reason" of the first skipped lines
    size_t files = 0;
};

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
const char* skipBlanks(const char* p, const char* end);
// The placement field of a FEN into board (codes, -1 empty, square 0 = a1); nullptr when it is
// sound, otherwise what is wrong with it. p is left after the field.
const char* parsePlacement(const char*& p, const char* end, int8_t board[64], int* men);
// One '<FEN> | <score> | <result>' line; nullptr when it gives a position, otherwise the reason
// it is skipped.
const char* parseDataLine(const char* p, const char* end, packedPositionStruct* out);
// The *.txt files of a folder in name order, or the one file named.
std::vector<std::string> dataFiles(const std::string& path);
// Appends the positions of a file, counting and noting the lines skipped.
void readDataFile(const std::string& name, dataSetStruct* data);

// The parameters as one array: feature weights (feature by feature), feature biases, output
// weights (bucket by bucket, the side to move's 256 first), output biases; and the output weights'
// scale in the file (256 or 64), which sets how large they may grow.
struct layoutStruct {
    int buckets = 1;
    int qb = 256;
    size_t featureBias = size_t(INPUTS) * HIDDEN;
    size_t outputWeights = featureBias + HIDDEN;
    size_t outputBias = 0;
    size_t total = 0;
    explicit layoutStruct(int b, int scale = 256)
        : buckets(b), qb(scale), outputBias(outputWeights + size_t(b) * 2 * HIDDEN), total(outputBias + size_t(b)) {}
    float outputWeightLimit() const { return float(MAXOUTPUTWEIGHT) / float(qb); }
};

struct adamStruct {
    std::vector<float> moment, square;
    long long steps = 0;
};

// One Adam step with the threads' gradients summed in thread order, the weights (not the biases)
// decayed by lr * weightDecay apart from the gradient (AdamW), then clipped to what the quantised
// file holds. The parameters are split between the threads.
void adamStep(std::vector<float>* net, const layoutStruct& layout, adamStruct* adam,
              const std::vector<std::vector<float>>& grads, double lr, double weightDecay, int threads);

// Normal deviates from the generator alone (Box-Muller), so a seed gives the same network everywhere.
struct randomStruct {
    std::mt19937_64 engine;
    explicit randomStruct(uint64_t seed) : engine(seed) {}
    double uniform() { return double(engine() >> 11) * (1.0 / 9007199254740992.0); }
    double normal() {
        const double u = 1.0 - uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * PI * v);
    }
    size_t below(size_t n) { return size_t(engine() % n); }
};

struct quantisedNetworkStruct {
    int buckets = 1;
    int qb = 256;
    std::vector<int16_t> featureBias, featureWeights, outputWeights;
    std::vector<int32_t> outputBias;
};

// The file's integers of a float network, rounded and clamped as the file holds them.
quantisedNetworkStruct quantise(const std::vector<float>& net, const layoutStruct& layout);
// Written beside the target and renamed over it, so that a failed write never leaves half a file.
void writeNetwork(const std::string& path, const quantisedNetworkStruct& q);
// Reads a network file of any version the engine reads, checking it as the engine does.
quantisedNetworkStruct readNetwork(const std::string& path);
// The float network of a file; a file of one output gives the same output to every bucket.
std::vector<float> dequantise(const quantisedNetworkStruct& q, const layoutStruct& layout);
// The engine's score: int16 accumulators that wrap, exact 64-bit sums, truncating divisions.
int quantisedScore(const quantisedNetworkStruct& q, const uint16_t* whiteFeatureList, int count, int blackToMove);

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
