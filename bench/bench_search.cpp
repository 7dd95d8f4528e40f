// Search benchmark: a fixed list of positions searched to a fixed depth with one thread from a
// cleared table. The total node count is the engine's signature: it changes only when the
// search's behaviour changes.
//
// Usage: bench_search [depth]   (default 13); prints one line per position, then the totals. The
// positions live in src/bench.cpp; bench/search_vs_ethereal.sh runs them beside another engine.
#include <cstdio>
#include <cstdlib>

#include "bench.h"
#include "hash.h"
#include "moveTable.h"

int main(int argc, char** argv) {
    int depth = argc > 1 ? std::atoi(argv[1]) : BENCHDEPTH;
    initBitboardConstants();
    initHashCodes();
    benchResultStruct r = runBench(depth, true);
    std::printf("depth %d positions %d time %.3f s nps %.0f cputime %.3f s cpunps %.0f\n", depth, BENCHPOSITIONCOUNT,
                r.seconds, r.seconds > 0 ? r.nodes / r.seconds : 0.0, r.cpuSeconds,
                r.cpuSeconds > 0 ? r.nodes / r.cpuSeconds : 0.0);
    std::printf("nodes %llu\n", (unsigned long long)r.nodes);
    return 0;
}
