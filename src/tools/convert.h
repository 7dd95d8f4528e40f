// Training data from game records: the positions of a PGN's games with their scores and
// results, as the lines most network trainers read.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "general.h"
#include "pgn.h"
#include "wdlFit.h"

// Plies of engine play skipped at the start of every game (book plies are skipped as well):
// the positions right after an opening are the opening's, not the engine's.
constexpr int CONVERTOPENINGPLIES = 8;

// Counts of one conversion.
struct convertCountsStruct {
    long gamesRead = 0, gamesKept = 0;
    long abnormalEnd = 0, badMoves = 0, badSetUp = 0, incomplete = 0;
    long positionsRead = 0, positionsKept = 0;
    long skipOpening = 0, skipNoScore = 0, skipCheck = 0, skipCapture = 0, skipMate = 0;
    long gameResults[3] = {0, 0, 0};     // black wins, draws, white wins
    long positionResults[3] = {0, 0, 0}; // the same over kept positions
    long scoreBuckets[6] = {0, 0, 0, 0, 0, 0};
};

// One kept position.
struct trainingPositionStruct {
    std::string fen;
    int score;  // centipawns, white's view
    int result; // 0 black wins, 1 draw, 2 white wins
    int material;
};

// "<FEN> | <score> | <result>" without the line end, the result 1.0, 0.5 or 0.0.
std::string trainingLineText(const trainingPositionStruct& position);

// Converts one game into its kept positions; returns "" or why the whole game is left out.
// pos needs its move storage.
std::string convertGame(const pgnGameStruct& game, positionStruct* pos, std::vector<trainingPositionStruct>* kept,
                        convertCountsStruct* counts);

// "convert <output> <input.pgn> ..." on the rest of its line.
void convertCommand(std::istringstream& words);
