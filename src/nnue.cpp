// The learned evaluation: file loading, accumulators kept along the search's ply stack, and the
// forward pass (AVX2, SSE2 or NEON where the build has it, a plain loop giving the same numbers
// elsewhere).
#include "nnue.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "platform.h"
#include "settings.h"

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#ifndef KESTRUNE_EVALFILE
#error "KESTRUNE_EVALFILE names the network file built into the engine"
#endif

// The network built into the binary: the file's bytes, placed by the assembler.
asm(ASMREADONLYBEGIN
    ".balign 64\n"
    ".globl kestruneNetworkData\n"
    "kestruneNetworkData:\n"
    ".incbin \"" KESTRUNE_EVALFILE "\"\n"
    ".globl kestruneNetworkEnd\n"
    "kestruneNetworkEnd:\n"
    ".byte 0\n" ASMREADONLYEND);
extern "C" const uint8_t kestruneNetworkData[];
extern "C" const uint8_t kestruneNetworkEnd[];

const networkStruct* currentNetwork = nullptr;
uint32_t networkGeneration = 0;
bool nnueActive = false;
U64 networkCacheSalt = 0;

namespace {

// A network of zeros stands in until a usable one is loaded, so that the pointer is never null.
networkStruct emptyNetwork;
std::unique_ptr<networkStruct> loadedNetwork;
std::string loadedName = "none";
// The command loop may show a network score while a search thread loads a file after its bestmove.
std::mutex networkMutex;

constexpr int MAXWALK = 8; // moves replayed at most before a refresh from scratch is cheaper

uint32_t readU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t readU64(const uint8_t* p) { return uint64_t(readU32(p)) | uint64_t(readU32(p + 4)) << 32; }
int16_t readI16(const uint8_t* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

void putInUse(std::unique_ptr<networkStruct> net, const std::string& name) {
    std::lock_guard<std::mutex> lock(networkMutex);
    loadedNetwork = std::move(net);
    currentNetwork = loadedNetwork.get();
    loadedName = name;
    networkGeneration++;
    // the eval cache keeps working: entries of another evaluation carry another key
    U64 z = U64(networkGeneration) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    networkCacheSalt = (z ^ (z >> 31)) | 1;
}

std::string describeSize(size_t size) { return std::to_string(size) + " bytes"; }

// One feature change of a move: piece on square comes (+1) or goes (-1).
struct featureChangeStruct {
    int8_t piece;
    int8_t square;
    int8_t sign;
};
struct moveChangesStruct {
    featureChangeStruct change[4];
    int count;
};

inline void addChange(moveChangesStruct* c, int piece, int square, int sign) {
    c->change[c->count++] = featureChangeStruct{int8_t(piece), int8_t(square), int8_t(sign)};
}

inline bool isMan(int piece) { return piece >= WPAWN && piece <= BKING; }

// Takes the move that led from ply - 1 to ply back on a scratch board and notes what it changed;
// false when the records do not describe a move of this board (the caller then starts afresh).
bool undoOnBoard(const positionStruct* pos, int ply, int8_t* board, moveChangesStruct* changes) {
    const moveStruct m = pos->plyStack[ply - 1].currentMove;
    const int captured = pos->plyStack[ply].captured;
    const int from = m.from, to = m.to;
    changes->count = 0;
    if (from >= 64 || to >= 64 || (captured && !isMan(captured))) return false;
    switch (m.flag) {
    case NORMALMOVE:
    case DOUBLESTEP: {
        const int mover = board[to];
        if (!isMan(mover)) return false;
        board[from] = int8_t(mover);
        board[to] = int8_t(captured);
        addChange(changes, mover, from, -1);
        addChange(changes, mover, to, +1);
        if (captured) addChange(changes, captured, to, -1);
        break;
    }
    case ENPASSANT: {
        // the captured pawn stood on to; the capturing pawn is of the other colour
        const int side = (captured & 1) ^ 1;
        const int landing = side == WHITE ? to + 8 : to - 8;
        if (!captured || landing < 0 || landing >= 64) return false;
        const int mover = board[landing];
        if (mover != WPAWN + side) return false;
        board[landing] = 0;
        board[from] = int8_t(mover);
        board[to] = int8_t(captured);
        addChange(changes, mover, from, -1);
        addChange(changes, mover, landing, +1);
        addChange(changes, captured, to, -1);
        break;
    }
    case CASTLESHORT:
    case CASTLELONG: {
        const int king = board[to];
        if (king != WKING && king != BKING) return false;
        const int side = king & 1;
        const int index = castleIndex(side, m.flag);
        const int rookFrom = pos->castleRookSquare[index], rookTo = castleRookTarget[index];
        const int rook = WROOK + side;
        board[to] = 0;
        board[rookTo] = 0;
        board[rookFrom] = int8_t(rook);
        board[from] = int8_t(king);
        addChange(changes, king, from, -1);
        addChange(changes, rook, rookFrom, -1);
        addChange(changes, king, to, +1);
        addChange(changes, rook, rookTo, +1);
        break;
    }
    default: { // promotions
        const int promoted = board[to];
        if (!isPromotion(m.flag) || !isMan(promoted)) return false;
        const int pawn = WPAWN + (promoted & 1);
        board[from] = int8_t(pawn);
        board[to] = int8_t(captured);
        addChange(changes, pawn, from, -1);
        addChange(changes, promoted, to, +1);
        if (captured) addChange(changes, captured, to, -1);
        break;
    }
    }
    return true;
}

// next = previous with the move's columns added and taken away, each view read and written once.
void applyChanges(const accumulatorStruct* previous, accumulatorStruct* next, const moveChangesStruct& changes,
                  const networkStruct* net) {
    for (int view = 0; view < 2; view++) {
        const int16_t* adds[4];
        const int16_t* subs[4];
        int addCount = 0, subCount = 0;
        for (int i = 0; i < changes.count; i++) {
            const featureChangeStruct& c = changes.change[i];
            const int16_t* column = &net->featureWeights[size_t(featureIndex(view, c.piece, c.square)) * NNUEHIDDEN];
            if (c.sign > 0) adds[addCount++] = column;
            else subs[subCount++] = column;
        }
        const int16_t* src = previous->values[view];
        int16_t* dst = next->values[view];
#if defined(__AVX2__)
        for (int i = 0; i < NNUEHIDDEN; i += 16) {
            __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(src + i));
            for (int k = 0; k < addCount; k++)
                v = _mm256_add_epi16(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(adds[k] + i)));
            for (int k = 0; k < subCount; k++)
                v = _mm256_sub_epi16(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(subs[k] + i)));
            _mm256_store_si256(reinterpret_cast<__m256i*>(dst + i), v);
        }
#elif defined(__SSE2__)
        for (int i = 0; i < NNUEHIDDEN; i += 8) {
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(src + i));
            for (int k = 0; k < addCount; k++)
                v = _mm_add_epi16(v, _mm_load_si128(reinterpret_cast<const __m128i*>(adds[k] + i)));
            for (int k = 0; k < subCount; k++)
                v = _mm_sub_epi16(v, _mm_load_si128(reinterpret_cast<const __m128i*>(subs[k] + i)));
            _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), v);
        }
