// The network file, as the engine reads it and the trainer writes it: one description for both.
//
// File: magic "KSTRNNUE" (8 bytes), version, inputs, hidden, outputs = buckets (u32 each),
// FNV-1a 64 of the weight bytes (u64), then the weights, little-endian: feature biases
// (int16 x hidden), feature weights (int16 x inputs x hidden, feature by feature), output weights
// (int16 x 2 x hidden for each bucket in turn, the side to move's half first), output biases
// (int32 x buckets).
//
// Versions: 2 one output, output weights at QB = 256; 3 one or eight buckets at QB = 256; 4 the
// same as 3 at QB = 64, which lets the output weights reach +-2 with the same 16-bit products.
//
// Quantisation: feature weights and biases are float * QA (QA = 255), output weights float * QB,
// output biases float * QA * QB. The accumulator a of a view is bias + the sum of the columns of
// its active features (int16, wrapping); SCReLU gives clamp(a, 0, QA) squared, and
//   raw   = sum over the 2 x hidden of activation_i * outputWeight[bucket]_i   (exact, 64-bit)
//   score = (raw / QA + outputBias[bucket]) * SCALE / (QA * QB)               (divisions truncate)
// clamped to +-MAXSCORE: the float network predicts centipawns / SCALE.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char NNUEMAGIC[9] = "KSTRNNUE";
constexpr uint32_t NNUEOLDESTVERSION = 2, NNUEBUCKETSVERSION = 3, NNUEVERSION = 4;
constexpr int NNUEINPUTS = 768;
constexpr int NNUEHIDDEN = 256;
constexpr int NNUEMAXBUCKETS = 8; // output buckets: a file has 1 or 8
constexpr int NNUEQA = 255;
constexpr int NNUESCALE = 400;
constexpr int NNUEMAXSCORE = 30000;
// Output weights beyond this size would overflow the 16-bit products v * w of the fast path (v <= QA).
constexpr int NNUEMAXOUTPUTWEIGHT = 128;
constexpr size_t NNUEHEADERBYTES = 32;

// The output weights' scale of a file version (0 for a version no reader knows).
constexpr int nnueQbOfVersion(uint32_t version) {
    return version == 2 || version == 3 ? 256 : version == 4 ? 64 : 0;
}
constexpr uint32_t nnueVersionOfQb(int qb) { return qb == 64 ? 4 : NNUEBUCKETSVERSION; }

constexpr size_t nnueWeightBytes(size_t buckets) {
    return 2 * NNUEHIDDEN + 2 * size_t(NNUEINPUTS) * NNUEHIDDEN + buckets * (2 * 2 * NNUEHIDDEN + 4);
}
constexpr size_t nnueFileBytes(size_t buckets) { return NNUEHEADERBYTES + nnueWeightBytes(buckets); }
constexpr size_t NNUEMAXFILEBYTES = nnueFileBytes(NNUEMAXBUCKETS);

// The output bucket of a position with men men on the board, for a file of buckets outputs.
constexpr int nnueBucketOf(int men, int buckets) {
    if (buckets <= 1 || men < 2) return 0;
    const int bucket = (men - 2) / 4;
    return bucket >= buckets ? buckets - 1 : bucket;
}

inline uint64_t fnv1a64(const uint8_t* data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; i++) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}
