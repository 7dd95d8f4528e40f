// The bench: a fixed list of positions searched to a fixed depth with one thread from a cleared
// table. Its total node count is the engine's signature: it changes only when the search's
// behaviour changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int BENCHDEPTH = 13;
// the table the signature is taken with: 262144 entries (the 16 "megabytes" of the old count
// of 16384 entries per megabyte)
constexpr int BENCHHASHMB = 4;
constexpr int BENCHPOSITIONCOUNT = 30;
extern const char* const benchPositions[BENCHPOSITIONCOUNT];

struct benchResultStruct {
    uint64_t nodes;
    double seconds;    // wall time of the searches
    double cpuSeconds; // processor time of the searches
};

// Searches every bench position to depth with the global transposition table resized to
// BENCHHASHMB and cleared before each position, on a scratch position of its own. With
// printLines one line per position is written. The caller restores the table's size.
benchResultStruct runBench(int depth, bool printLines);

// The same on other positions (FEN lines); a line that is not a usable FEN is skipped and
// reported, and the count of searched positions returned in searched.
benchResultStruct runBench(const std::vector<std::string>& fens, int depth, bool printLines, int* searched = nullptr);

// The bench command: runBench, then the two lines testing frameworks read, "Nodes searched"
// and "Nodes/second"; the table gets the Hash setting's size back.
void benchCommand(int depth);