#elif defined(__ARM_NEON)
        for (int i = 0; i < NNUEHIDDEN; i += 8) {
            int16x8_t v = vld1q_s16(src + i);
            for (int k = 0; k < addCount; k++) v = vaddq_s16(v, vld1q_s16(adds[k] + i));
            for (int k = 0; k < subCount; k++) v = vsubq_s16(v, vld1q_s16(subs[k] + i));
            vst1q_s16(dst + i, v);
        }
#else
        for (int i = 0; i < NNUEHIDDEN; i++) {
            uint16_t v = uint16_t(src[i]);
            for (int k = 0; k < addCount; k++) v = uint16_t(v + uint16_t(adds[k][i]));
            for (int k = 0; k < subCount; k++) v = uint16_t(v - uint16_t(subs[k][i]));
            dst[i] = int16_t(v);
        }
#endif
    }
}

inline int finishOutput(int64_t raw, int32_t outputBias, int qb) {
    int64_t v = (raw / NNUEQA + outputBias) * NNUESCALE / (NNUEQA * qb);
    if (v > NNUEMAXSCORE) v = NNUEMAXSCORE;
    if (v < -NNUEMAXSCORE) v = -NNUEMAXSCORE;
    return int(v);
}

} // namespace

std::string parseNetwork(const uint8_t* data, size_t size, networkStruct* net) {
    if (size < NNUEHEADERBYTES)
        return "truncated: " + describeSize(size) + ", the header alone has " + describeSize(NNUEHEADERBYTES);
    if (std::memcmp(data, NNUEMAGIC, 8) != 0) return "bad magic word, not a Kestrune network file";
    const uint32_t version = readU32(data + 8);
    if (version < NNUEOLDESTVERSION || version > NNUEVERSION)
        return "version " + std::to_string(version) + ", this engine reads versions " +
               std::to_string(NNUEOLDESTVERSION) + " to " + std::to_string(NNUEVERSION);
    const uint32_t inputs = readU32(data + 12), hidden = readU32(data + 16), outputs = readU32(data + 20);
    const bool bucketsKnown = outputs == 1 || (version >= NNUEBUCKETSVERSION && outputs == NNUEMAXBUCKETS);
    if (inputs != NNUEINPUTS || hidden != NNUEHIDDEN || !bucketsKnown)
        return "architecture " + std::to_string(inputs) + "x" + std::to_string(hidden) + "x" + std::to_string(outputs) +
               ", this engine uses " + std::to_string(NNUEINPUTS) + "x" + std::to_string(NNUEHIDDEN) + "x" +
               (version >= NNUEBUCKETSVERSION ? "1 or " + std::to_string(NNUEMAXBUCKETS) : std::string("1"));
    const size_t expected = nnueFileBytes(outputs);
    if (size < expected) return "truncated: " + describeSize(size) + " of " + describeSize(expected);
    if (size > expected) return "trailing bytes: " + describeSize(size) + ", expected " + describeSize(expected);
    const uint8_t* w = data + NNUEHEADERBYTES;
    if (fnv1a64(w, nnueWeightBytes(outputs)) != readU64(data + 24)) return "checksum mismatch, the weights are damaged";

    size_t at = 0;
    for (int i = 0; i < NNUEHIDDEN; i++, at += 2) net->featureBias[i] = readI16(w + at);
    for (size_t i = 0; i < size_t(NNUEINPUTS) * NNUEHIDDEN; i++, at += 2) net->featureWeights[i] = readI16(w + at);
    for (uint32_t b = 0; b < outputs; b++) {
        for (int i = 0; i < 2 * NNUEHIDDEN; i++, at += 2) {
            const int16_t weight = readI16(w + at);
            if (weight > NNUEMAXOUTPUTWEIGHT || weight < -NNUEMAXOUTPUTWEIGHT)
                return "output weight " + std::to_string(weight) + " out of range +-" +
                       std::to_string(NNUEMAXOUTPUTWEIGHT);
            net->outputWeights[b][i] = weight;
        }
    }
    for (uint32_t b = 0; b < outputs; b++, at += 4) net->outputBias[b] = int32_t(readU32(w + at));
    // a one-bucket network answers from every bucket alike
    for (int b = int(outputs); b < NNUEMAXBUCKETS; b++) {
        std::memcpy(net->outputWeights[b], net->outputWeights[0], sizeof net->outputWeights[0]);
        net->outputBias[b] = net->outputBias[0];
    }
    net->buckets = int(outputs);
    net->qb = nnueQbOfVersion(version);
    return "";
}

