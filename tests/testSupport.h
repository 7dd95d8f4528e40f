// Shared set-up for the unit tests: global tables built once, scratch positions on the heap.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "general.h"

// Builds the attack tables, keys and a small transposition table once per test binary.
void initEngineTablesOnce();

// A heap position with its own move storage and evaluation tables.
struct testPositionStruct {
    std::unique_ptr<positionStruct> pos;
    std::vector<moveStruct> storage;
    explicit testPositionStruct(const std::string& fen = fenStartPos);
    positionStruct* operator->() { return pos.get(); }
    positionStruct* get() { return pos.get(); }
};

// Whether word is a legal move after the words of a position command ("startpos moves e2e4",
// "fen <FEN> moves ...").
bool legalAfter(const std::string& positionWords, const std::string& word);

struct perftCaseStruct {
    std::string fen;
    int depth;
    uint64_t count;
};
// Lines "FEN;depth;count" of a file in tests/data.
std::vector<perftCaseStruct> readPerftSuite(const std::string& name = "perft-suite.txt");

// The FEN placement field of a board of FEN letters (0 for an empty square), square 0 = a1.
std::string placementText(const char board[64]);

// Random legal positions of a material such as "KRPvKR" (white's men first), either side to move.
std::vector<std::string> randomFens(const std::string& material, int count, std::mt19937& rng);

// A fresh directory under /tmp, removed with everything in it at the end of its scope.
struct tempDirStruct {
    std::string path;
    tempDirStruct();
    ~tempDirStruct();
};
