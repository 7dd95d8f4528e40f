// The learned evaluation: an efficiently updatable network of one hidden layer.
//
// Inputs: 768 = (colour, piece type, square) of every man, seen from both sides. White's view
// uses the square as it is and colour 0 for white men; black's view mirrors the square
// vertically (square ^ 56) and swaps the colours, so each side sees its own men as colour 0.
// Feature index = (colour * 6 + type - 1) * 64 + square, type 1 pawn .. 6 king.
//
// One hidden layer of 256 per view shares its weights between the two views; SCReLU; one or eight
// output buckets chosen by the number of men. The file, its quantisation and the forward pass's
// arithmetic are described in nnueFormat.h, which the trainer reads too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "general.h"
#include "nnueFormat.h"

struct networkStruct {
    alignas(32) int16_t featureWeights[NNUEINPUTS * NNUEHIDDEN];
    alignas(32) int16_t featureBias[NNUEHIDDEN];
    alignas(32) int16_t outputWeights[NNUEMAXBUCKETS][2 * NNUEHIDDEN];
    int32_t outputBias[NNUEMAXBUCKETS];
    int buckets; // 1 or NNUEMAXBUCKETS
    int qb = 256; // the output weights' scale, from the file's version
};

// The output bucket of a position with men men on the board.
inline int outputBucket(const networkStruct* net, int men) { return nnueBucketOf(men, net->buckets); }

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