bool initNetwork() {
    if (!currentNetwork) currentNetwork = &emptyNetwork;
    auto net = std::make_unique<networkStruct>();
    const size_t size = size_t(kestruneNetworkEnd - kestruneNetworkData);
    if (!parseNetwork(kestruneNetworkData, size, net.get()).empty()) return false;
    putInUse(std::move(net), "<internal>");
    return true;
}

bool setEvalFile(const std::string& value) {
    if (!currentNetwork) currentNetwork = &emptyNetwork;
    const std::string keeps = "; the network in use stays " + networkName();
    if (value == "<internal>") {
        auto net = std::make_unique<networkStruct>();
        const size_t size = size_t(kestruneNetworkEnd - kestruneNetworkData);
        std::string problem = parseNetwork(kestruneNetworkData, size, net.get());
        if (!problem.empty()) {
            sendLine("info string EvalFile <internal> refused: " + problem + keeps);
            return false;
        }
        putInUse(std::move(net), value);
        sendLine("info string EvalFile set to : <internal>");
        return true;
    }
    std::error_code error;
    std::ifstream file;
    if (std::filesystem::is_regular_file(value, error)) file.open(value, std::ios::binary);
    if (!file.is_open() || !file) {
        sendLine("info string EvalFile " + value + " refused: missing, unreadable or not a file" + keeps);
        return false;
    }
    // one byte more than a network tells a longer file without reading all of it
    std::vector<uint8_t> bytes(NNUEMAXFILEBYTES + 1);
    file.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    const size_t size = size_t(file.gcount());
    auto net = std::make_unique<networkStruct>();
    std::string problem = parseNetwork(bytes.data(), size, net.get());
    if (!problem.empty()) {
        sendLine("info string EvalFile " + value + " refused: " + problem + keeps);
        return false;
    }
    putInUse(std::move(net), value);
    sendLine("info string EvalFile set to : " + value);
    return true;
}

