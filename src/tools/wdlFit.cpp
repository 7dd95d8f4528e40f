// Fitting the win/draw/loss model by maximum likelihood: Newton steps with the outer product of
// the gradients for the Hessian and a line search, over binned positions.
#include "wdlFit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "settings.h"
#include "toolWords.h"
#include "wdlModel.h"

namespace {

// Every tenth group of positions is held out of the fit that is measured.
constexpr uint64_t HELDOUTSHARE = 10;
constexpr int WDLMAXITERATIONS = 200;
constexpr double WDLMINSCALE = 1.0;
constexpr double WDLMINPROBABILITY = 1e-12;

constexpr int SCOREBINS = 2 * CONVERTMAXSCORE - 1;
constexpr int MATERIALBINS = WDLMATERIALMAX - WDLMATERIALMIN + 1;
constexpr size_t WDLBINS = size_t(SCOREBINS) * MATERIALBINS * 3;

double sigmoid(double u) { return 1.0 / (1.0 + std::exp(-u)); }

double materialX(int material) {
    return double(std::clamp(material, WDLMATERIALMIN, WDLMATERIALMAX)) / WDLMATERIALSCALE;
}

struct wdlBinStruct {
    double score;
    double x;
    int result;
    double count;
};

std::vector<wdlBinStruct> collectBins(const wdlDataStruct& data, wdlPart part) {
    std::vector<wdlBinStruct> bins;
    for (size_t index = 0; index < WDLBINS; index++) {
        uint32_t count = 0;
        if (part != WDLTEST) count += data.train[index];
        if (part != WDLTRAIN) count += data.test[index];
        if (!count) continue;
        int result = int(index % 3);
        int material = int(index / 3 % MATERIALBINS) + WDLMATERIALMIN;
        int score = int(index / 3 / MATERIALBINS) - (CONVERTMAXSCORE - 1);
        bins.push_back({double(score), materialX(material), result, double(count)});
    }
    return bins;
}

// Mean negative log-likelihood of the bins under parameters p = (a0, a1, b0, b1); with
// gradient and the outer-product estimate of the Hessian when asked. Infinite where a or b
// leaves its range (a must stay positive for draws to have a probability).
double wdlObjective(const double p[4], const std::vector<wdlBinStruct>& bins, double gradient[4],
                    double hessian[4][4]) {
    double loss = 0, total = 0;
    if (gradient) {
        std::fill(gradient, gradient + 4, 0.0);
        for (int i = 0; i < 4; i++) std::fill(hessian[i], hessian[i] + 4, 0.0);
    }
    for (const wdlBinStruct& bin : bins) {
        double a = p[0] + p[1] * bin.x, b = p[2] + p[3] * bin.x;
        if (a <= 0 || b < WDLMINSCALE) return INFINITY;
        double u = (bin.score - a) / b, v = (-bin.score - a) / b;
        double winChance = sigmoid(u), lossChance = sigmoid(v);
        double dWinA = -winChance * (1 - winChance) / b, dWinB = dWinA * u;
        double dLossA = -lossChance * (1 - lossChance) / b, dLossB = dLossA * v;
        double probability, dA, dB;
        if (bin.result == 2) {
            probability = winChance, dA = dWinA, dB = dWinB;
        } else if (bin.result == 0) {
            probability = lossChance, dA = dLossA, dB = dLossB;
        } else {
            probability = 1 - winChance - lossChance, dA = -dWinA - dLossA, dB = -dWinB - dLossB;
        }
        probability = std::max(probability, WDLMINPROBABILITY);
        loss -= bin.count * std::log(probability);
        total += bin.count;
        if (!gradient) continue;
        double g[4] = {-dA / probability, -dA / probability * bin.x, -dB / probability, -dB / probability * bin.x};
        for (int i = 0; i < 4; i++) {
            gradient[i] += bin.count * g[i];
            for (int j = 0; j < 4; j++) hessian[i][j] += bin.count * g[i] * g[j];
        }
    }
    if (total <= 0) return INFINITY;
    if (gradient) {
        for (int i = 0; i < 4; i++) {
            gradient[i] /= total;
            for (int j = 0; j < 4; j++) hessian[i][j] /= total;
        }
    }
    return loss / total;
}

// Solves the small system h d = -g over the parameters in use; false when it is singular.
bool newtonStep(double hessian[4][4], const double gradient[4], const std::vector<int>& used, double step[4]) {
    int n = int(used.size());
    double m[4][5];
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) m[i][j] = hessian[used[i]][used[j]];
        m[i][n] = -gradient[used[i]];
    }
    for (int col = 0; col < n; col++) {
        int pivot = col;
        for (int row = col + 1; row < n; row++)
            if (std::fabs(m[row][col]) > std::fabs(m[pivot][col])) pivot = row;
        if (std::fabs(m[pivot][col]) < 1e-300) return false;
        std::swap(m[col], m[pivot]);
        for (int row = 0; row < n; row++) {
            if (row == col) continue;
            double f = m[row][col] / m[col][col];
            for (int k = col; k <= n; k++) m[row][k] -= f * m[col][k];
        }
    }
    std::fill(step, step + 4, 0.0);
    for (int i = 0; i < n; i++) step[used[i]] = m[i][n] / m[i][i];
    return true;
}

} // namespace

