// What the search reports: the info lines of scores and mates with the pool's figures, the line
// of a tablebase root, and bestmove. The search writes through these and one output function.
#pragma once

#include <cstdint>
#include <string>

#include "general.h"

// Milliseconds since the current search started.
U64 elapsedMilliseconds();
// " nodes N nps N time T tbhits N" of the whole pool.
std::string poolFigures(U64 elapsed);
// A score line of the principal variation in pos; lineTag is " multipv N" in a MultiPV search.
void writeScoreLine(positionStruct* pos, int score, int depth, U64 elapsed, const std::string& lineTag = "");
void writeMateLine(positionStruct* pos, int score, int depth, U64 elapsed, const std::string& lineTag = "");
// Moves, not plies: mate in 1 ply is "mate 1", mated in 2 plies is "mate -1".
int mateInMoves(int score);
// A mate that a search of this depth has seen to its end.
bool mateFoundAt(int score, int depth);
// The root is checkmated: "info score mate 0".
void writeMatedRootLine(positionStruct* pos);
// The tables' verdict on the root and their move.
void writeTablebaseRootLine(positionStruct* pos, int score, moveStruct move);
// "bestmove <move>" and " ponder <move>" when there is one.
void writeBestMove(positionStruct* pos, moveStruct bestMove, moveStruct ponderMove);
