// Perft node counts and the move-generator check over the perft check file.
#pragma once

#include <string>

#include "general.h"

extern const char perftFilename[];
// Deepest perft the move storage and ply stack allow.
constexpr int MAXPERFTDEPTH = 15;

uint64_t perft(unsigned char ply, int depth, positionStruct* pos);

// The perft command: board, timing line and result line for the global position.
void perftCommand(int depth);
// go perft: the count after each legal root move ("e2e4: 20"), an empty line and
// "Nodes searched: N", for the global position; the total equals perft's.
void perftDivideCommand(int depth);
// The rtest command over the check file at path; chess960 reads KQkq as in Chess960 FENs.
void rtestCommand(const std::string& path = perftFilename, bool chess960 = false);
