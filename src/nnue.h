// The learned evaluation: an efficiently updatable network of one hidden layer.
//
// Inputs: 768 = (colour, piece type, square) of every man, seen from both sides. White's view
// uses the square as it is and colour 0 for white men; black's view mirrors the square
// vertically (square ^ 56) and swaps the colours, so each side sees its own men as colour 0.
// Feature index = (colour * 6 + type - 1) * 64 + square, type 1 pawn .. 6 king.
//
// One hidden layer of 256 per view shares its weights between the two views. The accumulator of
// a view is bias + the sum of the weight columns of its active features (int16, wrapping).
// Activation: SCReLU, a = clamp(acc, 0, QA) squared. The output layer has one or eight buckets,
// chosen by the number of men on the board (eight: bucket (men - 2) / 4), so that the endgame
// and the middlegame weigh the hidden layer each in their own way. It reads the side to move's
// view first, then the other's:
//   raw   = sum over the 512 of a_i * outputWeight[bucket]_i       (exact, 64-bit)
//   score = (raw / QA + outputBias[bucket]) * SCALE / (QA * QB)   (divisions truncate)
// with QA = 255 (feature weights and biases are float * 255), QB = 256 (output weights are
// float * 256, within +-128), the output bias is float * QA * QB, and SCALE = 400: the float
// network predicts centipawns / 400. The score is clamped to +-NNUEMAXSCORE. train/train.py
// quantises the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "general.h"

constexpr int NNUEINPUTS = 768;
constexpr int NNUEHIDDEN = 256;
constexpr int NNUEMAXBUCKETS = 8; // output buckets: a file has 1 or 8
constexpr int NNUEQA = 255;
constexpr int NNUEQB = 256;
constexpr int NNUESCALE = 400;
constexpr int NNUEMAXSCORE = 30000;
// Output weights beyond this size would overflow the 16-bit products of the fast path.
constexpr int NNUEMAXOUTPUTWEIGHT = 128;
// 2: output weights at QB = 256, one output; 3: the same with 1 or 8 output buckets. Both are read.
constexpr uint32_t NNUEVERSION = 3;
constexpr uint32_t NNUEOLDESTVERSION = 2;
constexpr char NNUEMAGIC[9] = "KSTRNNUE";
// File: magic (8 bytes), version, inputs, hidden, outputs = buckets (u32 each), FNV-1a 64 of the
// weight bytes (u64), then the weights, little-endian: feature biases (int16 x hidden), feature
// weights (int16 x inputs x hidden, feature by feature), output weights (int16 x 2 x hidden for
// each bucket in turn), output biases (int32 x buckets).
constexpr size_t NNUEHEADERBYTES = 32;
constexpr size_t nnueWeightBytes(size_t buckets) {
    return 2 * NNUEHIDDEN + 2 * size_t(NNUEINPUTS) * NNUEHIDDEN + buckets * (2 * 2 * NNUEHIDDEN + 4);
}
constexpr size_t nnueFileBytes(size_t buckets) { return NNUEHEADERBYTES + nnueWeightBytes(buckets); }
constexpr size_t NNUEMAXFILEBYTES = nnueFileBytes(NNUEMAXBUCKETS);

struct networkStruct {
    alignas(32) int16_t featureWeights[NNUEINPUTS * NNUEHIDDEN];
    alignas(32) int16_t featureBias[NNUEHIDDEN];
    alignas(32) int16_t outputWeights[NNUEMAXBUCKETS][2 * NNUEHIDDEN];
    int32_t outputBias[NNUEMAXBUCKETS];
    int buckets; // 1 or NNUEMAXBUCKETS
};

// The output bucket of a position with men men on the board.
inline int outputBucket(const networkStruct* net, int men) {
    if (net->buckets <= 1) return 0;
    const int bucket = (men - 2) / 4;
    return bucket < 0 ? 0 : bucket >= NNUEMAXBUCKETS ? NNUEMAXBUCKETS - 1 : bucket;
}

// One entry of a thread's per-ply stack: both views and the position they belong to.
struct alignas(32) accumulatorStruct {
    int16_t values[2][NNUEHIDDEN]; // [0] white's view, [1] black's view
    U64 key;                       // hashKey of the position; 0 with generation 0 = never filled
    uint32_t generation;           // the network it was computed with
};

// The network the search uses (never null once initNetwork ran) and its name for messages.
extern const networkStruct* currentNetwork;
// Bumped whenever another network is put in use: stamps accumulators and salts the eval cache.
extern uint32_t networkGeneration;
// Whether evaluateN uses the network; set from the option at the start of every search.
extern bool nnueActive;
// Salts the evaluation cache's keys of network scores, so that the cache never hands one
// evaluation's score (or another network's) to the other.
extern U64 networkCacheSalt;

// Checks a network file image; "" when usable (then net holds it), otherwise the reason.
std::string parseNetwork(const uint8_t* data, size_t size, networkStruct* net);
// FNV-1a 64 of bytes.
uint64_t fnv1a64(const uint8_t* data, size_t size);

// Puts the network built into the binary in use; false when that image is unusable.
bool initNetwork();
// The EvalFile option: "<internal>" or a path. A refused file leaves the network in use and
// writes one info string naming the file and the reason. Only while no search runs.
bool setEvalFile(const std::string& value);
std::string networkName();
// The eval command's network score (side to move's view) and the network's name, safe beside a
// search thread that loads another file; false when no network is loaded.
bool networkScoreOfCommand(const positionStruct* pos, int* score, std::string* name);
bool networkUsable();
// Uses the network for the searches from now on (when one is usable).
void setNetworkActive(bool on);

// Accumulators and the forward pass.
void refreshAccumulator(const positionStruct* pos, accumulatorStruct* acc, const networkStruct* net);
// The raw network score in centipawns from the side to move's view, read by output bucket.
int networkOutput(const accumulatorStruct* acc, int sideToMove, int bucket, const networkStruct* net);
int networkOutputPortable(const accumulatorStruct* acc, int sideToMove, int bucket, const networkStruct* net);
// The output bucket of pos for net.
int outputBucketOf(const positionStruct* pos, const networkStruct* net);
// The network's score of pos computed from scratch, from the side to move's view.
int networkScoreFresh(const positionStruct* pos);
// The network's score at ply, from the ply stack of pos (incremental), side to move's view.
int networkScoreAtPly(int ply, positionStruct* pos);
// The accumulator at ply after networkScoreAtPly (for tests).
const accumulatorStruct* accumulatorAtPly(int ply, const positionStruct* pos);
// Column updates, fast and portable: acc += column(feature) or acc -= column(feature).
void accumulatorAdd(int16_t* acc, const int16_t* column, bool portable);
void accumulatorSub(int16_t* acc, const int16_t* column, bool portable);
inline int featureIndex(int view, int piece, int square) {
    int colour = (piece & 1) ^ view;
    return (colour * 6 + (piece >> 1) - 1) * 64 + (view ? square ^ 56 : square);
}