wdlDataStruct::wdlDataStruct() : train(WDLBINS, 0), test(WDLBINS, 0) {}

bool wdlDataStruct::add(int score, int material, int result, uint64_t group) {
    if (std::abs(score) >= CONVERTMAXSCORE || result < 0 || result > 2) return false;
    int m = std::clamp(material, WDLMATERIALMIN, WDLMATERIALMAX) - WDLMATERIALMIN;
    size_t index = (size_t(score + CONVERTMAXSCORE - 1) * MATERIALBINS + size_t(m)) * 3 + size_t(result);
    // a multiplicative hash spreads the held-out games evenly over the file
    bool heldOut = (group * 0x9E3779B97F4A7C15ULL >> 32) % HELDOUTSHARE == 0;
    (heldOut ? test : train)[index]++;
    (heldOut ? testCount : trainCount)++;
    return true;
}

uint64_t wdlDataStruct::resultCount(int result) const {
    uint64_t count = 0;
    for (size_t index = size_t(result); index < WDLBINS; index += 3) count += train[index] + test[index];
    return count;
}

void wdlProbabilities(const wdlModelStruct& model, int score, int material, double p[3]) {
    double x = model.material ? materialX(material) : 0.0;
    double a = model.a0 + model.a1 * x, b = model.b0 + model.b1 * x;
    p[2] = sigmoid((score - a) / b);
    p[0] = sigmoid((-score - a) / b);
    p[1] = std::max(0.0, 1.0 - p[0] - p[2]);
}

wdlModelStruct fitWdl(const wdlDataStruct& data, wdlPart part, bool material) {
    wdlModelStruct model;
    model.material = material;
    std::vector<wdlBinStruct> bins = collectBins(data, part);
    if (bins.empty()) return model;
    std::vector<int> used = material ? std::vector<int>{0, 1, 2, 3} : std::vector<int>{0, 2};
    // the score-only fit starts the material fit, whose slopes start at zero
    double p[4] = {100.0, 0.0, 100.0, 0.0};
    if (material) {
        wdlModelStruct start = fitWdl(data, part, false);
        if (start.ok) p[0] = start.a0, p[2] = start.b0;
    }
    double gradient[4], hessian[4][4];
    double loss = wdlObjective(p, bins, gradient, hessian);
    for (int iteration = 0; iteration < WDLMAXITERATIONS && std::isfinite(loss); iteration++) {
        double step[4];
        if (!newtonStep(hessian, gradient, used, step)) break;
        double slope = 0;
        for (int i = 0; i < 4; i++) slope += gradient[i] * step[i];
        if (slope >= 0) // not a descent direction: a plain gradient step instead
            for (int i = 0; i < 4; i++) step[i] = -gradient[i], slope = -1;
        double t = 1.0, next[4], nextLoss = INFINITY;
        for (int tries = 0; tries < 40; tries++, t *= 0.5) {
            for (int i = 0; i < 4; i++) next[i] = p[i] + t * step[i];
            nextLoss = wdlObjective(next, bins, nullptr, nullptr);
            if (nextLoss <= loss + 1e-4 * t * slope) break;
        }
        if (!(nextLoss < loss)) break;
        bool converged = loss - nextLoss < 1e-13;
        std::copy(next, next + 4, p);
        loss = wdlObjective(p, bins, gradient, hessian);
        if (converged) break;
    }
    model.a0 = p[0], model.a1 = p[1], model.b0 = p[2], model.b1 = p[3];
    model.loss = loss;
    model.ok = std::isfinite(loss);
    return model;
}

double wdlLoss(const wdlModelStruct& model, const wdlDataStruct& data, wdlPart part) {
    double p[4] = {model.a0, model.a1, model.b0, model.b1};
    return wdlObjective(p, collectBins(data, part), nullptr, nullptr);
}

int fenMaterial(const std::string& fen) {
    int material = 0;
    for (char c : fen) {
        if (c == ' ') break;
        switch (c) {
            case 'P': case 'p': material += 1; break;
            case 'N': case 'n': case 'B': case 'b': material += 3; break;
            case 'R': case 'r': material += 5; break;
            case 'Q': case 'q': material += 9; break;
            default: break;
        }
    }
    return material;
}