std::string networkName() {
    std::lock_guard<std::mutex> lock(networkMutex);
    return loadedName;
}
bool networkUsable() {
    std::lock_guard<std::mutex> lock(networkMutex);
    return loadedNetwork != nullptr;
}

bool networkScoreOfCommand(const positionStruct* pos, int* score, std::string* name) {
    std::lock_guard<std::mutex> lock(networkMutex);
    if (!loadedNetwork) return false;
    accumulatorStruct acc;
    refreshAccumulator(pos, &acc, loadedNetwork.get());
    *score = networkOutput(&acc, pos->sideToMove, outputBucketOf(pos, loadedNetwork.get()), loadedNetwork.get());
    *name = loadedName;
    return true;
}
void setNetworkActive(bool on) { nnueActive = on && networkUsable(); }

void accumulatorAdd(int16_t* acc, const int16_t* column, bool portable) {
#if defined(__AVX2__)
    if (!portable) {
        for (int i = 0; i < NNUEHIDDEN; i += 16) {
            __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc + i));
            __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(column + i));
            _mm256_store_si256(reinterpret_cast<__m256i*>(acc + i), _mm256_add_epi16(a, c));
        }
        return;
    }
#elif defined(__SSE2__)
    if (!portable) {
        for (int i = 0; i < NNUEHIDDEN; i += 8) {
            __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(acc + i));
            __m128i c = _mm_load_si128(reinterpret_cast<const __m128i*>(column + i));
            _mm_store_si128(reinterpret_cast<__m128i*>(acc + i), _mm_add_epi16(a, c));
        }
        return;
    }
#elif defined(__ARM_NEON)
    if (!portable) {
        for (int i = 0; i < NNUEHIDDEN; i += 8) vst1q_s16(acc + i, vaddq_s16(vld1q_s16(acc + i), vld1q_s16(column + i)));
        return;
    }
#endif
    (void)portable;
    for (int i = 0; i < NNUEHIDDEN; i++) acc[i] = int16_t(uint16_t(uint16_t(acc[i]) + uint16_t(column[i])));
}

