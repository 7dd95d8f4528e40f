// Evaluation speed over a fixed list of positions and all their children: with both caches
// missing, with only the pawn table hitting, and with the evaluation cache hitting.
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"

namespace {

const char* const benchPositions[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R w KQ - 0 1",
    "r2q1rk1/pb1nbppp/1p2pn2/2pp4/2PP4/1PN1PN2/PB2BPPP/R2Q1RK1 w - - 0 1",
    "2r2rk1/1bqnbppp/pp1ppn2/8/2PNP3/1PN1BP2/P2QB1PP/2RR2K1 b - - 0 1",
    "r1b2rk1/2q1bppp/p2p1n2/np2p3/3PP3/5N1P/PPBN1PP1/R1BQR1K1 b - - 0 1",
    "6k1/pp3ppp/2p5/3r4/3P4/2P2P2/PP4PP/4R1K1 w - - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1",
    "3q2k1/5pp1/p6p/1p1Q4/2n5/5N1P/PP3PP1/6K1 w - - 0 1",
    "4rrk1/pp1n3p/3q2pQ/2p1pb2/2PP4/2P3N1/P2B2PP/4RRK1 b - - 7 19",
};

constexpr int REPEATS = 200;

int64_t nanosecondsNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum cacheStates { BOTHCOLD, PAWNSWARM, BOTHWARM, CACHESTATES };
const char* const stateNames[CACHESTATES] = {"cold caches", "pawn table warm", "warm caches"};

// Times REPEATS evaluations of the current position in each cache state.
void timePosition(positionStruct* pos, int64_t elapsed[CACHESTATES], int64_t* checksum) {
    pawnTableEntryStruct* pawnEntry = &pos->pawnTable[pos->pawnKingKey & (PAWNTABLESIZE - 1)];
    evalCacheEntryStruct* cacheEntry = &pos->evalCache[pos->hashKey & (EVALCACHESIZE - 1)];
    for (int state = BOTHCOLD; state < CACHESTATES; state++) {
        const int64_t start = nanosecondsNow();
        for (int i = 0; i < REPEATS; i++) {
            if (state != BOTHWARM) cacheEntry->key = ~pos->hashKey;
            if (state == BOTHCOLD) pawnEntry->key = ~pos->pawnKingKey;
            *checksum += evaluateN(0, pos);
        }
        elapsed[state] += nanosecondsNow() - start;
    }
}

} // namespace

int main() {
    initBitboardConstants();
    initHashCodes();
    auto pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage(MOVESTORAGESIZE);
    auto pawnTable = std::make_unique<pawnTableEntryStruct[]>(PAWNTABLESIZE);
    auto evalCache = std::make_unique<evalCacheEntryStruct[]>(EVALCACHESIZE);
    clearEvalTables(pawnTable.get(), evalCache.get());

    int64_t elapsed[CACHESTATES] = {0, 0, 0};
    int64_t checksum = 0;
    long positions = 0;
    for (const char* fen : benchPositions) {
        setPosition(fen, pos.get());
        attachMoveStorage(pos.get(), storage.data());
        pos->pawnTable = pawnTable.get();
        pos->evalCache = evalCache.get();
        timePosition(pos.get(), elapsed, &checksum);
        positions++;

        std::vector<moveStruct> moves;
        plyRecord& root = pos->plyStack[0];
        generateMovesLegal(0, root.listStart, pos.get());
        moves.assign(root.listStart, root.listEnd);
        for (const moveStruct& move : moves) {
            makeMove(0, move, pos.get());
            timePosition(pos.get(), elapsed, &checksum);
            unmakeMove(0, move, pos.get());
            positions++;
        }
    }

    const double evaluations = double(positions) * REPEATS;
    std::printf("%ld positions, %d evaluations each per cache state\n", positions, REPEATS);
    for (int state = BOTHCOLD; state < CACHESTATES; state++)
        std::printf("%-16s %12.0f evals/s\n", stateNames[state], evaluations * 1e9 / double(elapsed[state]));
    std::printf("checksum %lld\n", static_cast<long long>(checksum));
    return 0;
}
