// Search benchmark: a fixed list of positions searched to a fixed depth with one thread from a
// cleared table. The total node count is the engine's signature: it changes only when the
// search's behaviour changes.
//
// Usage: bench_search [depth] [fen-file]   (default depth 13; the positions of src/tools/bench.cpp
// unless a file of FEN lines is given); prints one line per position, then the totals.
// bench/search_vs_ethereal.sh runs it beside another engine on the same positions.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tools/bench.h"
#include "hash.h"
#include "moveTable.h"

int main(int argc, char** argv) {
    int depth = argc > 1 ? std::atoi(argv[1]) : BENCHDEPTH;
    std::vector<std::string> fens(std::begin(benchPositions), std::end(benchPositions));
    if (argc > 2) {
        std::ifstream in(argv[2]);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[2]);
            return 1;
        }
        fens.clear();
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) fens.push_back(line);
    }
    initBitboardConstants();
    initHashCodes();
    int searched = 0;
    benchResultStruct r = runBench(fens, depth, true, &searched);
    std::printf("depth %d positions %d time %.3f s nps %.0f cputime %.3f s cpunps %.0f\n", depth, searched,
                r.seconds, r.seconds > 0 ? r.nodes / r.seconds : 0.0, r.cpuSeconds,
                r.cpuSeconds > 0 ? r.nodes / r.cpuSeconds : 0.0);
    std::printf("nodes %llu\n", (unsigned long long)r.nodes);
    return 0;
}
