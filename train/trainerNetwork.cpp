// The network's training step (Adam) and its quantised file: writing, reading with the engine's
// checks, and the engine's integer forward pass.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "trainerNetwork.h"

namespace {

void putBytes(std::vector<uint8_t>* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out->push_back(uint8_t(value >> (8 * i)));
}
uint64_t getBytes(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; i++) value |= uint64_t(p[i]) << (8 * i);
    return value;
}

} // namespace

void adamStep(std::vector<float>* net, const layoutStruct& layout, adamStruct* adam,
              const std::vector<std::vector<float>>& grads, double lr, double weightDecay, int threads) {
    adam->steps++;
    const double correction1 = 1.0 - std::pow(BETA1, double(adam->steps));
    const double correction2 = 1.0 - std::pow(BETA2, double(adam->steps));
    const float stepSize = float(lr / correction1);
    const float rootCorrection2 = float(std::sqrt(correction2));
    const float keep = float(1.0 - lr * weightDecay), outputLimit = layout.outputWeightLimit();
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
            const bool featureWeight = i < layout.featureBias, outputWeight = i >= layout.outputWeights && i < layout.outputBias;
            if (featureWeight || outputWeight) p[i] *= keep;
            p[i] -= stepSize * m[i] / (std::sqrt(v[i]) / rootCorrection2 + float(ADAMEPSILON));
            if (featureWeight) p[i] = std::clamp(p[i], -FEATUREWEIGHTLIMIT, FEATUREWEIGHTLIMIT);
            else if (outputWeight) p[i] = std::clamp(p[i], -outputLimit, outputLimit);
        }
    });
}

quantisedNetworkStruct quantise(const std::vector<float>& net, const layoutStruct& layout) {
    quantisedNetworkStruct q;
    q.buckets = layout.buckets;
    q.qb = layout.qb;
    auto toInt16 = [](float f, float scale, int limit) {
        const float v = std::nearbyint(f * scale);
        return int16_t(std::isfinite(v) ? std::clamp(v, float(-limit), float(limit)) : 0.0f);
    };
    for (size_t i = 0; i < layout.featureBias; i++) q.featureWeights.push_back(toInt16(net[i], QA, 32767));
    for (int i = 0; i < HIDDEN; i++) q.featureBias.push_back(toInt16(net[layout.featureBias + size_t(i)], QA, 32767));
    for (size_t i = layout.outputWeights; i < layout.outputBias; i++) q.outputWeights.push_back(toInt16(net[i], float(q.qb), MAXOUTPUTWEIGHT));
    for (int b = 0; b < layout.buckets; b++) {
        const double v = std::nearbyint(double(float(net[layout.outputBias + size_t(b)] * float(QA)) * float(q.qb)));
        q.outputBias.push_back(int32_t(std::isfinite(v) ? std::clamp(v, -2147483648.0, 2147483647.0) : 0.0));
    }
    return q;
}

void writeNetwork(const std::string& path, const quantisedNetworkStruct& q) {
    std::vector<uint8_t> body;
    body.reserve(weightBytes(q.buckets));
    for (int16_t v : q.featureBias) putBytes(&body, uint16_t(v), 2);
    for (int16_t v : q.featureWeights) putBytes(&body, uint16_t(v), 2);
    for (int16_t v : q.outputWeights) putBytes(&body, uint16_t(v), 2);
    for (int32_t v : q.outputBias) putBytes(&body, uint32_t(v), 4);
    std::vector<uint8_t> file(NNUEMAGIC, NNUEMAGIC + 8);
    putBytes(&file, nnueVersionOfQb(q.qb), 4);
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
    if (std::memcmp(bytes.data(), NNUEMAGIC, 8) != 0) throw std::runtime_error(name + "bad magic word, not a Kestrune network file");
    const uint32_t version = uint32_t(getBytes(&bytes[8], 4)), inputs = uint32_t(getBytes(&bytes[12], 4));
    const uint32_t hidden = uint32_t(getBytes(&bytes[16], 4)), outputs = uint32_t(getBytes(&bytes[20], 4));
    if (version < NNUEOLDESTVERSION || version > NNUEVERSION)
        throw std::runtime_error(name + "version " + std::to_string(version) + ", this trainer reads versions " +
                                 std::to_string(NNUEOLDESTVERSION) + " to " + std::to_string(NNUEVERSION));
    const bool outputsFit = version < NNUEBUCKETSVERSION ? outputs == 1 : outputs == 1 || outputs == uint32_t(MAXBUCKETS);
    if (inputs != INPUTS || hidden != HIDDEN || !outputsFit)
        throw std::runtime_error(name + "architecture " + std::to_string(inputs) + "x" + std::to_string(hidden) + "x" +
                                 std::to_string(outputs) + " is not one of this trainer's");
    quantisedNetworkStruct q;
    q.buckets = int(outputs);
    q.qb = nnueQbOfVersion(version);
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
            net[layout.outputWeights + size_t(b) * 2 * HIDDEN + size_t(i)] = float(q.outputWeights[size_t(from) * 2 * HIDDEN + size_t(i)]) / float(q.qb);
        net[layout.outputBias + size_t(b)] = float(double(q.outputBias[size_t(from)]) / (double(QA) * q.qb));
    }
    return net;
}

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
    const int64_t score = (raw / QA + q.outputBias[size_t(bucket)]) * SCALE / (int64_t(QA) * q.qb);
    return int(std::clamp<int64_t>(score, -MAXSCORE, MAXSCORE));
}

std::string format(const char* pattern, ...) {
    char text[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}
