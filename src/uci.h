// UCI handshake, options, the go command and time control.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

struct engineStruct {
    uint64_t nodesLimit = 0;
    uint64_t elapsedTime = 0;
    int64_t startTime = 0;
    float timeFactor = 0;
    int timeLeft[2] = {900000, 900000};
    int increment[2] = {0, 0};
    int movesToGo = 30;
    int gamePly = 0;
    int depthLimit = 0;
    int mateLimit = 0;
    int moveTime = 0;
    int targetTime = 0;
    int maxTime = 0;
    int hashSize = 256;
    int nofThreads = 1;
    int nodeCheckInterval = 4096;
    int syzygyProbeDepth = 0;
    bool infinite = false;
    bool ponder = false;
    bool movesToGoGiven = false;
    std::string syzygyPath;
};

extern engineStruct engine;

// Steady clock in milliseconds.
int64_t steadyMilliseconds();

// Writes one reply line (the newline is added) and flushes it; safe from any thread, and
// lines from different threads never mix.
void sendLine(const std::string& line);

// Reads a decimal integer after optional blanks and sign; saturates instead of overflowing.
// False when the text does not start with a number.
bool readLeadingNumber(const std::string& text, long long* value);

void uciCommand();
void isreadyCommand();
void ucinewgameCommand(int& searchCount);
void setoptionCommand(std::istringstream& words, int& searchCount);
// Reads the go words into engine, computes the budget and starts the search.
void goCommand(std::istringstream& words, int& searchCount);
void stopCommand();
void ponderhitCommand();

// Soft budget (targetTime) and hard limit (maxTime) from the clock fields of engine.
void computeTimeBudget(int sideToMove);

// Blocks until no search runs.
void waitForIdleSearch();
// Rebuilds the search thread pool (0 ends every search thread).
void setSearchThreads(int threads);
