// Self-play training games on a node limit (datagen), from the openings of genfens, written as
// PGN with the mover's score in each move's comment.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "openings.h"

constexpr int DATAGENNODES = 5000;
constexpr int DATAGENMAXPLIES = 600; // a longer game is left unfinished ("*")
constexpr int DATAGENHASHMB = 16;
constexpr int DATAGENMAXTHREADS = 256; // worker processes of datagen and label

struct datagenRequestStruct {
    genfensRequestStruct openings; // count = the number of games
    uint64_t nodes = DATAGENNODES;
    int threads = 1;               // games played side by side, one process each
    std::string output = "datagen.pgn";
    int worker = -1; // 0..threads-1: only that process's share, into output (what a worker is told)
};

// Reads "games N [nodes n] [seed S] [book path] [plies P] [threads T] [out file] [worker W]".
std::string parseDatagenWords(std::istringstream& words, datagenRequestStruct* request);

// The datagen command: plays one game from each opening, self-play on the node limit, and
// writes the PGN to the output file; reports games, plies and time.
void datagenCommand(std::istringstream& words);