void accumulatorSub(int16_t* acc, const int16_t* column, bool portable) {
#if defined(__AVX2__)
    if (!portable) {
        for (int i = 0; i < NNUEHIDDEN; i += 16) {
            __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc + i));
            __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(column + i));
            _mm256_store_si256(reinterpret_cast<__m256i*>(acc + i), _mm256_sub_epi16(a, c));
        }
        return;
    }
#elif defined(__SSE2__)
    if (!portable) {
        for (int i = 0; i < NNUEHIDDEN; i += 8) {
            __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(acc + i));
            __m128i c = _mm_load_si128(reinterpret_cast<const __m128i*>(column + i));
            _mm_store_si128(reinterpret_cast<__m128i*>(acc + i), _mm_sub_epi16(a, c));
        }
        return;
    }
#elif defined(__ARM_NEON)
    if (!portable) {
        for (int i = 0; i < NNUEHIDDEN; i += 8) vst1q_s16(acc + i, vsubq_s16(vld1q_s16(acc + i), vld1q_s16(column + i)));
        return;
    }
#endif
    (void)portable;
    for (int i = 0; i < NNUEHIDDEN; i++) acc[i] = int16_t(uint16_t(uint16_t(acc[i]) - uint16_t(column[i])));
}

void refreshAccumulator(const positionStruct* pos, accumulatorStruct* acc, const networkStruct* net) {
    for (int view = 0; view < 2; view++) {
        std::memcpy(acc->values[view], net->featureBias, sizeof(acc->values[view]));
        for (int piece = WPAWN; piece <= BKING; piece++) {
            for (U64 men = pos->pieceBB[piece]; men; men &= men - 1) {
                const int square = __builtin_ctzll(men);
                accumulatorAdd(acc->values[view], &net->featureWeights[size_t(featureIndex(view, piece, square)) * NNUEHIDDEN],
                               false);
            }
        }
    }
}

int outputBucketOf(const positionStruct* pos, const networkStruct* net) {
    return outputBucket(net, __builtin_popcountll(pos->pieceBB[WHITE] | pos->pieceBB[BLACK]));
}

int networkOutputPortable(const accumulatorStruct* acc, int sideToMove, int bucket, const networkStruct* net) {
    int64_t raw = 0;
    for (int half = 0; half < 2; half++) {
        const int16_t* values = acc->values[sideToMove ^ half];
        const int16_t* weights = &net->outputWeights[bucket][half * NNUEHIDDEN];
        for (int i = 0; i < NNUEHIDDEN; i++) {
            int v = values[i] < 0 ? 0 : values[i] > NNUEQA ? NNUEQA : values[i];
            raw += int64_t(v * v) * weights[i];
        }
    }
    return finishOutput(raw, net->outputBias[bucket], net->qb);
}

int networkOutput(const accumulatorStruct* acc, int sideToMove, int bucket, const networkStruct* net) {
#if defined(__AVX2__)
    // v * w fits 16 bits (|w| <= 128, v <= 255); each 32-bit lane sums 32 pairs of v * v * w.
    const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi16(NNUEQA);
    __m256i sum = _mm256_setzero_si256();
    for (int half = 0; half < 2; half++) {
        const int16_t* values = acc->values[sideToMove ^ half];
        const int16_t* weights = &net->outputWeights[bucket][half * NNUEHIDDEN];
        for (int i = 0; i < NNUEHIDDEN; i += 16) {
            __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(values + i));
            v = _mm256_min_epi16(_mm256_max_epi16(v, zero), top);
            __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(weights + i));
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_mullo_epi16(v, w), v));
        }
    }
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
    int64_t raw = 0;
    for (int32_t lane : lanes) raw += lane;
    return finishOutput(raw, net->outputBias[bucket], net->qb);
