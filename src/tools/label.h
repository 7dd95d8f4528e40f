// Scores for a first training of the network on the evaluation's own judgement: each position of
// a training file, and variants of it a few random plies away, that are quiet (not in check, and
// no capture sequence changes the static score) are written with their static evaluation. The
// file trains scores only (the variants' results are unknown and written as draws).
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

constexpr int LABELVARIANTS = 4;
constexpr int LABELPLIES = 2;

struct labelRequestStruct {
    std::string output, input;
    int variants = LABELVARIANTS; // positions drawn from each line besides the line's own
    int plies = LABELPLIES;       // random plies of a variant: 1 to this many
    uint64_t seed = 1;
    int threads = 1;
    int worker = -1; // 0..threads-1: only that process's share, into output and output.counts
};

// Reads "<out.txt> <in.txt> [variants V] [plies P] [seed S] [threads T] [worker W]".
std::string parseLabelWords(std::istringstream& words, labelRequestStruct* request);

// The label command: writes '<FEN> | <static score> | <result>' lines and reports the counts.
void labelCommand(std::istringstream& words);
