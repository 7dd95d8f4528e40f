// MultiPV: the main thread searches the best lines one after another at each depth and reports
// each; the helpers search as for one line.
#pragma once

#include <cstdint>

#include "search.h"

class boss;

// One depth of a MultiPV search. Line 1 gets the usual aspiration window around the best
// score of the last depth; each next line leaves out the moves of the lines before it and is
// searched around the score the line of its rank had. Returns line 1's iteration with the
// best score found (prev when line 1 did not finish).
iterationStruct searchLines(boss* b, positionStruct* pos, int d, int prev, const short* widths, int lineCount);

// The score lines (when scoreLines) and the mate lines of the lines asked for, best first (a
// rating-limited search may search more lines than it shows).
void writeLines(boss* b, positionStruct* pos, bool scoreLines, bool stopped, U64 elapsed);
