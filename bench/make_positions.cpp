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

// The FEN of a position whose moves were played from ply 0 (the move number from gamePly).
std::string positionToFen(positionStruct* pos, int gamePly) {
    std::string fen;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            int code = pos->board[rank * 8 + file];
            if (code == EMPTY) {
                empty++;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += fenLabelPieces[code];
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    fen += pos->sideToMove == WHITE ? " w " : " b ";
    const int rights = pos->plyStack[0].castleRights;
    std::string castling;
    if (rights & WHITESHORT) castling += 'K';
    if (rights & WHITELONG) castling += 'Q';
    if (rights & BLACKSHORT) castling += 'k';
    if (rights & BLACKLONG) castling += 'q';
    fen += castling.empty() ? "-" : castling;
    // the engine keeps the square of the pawn that made the double step; FEN names the square behind it
    const int ep = pos->plyStack[0].epSquare;
    fen += ep ? " " + squareToText(pos->sideToMove == WHITE ? ep + 8 : ep - 8) : std::string(" -");
    fen += " " + std::to_string(pos->fiftyCounter) + " " + std::to_string(gamePly / 2 + 1);
    return fen;
}

struct engineSetUp {
    std::unique_ptr<positionStruct> pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage = std::vector<moveStruct>(MOVESTORAGESIZE);
    std::vector<pawnTableEntryStruct> pawnTable = std::vector<pawnTableEntryStruct>(PAWNTABLESIZE);
    std::vector<evalCacheEntryStruct> evalCache = std::vector<evalCacheEntryStruct>(EVALCACHESIZE);

    engineSetUp() {
        initBitboardConstants();
        initHashCodes();
        allocateHashTable(16);
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
        std::printf("%s\n", positionToFen(pos, plies).c_str());
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
        std::printf("%s\n", positionToFen(pos, played.applied).c_str());
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
