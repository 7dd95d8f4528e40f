// The rating limit's node budget and choice of line.
#include "strength.h"

#include <cmath>

#include "hash.h"

namespace {

// The budget doubles every ELOPERDOUBLING points from NODESATMINELO at the lowest rating up to
// KNEEELO, then every ELOPERDOUBLINGHIGH points: near full strength a single line searched a
// little shallower is what costs the rating.
constexpr double NODESATMINELO = 150;
constexpr double ELOPERDOUBLING = 115;
constexpr int KNEEELO = 1800;
constexpr double ELOPERDOUBLINGHIGH = 150;
// The margin shrinks from MARGINATMINELO to nothing at full strength, fast near the top.
constexpr double MARGINATMINELO = 200;
constexpr double MARGINCURVE = 1.5;
// Ratings from which fewer lines are searched.
constexpr int TWOLINESELO = 1900;
constexpr int ONELINEELO = 2100;

} // namespace

uint64_t strengthNodeBudget(int elo) {
    if (elo < MINELO) elo = MINELO;
    const double atKnee = NODESATMINELO * std::exp2(double(KNEEELO - MINELO) / ELOPERDOUBLING);
    if (elo <= KNEEELO) return uint64_t(NODESATMINELO * std::exp2(double(elo - MINELO) / ELOPERDOUBLING));
    return uint64_t(atKnee * std::exp2(double(elo - KNEEELO) / ELOPERDOUBLINGHIGH));
}

int strengthLines(int elo) { return elo < TWOLINESELO ? 4 : elo < ONELINEELO ? 2 : 1; }

int strengthMargin(int elo) {
    if (elo >= MAXELO) return 0;
    if (elo < MINELO) elo = MINELO;
    return int(MARGINATMINELO * std::pow(double(MAXELO - elo) / (MAXELO - MINELO), MARGINCURVE));
}

size_t chooseStrengthLine(const int* scores, size_t count, int elo, uint64_t random) {
    if (count <= 1 || scores[0] >= MATETHRESHOLD) return 0;
    const int margin = strengthMargin(elo);
    // each line within the margin weighs what it is better than the margin's edge
    uint64_t weights[64];
    uint64_t total = 0;
    size_t n = count < 64 ? count : 64;
    for (size_t i = 0; i < n; i++) {
        int behind = scores[0] - scores[i];
        bool mated = scores[i] <= -MATETHRESHOLD && scores[0] > -MATETHRESHOLD;
        weights[i] = (behind <= margin && !mated) ? uint64_t(margin - behind + 1) : 0;
        total += weights[i];
    }
    uint64_t pick = random % total; // the best line always weighs at least 1
    for (size_t i = 0; i < n; i++) {
        if (pick < weights[i]) return i;
        pick -= weights[i];
    }
    return 0;
}
