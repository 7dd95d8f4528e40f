// UCI handshake, options, the go command and time control.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "settings.h"

// Reads a decimal integer after optional blanks and sign; saturates instead of overflowing.
// False when the text does not start with a number.
bool readLeadingNumber(const std::string& text, long long* value);

void uciCommand();
void isreadyCommand();
void ucinewgameCommand(int& searchCount);
void setoptionCommand(std::istringstream& words, int& searchCount);
// The Clear Hash button: the table, the threads' history tables, killers, counter moves and
// caches are cleared once no search runs; "info string Hash cleared" follows.
void clearHashCommand(int& searchCount);
// Reads the go words into engine, computes the budget and starts the search. sentTime is when
// the command came (steady milliseconds), 0 for now.
void goCommand(std::istringstream& words, int& searchCount, int64_t sentTime = 0);
void stopCommand();
void ponderhitCommand();

// Soft budget (targetTime) and hard limit (maxTime) from the clock fields of engine.
void computeTimeBudget(int sideToMove);

// How many nodes a search on a node limit goes between checks of its count: often enough that a
// small limit is not passed by much.
int nodeCheckIntervalFor(uint64_t nodesLimit);

// Blocks until no search runs.
void waitForIdleSearch();
// Rebuilds the search thread pool (0 ends every search thread); returns the number of threads
// that run, which becomes the Threads setting.
int setSearchThreads(int threads);
// The info line for a pool that has fewer threads than wanted.
void reportThreadShortfall(int wanted, int running);
