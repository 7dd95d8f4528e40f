// The eval command's table: the terms of the static evaluation of a position.
#pragma once

#include <string>
#include <vector>

#include "general.h"

// One text line per row: every term for white and black in middlegame and endgame values, the
// phase and its weights, and the final score from white's and from the side to move's view.
std::vector<std::string> evaluationTable(positionStruct* pos);
