// The engine's settings record (options, the limits of the current go and its time budget),
// the steady clock and the one function that writes reply lines. The search, the tablebases
// and the command layer all build on this module; it depends on nothing of theirs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    int multiPV = 1;                   // option MultiPV: lines to search and report
    int pvLines = 1;                   // MultiPV as the current go read it (the search reads this)
    int shownLines = 1;                // the lines of those reported: MultiPV as the current go read it
    int searchElo = 1500;              // UCI_Elo as the current go read it, for the choice of its move
    std::vector<uint32_t> searchMoves; // root moves of go searchmoves (moves as 32-bit units); empty: all
    bool chess960 = false; // option UCI_Chess960: positions set up and moves written for Chess960
    int moveOverhead = 0;  // option Move Overhead: milliseconds each move loses outside the engine
    bool limitStrength = false; // option UCI_LimitStrength
    int elo = 1500;             // option UCI_Elo
    bool useNNUE = false;       // option Use NNUE: the network evaluates (from the next go)
    bool weakened = false;      // the current go plays at the rating UCI_Elo (limit on, below full strength)
    bool showWDL = false;       // option UCI_ShowWDL
    bool searchShowWDL = false; // UCI_ShowWDL as the current go read it
    bool syzygy50MoveRule = true; // option Syzygy50MoveRule: cursed wins and blessed losses are draws
};

extern engineStruct engine;

// A number of the command words or of the clock limited to [low, high].
inline int clampInt(long long value, int low, int high) { return int(value < low ? low : value > high ? high : value); }

// Steady clock in milliseconds.
int64_t steadyMilliseconds();

// Writes one reply line (the newline is added) and flushes it; safe from any thread, and
// lines from different threads never mix.
void sendLine(const std::string& line);
