// The float network's forward and backward passes, for float (training) and double (the
// gradient check), and the threaded batch that sums them.
#pragma once

#include <algorithm>
#include <cmath>
#include <thread>

#include "trainer.h"

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

// With mirrored, the board is seen with its files swapped (a <-> h): the network has no input for
// castling rights, so the mirrored position is worth the same and doubles what a game teaches.
template <typename real>
sampleStruct<real> sampleOf(const packedPositionStruct& p, const lossSettingsStruct& settings, bool mirrored = false) {
    sampleStruct<real> s;
    s.count = whiteFeatures(p, s.features);
    if (mirrored)
        for (int i = 0; i < s.count; i++) s.features[i] ^= 7;
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

template <typename real> std::vector<real> randomNetwork(const layoutStruct& layout, randomStruct* rng) {
    std::vector<real> net(layout.total);
    for (size_t i = 0; i < layout.featureBias; i++) net[i] = real(rng->normal() * INITFEATURESTDDEV);
    for (int i = 0; i < HIDDEN; i++) net[layout.featureBias + size_t(i)] = real(INITFEATUREBIAS);
    const double bound = 1.0 / std::sqrt(2.0 * HIDDEN);
    for (size_t i = layout.outputWeights; i < layout.total; i++) net[i] = real((2 * rng->uniform() - 1) * bound);
    return net;
}