std::vector<std::string> wdlReport(const wdlDataStruct& data) {
    std::vector<std::string> lines;
    uint64_t total = data.trainCount + data.testCount;
    if (!data.resultCount(0) || !data.resultCount(1) || !data.resultCount(2)) {
        lines.push_back("info string wdl fit needs wins, draws and losses among the positions (" + std::to_string(total) +
                        " positions)");
        return lines;
    }
    wdlModelStruct plain = fitWdl(data, WDLALL, false);
    wdlModelStruct withMaterial = fitWdl(data, WDLALL, true);
    if (!plain.ok || !withMaterial.ok) {
        lines.push_back("info string wdl fit failed");
        return lines;
    }
    lines.push_back("info string wdl fit over " + std::to_string(total) + " positions: a " + fixedDecimals(plain.a0, 1) + " b " +
                    fixedDecimals(plain.b0, 1) + " (log-loss " + fixedDecimals(plain.loss, 5) + ")");
    lines.push_back("info string wdl fit with material (x = material clamped to " + std::to_string(WDLMATERIALMIN) +
                    ".." + std::to_string(WDLMATERIALMAX) + ", / " + fixedDecimals(WDLMATERIALSCALE, 0) + "): a " +
                    fixedDecimals(withMaterial.a0, 1) + " + " + fixedDecimals(withMaterial.a1, 1) + " x, b " + fixedDecimals(withMaterial.b0, 1) +
                    " + " + fixedDecimals(withMaterial.b1, 1) + " x (log-loss " + fixedDecimals(withMaterial.loss, 5) + ")");
    if (!data.trainCount || !data.testCount) {
        lines.push_back("info string wdl held-out comparison needs more games");
        return lines;
    }
    wdlModelStruct trainPlain = fitWdl(data, WDLTRAIN, false);
    wdlModelStruct trainMaterial = fitWdl(data, WDLTRAIN, true);
    double lossPlain = wdlLoss(trainPlain, data, WDLTEST), lossMaterial = wdlLoss(trainMaterial, data, WDLTEST);
    lines.push_back("info string wdl held-out log-loss over " + std::to_string(data.testCount) +
                    " positions (one game in " + std::to_string(HELDOUTSHARE) + "): score only " + fixedDecimals(lossPlain, 5) +
                    ", with material " + fixedDecimals(lossMaterial, 5) + ": the material " +
                    (lossMaterial < lossPlain ? "improves" : "does not improve") + " the fit");
    return lines;
}

void wdlfitCommand(std::istringstream& words) {
    std::vector<std::string> names = collectWords(words);
    if (names.size() != 1) {
        sendLine("info string wdlfit needs one file of training lines: wdlfit <data.txt>");
        return;
    }
    std::ifstream in(names[0]);
    if (!in) {
        sendLine("info string wdlfit cannot read '" + names[0] + "'");
        return;
    }
    auto start = std::chrono::steady_clock::now();
    auto data = std::make_unique<wdlDataStruct>();
    long lines = 0, used = 0, notRead = 0, outside = 0;
    // The lines of one game follow each other with rising plies: a ply that does not rise starts
    // another group, so the held-out part is made of whole games (or runs of them).
    uint64_t group = 0;
    long lastPly = -1;
    std::string line;
    while (std::getline(in, line)) {
        lines++;
        size_t bar = line.find('|');
        size_t secondBar = bar == std::string::npos ? bar : line.find('|', bar + 1);
        if (secondBar == std::string::npos) {
            notRead++;
            continue;
        }
        char* end = nullptr;
        long score = std::strtol(line.c_str() + bar + 1, &end, 10);
        bool scoreRead = end != line.c_str() + bar + 1 && size_t(end - line.c_str()) <= secondBar;
        double value = std::strtod(line.c_str() + secondBar + 1, &end);
        int result = value == 1.0 ? 2 : value == 0.5 ? 1 : value == 0.0 ? 0 : -1;
        if (!scoreRead || end == line.c_str() + secondBar + 1 || result < 0) {
            notRead++;
            continue;
        }
        // the side to move is the second field, the move number the last one before the bar
        size_t space = line.find(' ');
        if (space == std::string::npos || space + 1 >= bar) {
            notRead++;
            continue;
        }
        size_t numberEnd = line.find_last_not_of(' ', bar - 1);
        size_t numberStart = line.find_last_of(' ', numberEnd) + 1;
        long ply = 2 * (std::atol(line.c_str() + numberStart) - 1) + (line[space + 1] == 'b');
        if (ply <= lastPly) group++;
        lastPly = ply;
        if (std::abs(score) >= CONVERTMAXSCORE) {
            outside++;
            continue;
        }
        data->add(int(score), fenMaterial(line), result, group);
        used++;
    }
    double seconds = secondsSince(start);
    sendLine("info string wdlfit read " + std::to_string(lines) + " lines in " + fixedDecimals(seconds, 2) + " s, used " +
             std::to_string(used) + " positions (" + std::to_string(notRead) + " lines not read, " +
             std::to_string(outside) + " with |score| >= " + std::to_string(CONVERTMAXSCORE) + ")");
    auto fitStart = std::chrono::steady_clock::now();
    for (const std::string& report : wdlReport(*data)) sendLine(report);
    sendLine("info string wdl fit took " + fixedDecimals(secondsSince(fitStart), 2) + " s");
}
