// The time budget of a search: a soft budget (targetTime) that the root search stretches or
// shrinks by how stable its best move is, and a hard limit (maxTime) that stops any search.
#pragma once

#include <cstdint>

#include "settings.h"

// How many nodes a search goes between checks of the clock.
constexpr int NODECHECKINTERVAL = 4096;

// Soft budget (targetTime) and hard limit (maxTime) from the clock fields of engine.
void computeTimeBudget(int sideToMove);

// How many nodes a search on a node limit goes between checks of its count: often enough that a
// small limit is not passed by much.
int nodeCheckIntervalFor(uint64_t nodesLimit);

// Whether the current search has reached its hard limit.
inline bool hardLimitPassed() { return steadyMilliseconds() - engine.startTime >= engine.maxTime; }

// The factor the soft budget is stretched by after an iteration of depth whose best move changed
// instability times: it shrinks while the move stays and grows with each change.
double nextTimeFactor(double factor, int depth, int instability);

// Whether an iteration that ended elapsed milliseconds after the start has used the soft budget
// stretched by factor.
inline bool softBudgetUsed(double factor, uint64_t elapsed) {
    return engine.targetTime * factor < double(float(elapsed) * engine.timeFactor);
}
