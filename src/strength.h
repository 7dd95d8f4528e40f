// Play at a chosen rating: a node budget per move and a choice among the best lines whose
// margin grows as the rating falls, so that the engine's mistakes are plausible second choices
// rather than random moves.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int MINELO = 1000;
constexpr int MAXELO = 2400; // full strength
constexpr int DEFAULTELO = 1500;

// Lines searched to choose from: four at low ratings, fewer near full strength (one from 2100),
// where the search's depth matters more than a choice among close lines.
int strengthLines(int elo);
// Nodes one move may search at this rating.
uint64_t strengthNodeBudget(int elo);
// How far below the best line's score (centipawns) a line may be and still be chosen.
int strengthMargin(int elo);
// The line to play, from scores best first: a line within the margin, the better ones more
// likely; a mate for the side to move is always taken, and a line that is mated only when
// every line is. random is any 64-bit random number.
size_t chooseStrengthLine(const int* scores, size_t count, int elo, uint64_t random);