#elif defined(__SSE2__)
    // as above in 128 bits: each 32-bit lane sums 64 pairs, 1.07e9 at the most, within 32 bits
    const __m128i zero = _mm_setzero_si128(), top = _mm_set1_epi16(NNUEQA);
    __m128i sum = _mm_setzero_si128();
    for (int half = 0; half < 2; half++) {
        const int16_t* values = acc->values[sideToMove ^ half];
        const int16_t* weights = &net->outputWeights[bucket][half * NNUEHIDDEN];
        for (int i = 0; i < NNUEHIDDEN; i += 8) {
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(values + i));
            v = _mm_min_epi16(_mm_max_epi16(v, zero), top);
            __m128i w = _mm_load_si128(reinterpret_cast<const __m128i*>(weights + i));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_mullo_epi16(v, w), v));
        }
    }
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum);
    const int64_t raw = int64_t(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
    return finishOutput(raw, net->outputBias[bucket], net->qb);
#elif defined(__ARM_NEON)
    // as above, v * w in 16 bits; two sums of four 32-bit lanes take 64 products each, as AVX2's
    const int16x8_t zero = vdupq_n_s16(0), top = vdupq_n_s16(NNUEQA);
    int32x4_t low = vdupq_n_s32(0), high = vdupq_n_s32(0);
    for (int half = 0; half < 2; half++) {
        const int16_t* values = acc->values[sideToMove ^ half];
        const int16_t* weights = &net->outputWeights[bucket][half * NNUEHIDDEN];
        for (int i = 0; i < NNUEHIDDEN; i += 8) {
            const int16x8_t v = vminq_s16(vmaxq_s16(vld1q_s16(values + i), zero), top);
            const int16x8_t vw = vmulq_s16(v, vld1q_s16(weights + i));
            low = vmlal_s16(low, vget_low_s16(vw), vget_low_s16(v));
            high = vmlal_high_s16(high, vw, v);
        }
    }
    const int64_t raw = vaddlvq_s32(low) + vaddlvq_s32(high);
    return finishOutput(raw, net->outputBias[bucket], net->qb);
#else
    return networkOutputPortable(acc, sideToMove, bucket, net);
#endif
}

int networkScoreFresh(const positionStruct* pos) {
    accumulatorStruct acc;
    refreshAccumulator(pos, &acc, currentNetwork);
    return networkOutput(&acc, pos->sideToMove, outputBucketOf(pos, currentNetwork), currentNetwork);
}

int networkScoreAtPly(int ply, positionStruct* pos) {
    if (!pos->nnueStack || ply < 0 || ply >= MAXPLY) return networkScoreFresh(pos);
    const networkStruct* net = currentNetwork;
    const uint32_t generation = networkGeneration;
    accumulatorStruct* stack = pos->nnueStack;
    accumulatorStruct* target = &stack[ply];
    if (target->key != pos->hashKey || target->generation != generation) {
        // Walk back to the nearest ancestor whose accumulator is still that of the line played
        // (the key before the move into ply q + 1 is the key at ply q), then replay forward.
        int8_t board[64];
        std::memcpy(board, pos->board, sizeof board);
        moveChangesStruct changes[MAXWALK];
        int q = ply, steps = 0;
        bool found = false;
        while (q > 0 && steps < MAXWALK) {
            if (!undoOnBoard(pos, q, board, &changes[steps++])) break;
            q--;
            if (stack[q].key == pos->plyStack[q + 1].savedKeys[0] && stack[q].generation == generation) {
                found = true;
                break;
            }
        }
        if (!found) {
            refreshAccumulator(pos, target, net);
        } else {
            for (int r = q; r < ply; r++) {
                accumulatorStruct* next = &stack[r + 1];
                applyChanges(&stack[r], next, changes[--steps], net);
                next->key = r + 1 == ply ? pos->hashKey : pos->plyStack[r + 2].savedKeys[0];
                next->generation = generation;
            }
        }
        target->key = pos->hashKey;
        target->generation = generation;
    }
    return networkOutput(target, pos->sideToMove, outputBucketOf(pos, net), net);
}

const accumulatorStruct* accumulatorAtPly(int ply, const positionStruct* pos) {
    return pos->nnueStack ? &pos->nnueStack[ply] : nullptr;
}
