// The bench positions and their fixed-depth search.
#include "bench.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "nnue.h"
#include "search.h"
#include "settings.h"

// The positions, also read by the comparison scripts of bench/ (one FEN per line between the
// markers).
// BEGIN POSITIONS
const char* const benchPositions[BENCHPOSITIONCOUNT] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R w KQ - 0 1",
    "r2q1rk1/pb1nbppp/1p2pn2/2pp4/2PP4/1PN1PN2/PB2BPPP/R2Q1RK1 w - - 0 1",
    "2r2rk1/1bqnbppp/pp1ppn2/8/2PNP3/1PN1BP2/P2QB1PP/2RR2K1 b - - 0 1",
    "r1b2rk1/2q1bppp/p2p1n2/np2p3/3PP3/5N1P/PPBN1PP1/R1BQR1K1 b - - 0 1",
    "6k1/pp3ppp/2p5/3r4/3P4/2P2P2/PP4PP/4R1K1 w - - 0 1",
    "8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1",
    "3q2k1/5pp1/p6p/1p1Q4/2n5/5N1P/PP3PP1/6K1 w - - 0 1",
    "4rrk1/pp1n3p/3q2pQ/2p1pb2/2PP4/2P3N1/P2B2PP/4RRK1 b - - 7 19",
    "rnbqkb1r/pp1p1ppp/2p5/4P3/2B5/8/PPP1NnPP/RNBQK2R w KQkq - 0 6",
    "r1bqkbnr/pppp1ppp/2n5/4p3/3PP3/5N2/PPP2PPP/RNBQKB1R b KQkq - 0 3",
    "rnbqkb1r/ppp1pppp/5n2/3p4/2PP4/8/PP2PPPP/RNBQKBNR w KQkq - 1 3",
    "r1bqk2r/pppp1ppp/2n2n2/2b1p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4",
    "2kr3r/pp1q1ppp/2n1bn2/2bpp3/4P3/2PP1N2/PP1NBPPP/R1BQ1RK1 w - - 0 10",
    "r3r1k1/ppq2ppp/2pb1n2/3p4/3P2b1/2PB1N2/PPQ2PPP/R1B2RK1 w - - 4 13",
    "8/5pk1/6p1/p1p1P2p/P1P4P/6P1/5PK1/8 w - - 0 40",
    "8/8/2k5/5q2/8/2K5/3Q4/8 w - - 0 1",
    "8/4kp2/4p3/3pP1p1/3P2P1/5K2/8/8 w - - 0 50",
    "r5k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",
    "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1",
    "1r4k1/5ppp/p7/1p6/2bB4/P1P5/5PPP/R5K1 b - - 0 30",
    "r1b1k2r/ppppnppp/2n2q2/2b5/3NP3/2P1B3/PP3PPP/RN1QKB1R w KQkq - 0 7",
    "3rr1k1/pp3ppp/2n2q2/2b5/2B5/2N2Q2/PPP2PPP/3RR1K1 w - - 0 18",
    "6k1/1p3pp1/p1b4p/2p5/2P1N3/1P3P2/P5PP/6K1 w - - 0 35",
    "rn1qkbnr/pp3ppp/2p1p3/3pPb2/3P4/5N2/PPP1BPPP/RNBQK2R b KQkq - 1 5",
};
// END POSITIONS

benchResultStruct runBench(int depth, bool printLines) {
    return runBench(std::vector<std::string>(std::begin(benchPositions), std::end(benchPositions)), depth, printLines);
}

benchResultStruct runBench(const std::vector<std::string>& fens, int depth, bool printLines, int* searched) {
    allocateHashTable(BENCHHASHMB);
    const engineStruct saved = engine;
    engine.infinite = true; // a fixed depth, never the clock
    engine.nodeCheckInterval = 4096;
    engine.startTime = steadyMilliseconds();

    auto pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage(MOVESTORAGESIZE);
    std::vector<pawnTableEntryStruct> pawnTable(PAWNTABLESIZE);
    std::vector<evalCacheEntryStruct> evalCache(EVALCACHESIZE);
    std::vector<accumulatorStruct> nnueStack(MAXPLY);
    setNetworkActive(engine.useNNUE);

    benchResultStruct result{0, 0, 0};
    // the machine may be shared: processor time is the steadier measure
    const std::clock_t cpuStart = std::clock();
    int index = 0;
    for (const std::string& fen : fens) {
        if (!setPosition(fen, pos.get())) {
            sendLine("info string not a usable FEN: " + fen);
            continue;
        }
        clearHashTable();
        clearEvalTables(pawnTable.data(), evalCache.data());
        attachMoveStorage(pos.get(), storage.data());
        pos->pawnTable = pawnTable.data();
        pos->evalCache = evalCache.data();
        pos->nnueStack = nnueStack.data();
        auto start = std::chrono::steady_clock::now();
        searchResultStruct r = searchFixedDepth(pos.get(), depth);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        result.nodes += r.nodes;
        result.seconds += seconds;
        ++index;
        if (printLines) {
            char line[256];
            std::snprintf(line, sizeof line, "%2d %-8s score %6d nodes %10llu  %7.3f s  %s", index,
                          moveToLA(&r.bestMove, pos->sideToMove).c_str(), r.score, (unsigned long long)r.nodes,
                          seconds, fen.c_str());
            sendLine(line);
        }
    }
    result.cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (searched) *searched = index;
    engine = saved;
    return result;
}

void benchCommand(int depth) {
    benchResultStruct r = runBench(depth, true);
    if (!allocateHashTable(engine.hashSize)) engine.hashSize = BENCHHASHMB;
    double seconds = r.seconds > 0 ? r.seconds : 1e-3;
    sendLine("Nodes searched  : " + std::to_string(r.nodes));
    sendLine("Nodes/second    : " + std::to_string((unsigned long long)(double(r.nodes) / seconds)));
}
