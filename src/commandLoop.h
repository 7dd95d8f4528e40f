// The interactive command loop: standard input is read by a thread of its own, so that the loop
// keeps reading while a command waits for the running search to end.
#pragma once

#include "commandLoopRecord.h"

// Reads and executes command lines from standard input until quit or the end of input. A
// command that needs the search threads idle while a search runs is held back, with every
// command after it but stop, isready, ponderhit and quit, until that search has written its
// bestmove; then they run in the order they came.
void runCommandLoop(commandLoopStruct& loop);
