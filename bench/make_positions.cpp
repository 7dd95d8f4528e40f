// Writes start positions for the benchmarks as FEN lines on standard output.
//
// Usage:
//   make_positions random COUNT PLIES [SEED]
//       positions after PLIES random legal plies from the start position, kept only when a
//       shallow search finds neither side clearly ahead (openings for engine matches)
//   make_positions lines < FILE
//       for each line of moves in UCI notation (played from the start position), the
//       position after all of them (positions reached in real games)
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"
#include "search.h"
#include "settings.h"

namespace {

constexpr int CHECKDEPTH = 7;       // depth of the balance check of a random opening
constexpr int BALANCEMARGIN = 100;  // centipawns either way that still count as balanced
constexpr int MAXTRIES = 1000;      // random games tried per position asked for

struct engineSetUp {
    std::unique_ptr<positionStruct> pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage = std::vector<moveStruct>(MOVESTORAGESIZE);
    std::vector<pawnTableEntryStruct> pawnTable = std::vector<pawnTableEntryStruct>(PAWNTABLESIZE);
    std::vector<evalCacheEntryStruct> evalCache = std::vector<evalCacheEntryStruct>(EVALCACHESIZE);

    engineSetUp() {
        initBitboardConstants();
        initHashCodes();
        allocateHashTable(4); // 262144 entries, the bench's table
        engine.infinite = true;
        engine.nodeCheckInterval = 4096;
        engine.startTime = steadyMilliseconds();
    }
    positionStruct* start() {
        setPosition(fenStartPos, pos.get());
        attachMoveStorage(pos.get(), storage.data());
        pos->pawnTable = pawnTable.data();
        pos->evalCache = evalCache.data();
        return pos.get();
    }
};

int randomOpenings(int count, int plies, unsigned seed) {
    engineSetUp setUp;
    std::mt19937 rng(seed);
    int written = 0;
    for (int tries = 0; written < count && tries < count * MAXTRIES; tries++) {
        positionStruct* pos = setUp.start();
        bool playable = true;
        for (int ply = 0; ply < plies && playable; ply++) {
            generateMovesLegal(0, pos->plyStack[0].listStart, pos);
            long moves = pos->plyStack[0].listEnd - pos->plyStack[0].listStart;
            if (moves == 0) {
                playable = false;
                break;
            }
            moveStruct m = pos->plyStack[0].listStart[std::uniform_int_distribution<long>(0, moves - 1)(rng)];
            applyMoveWords(moveToLA(&m, pos->sideToMove), pos);
        }
        if (!playable || pos->plyStack[0].inCheck) continue;
        clearHashTable();
        searchResultStruct r = searchFixedDepth(pos, CHECKDEPTH);
        if (r.bestMove.from == r.bestMove.to || std::abs(r.score) > BALANCEMARGIN) continue;
        std::printf("%s\n", positionToFen(pos).c_str());
        written++;
    }
    return written == count ? 0 : 1;
}

int positionsAfterLines() {
    engineSetUp setUp;
    std::string line;
    int status = 0;
    while (std::getline(std::cin, line)) {
        if (line.empty() || line[0] == '#') continue;
        positionStruct* pos = setUp.start();
        moveListResultStruct played = applyMoveWords(line, pos);
        if (!played.problem.empty()) {
            std::fprintf(stderr, "%s: %s\n", line.c_str(), played.problem.c_str());
            status = 1;
            continue;
        }
        std::printf("%s\n", positionToFen(pos).c_str());
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "random" && argc >= 4)
        return randomOpenings(std::atoi(argv[2]), std::atoi(argv[3]), argc > 4 ? unsigned(std::atol(argv[4])) : 1u);
    if (mode == "lines") return positionsAfterLines();
    std::fprintf(stderr, "usage: make_positions random COUNT PLIES [SEED] | make_positions lines < FILE\n");
    return 2;
}
