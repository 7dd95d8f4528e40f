// The time budget: shares of the clock by the game's phase, the move overhead, and the factor
// by which the root search stretches the budget.
#include "timeManager.h"

#include <algorithm>
#include <climits>

namespace {

// What the move overhead leaves of a clock or a move time: enough to answer with a move.
constexpr int MINCLOCKAFTEROVERHEAD = 10;
constexpr uint64_t NODELIMITFIRSTCHECKS = 16; // clock checks within a node limit, at the least
// The soft budget's factor: from this depth on it follows the best move's stability, within
// [FACTORMIN, FACTORMAX].
constexpr int FACTORMINDEPTH = 6;
constexpr double FACTORSTABLE = 0.9;
constexpr double FACTORDECAY = 0.8;
constexpr double FACTORPERCHANGE = 0.2;
constexpr double FACTORMIN = 0.6;
constexpr double FACTORMAX = 2.0;

// A clock or move time less the move overhead, never below what it takes to answer.
int afterOverhead(int time) {
    if (engine.moveOverhead == 0) return time;
    return int(std::max<long long>(static_cast<long long>(time) - engine.moveOverhead, MINCLOCKAFTEROVERHEAD));
}

} // namespace

void computeTimeBudget(int sideToMove) {
    const int T = afterOverhead(engine.timeLeft[sideToMove]), I = engine.increment[sideToMove];
    const int P = engine.nofThreads, G = engine.gamePly;
    double f;
    if (engine.movesToGoGiven) {
        f = P > 3 ? 0.80 : 0.73;
        if (G <= 17) f *= 0.9;
        else if (G <= 50) f *= 1.1;
        if (engine.movesToGo < 4) engine.movesToGo = 4;
    } else {
        f = P > 3 ? 0.72 : 0.66;
        if (G == 1024) {
            engine.movesToGo = 30;
            f *= 1.4;
        } else {
            engine.movesToGo = G <= 17 ? 40 : G <= 50 ? 22 : G <= 80 ? 25 : G <= 200 ? 20 : 15;
        }
    }
    if (engine.ponder) f *= 1.2;
    engine.timeFactor = 1.0f;
    long long share = (static_cast<long long>(T) + static_cast<long long>(engine.movesToGo - 1) * I) / engine.movesToGo;
    // any clock a GUI may send, however absurd, keeps the budget within int
    engine.targetTime = int(std::clamp(double(share) * f, double(INT_MIN), double(INT_MAX)));
    long long reserve = (static_cast<long long>(T) - 100) / 2;
    engine.maxTime = int(std::min<long long>(5LL * engine.targetTime, reserve));
    if (engine.movesToGoGiven && engine.movesToGo == 4 && engine.maxTime < 40) engine.maxTime = 40;
    // A target of zero means almost no time at all: that clock is short too.
    if (!engine.movesToGoGiven && (engine.targetTime <= 0 || (static_cast<long long>(T) - 100) / engine.targetTime <= 3)) {
        engine.timeFactor = 5.0f;
        engine.targetTime /= 2;
        engine.maxTime /= 2;
    }
    if (engine.moveTime != 0) {
        engine.targetTime = clampInt(10LL * afterOverhead(engine.moveTime), INT_MIN, INT_MAX);
        engine.maxTime = afterOverhead(engine.moveTime);
    } else {
        long long maxTime = std::min<long long>(engine.maxTime, static_cast<long long>(T) - 100);
        maxTime = std::max<long long>(maxTime, static_cast<long long>(engine.targetTime) + 1);
        engine.maxTime = clampInt(maxTime, INT_MIN, INT_MAX);
    }
}

int nodeCheckIntervalFor(uint64_t nodesLimit) {
    return int(std::clamp<uint64_t>(nodesLimit / NODELIMITFIRSTCHECKS, 1, NODECHECKINTERVAL));
}

double nextTimeFactor(double factor, int depth, int instability) {
    if (depth < FACTORMINDEPTH) return 1.0;
    if (instability <= 1)
        factor *= FACTORSTABLE;
    else
        factor = (factor > 1.0 ? factor * FACTORDECAY : 1.0) + FACTORPERCHANGE * instability;
    if (factor < FACTORMIN) factor = FACTORMIN;
    if (factor > FACTORMAX) factor = FACTORMAX;
    return factor;
}
