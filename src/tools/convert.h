// Training data from game records: reading PGNs, writing training lines, and the fit of the
// win/draw/loss probabilities to the score.
#pragma once

#include <cstdint>
#include <istream>
#include <sstream>
#include <string>
#include <vector>

#include "general.h"

// Plies of engine play skipped at the start of every game (book plies are skipped as well):
// the positions right after an opening are the opening's, not the engine's.
constexpr int CONVERTOPENINGPLIES = 8;
// Scores of this size (in centipawns) or more are left out: mates, tablebase wins and lines
// that are decided long before the game ends.
constexpr int CONVERTMAXSCORE = 3000;
// The material count of the fit (pawn 1, minor 3, rook 5, queen 9; 78 at the start) is clamped
// to this range and divided by its scale.
constexpr int WDLMATERIALMIN = 17;
constexpr int WDLMATERIALMAX = 78;
constexpr double WDLMATERIALSCALE = 58.0;

// One move of a game record with the comment after it.
struct pgnMoveStruct {
    std::string text;
    std::string comment;
    bool hasComment = false;
};

struct pgnGameStruct {
    std::vector<std::pair<std::string, std::string>> tags;
    std::vector<pgnMoveStruct> moves;
    std::string resultToken; // the result that ends the move text, "" when it is missing
    long firstLine = 0;      // line of the file where the game starts
    bool tooLong = false;    // more plies than any game has: broken text
    std::string tag(const std::string& name) const;
};

// Reads games one after the other from a stream of PGN text.
struct pgnReaderStruct {
    std::istream* in = nullptr;
    long lineNumber = 0;
    std::string pending; // a tag line that already belongs to the next game
    bool hasPending = false;
};

// The next game; false at the end of the text. Comments, variations, NAGs, move numbers and
// annotations are taken apart here; the moves are not checked.
bool readPgnGame(pgnReaderStruct* reader, pgnGameStruct* game);

// What a mover's comment says about the score.
enum commentScoreKind { SCORENONE, SCOREBOOK, SCORECP, SCOREMATE };
// Reads "+0.35/12 0.004s", "-M4/4 ...", "book"; the centipawns from the mover's view go to cp.
commentScoreKind readCommentScore(const std::string& comment, int* cp);

// The SAN of a legal move of pos (ply 0) among the legal moves [legal, legalEnd); with checks
// it ends in '+' or '#' when the move gives check or mate.
std::string moveToSan(moveStruct move, positionStruct* pos, const moveStruct* legal, const moveStruct* legalEnd,
                      bool withCheck);
// Finds the legal move a SAN, UCI or long-algebraic token names; false when none.
bool findGameMove(const std::string& token, positionStruct* pos, const moveStruct* legal, const moveStruct* legalEnd,
                  moveStruct* move);

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

// Score, result and material of many positions, gathered in bins so that a fit over millions
// of positions runs over thousands of bins. Every tenth group of positions (a game) is held out.
struct wdlDataStruct {
    std::vector<uint32_t> train, test;
    uint64_t trainCount = 0, testCount = 0;
    wdlDataStruct();
    // score in centipawns from white's view, result 0 black wins, 1 draw, 2 white wins.
    // False for a score outside the fitted range.
    bool add(int score, int material, int result, uint64_t group);
    uint64_t resultCount(int result) const;
};

// P(white wins) = 1 / (1 + exp(-(s - a) / b)), P(black wins) = the same with -s, draws the rest;
// with material, a = a0 + a1 * x and b = b0 + b1 * x, x the clamped material count / scale.
struct wdlModelStruct {
    double a0 = 0, a1 = 0, b0 = 0, b1 = 0;
    bool material = false;
    double loss = 0; // mean negative log-likelihood on the data it was fitted to
    bool ok = false;
};

// Which bins a fit or a measurement uses.
enum wdlPart { WDLTRAIN, WDLTEST, WDLALL };

wdlModelStruct fitWdl(const wdlDataStruct& data, wdlPart part, bool material);
double wdlLoss(const wdlModelStruct& model, const wdlDataStruct& data, wdlPart part);
// The probabilities of the three results (black wins, draw, white wins) under a model.
void wdlProbabilities(const wdlModelStruct& model, int score, int material, double p[3]);

// Material count from the placement field of a FEN.
int fenMaterial(const std::string& fen);

// The report of both fits as info lines.
std::vector<std::string> wdlReport(const wdlDataStruct& data);

// "convert <output> <input.pgn> ..." and "wdlfit <data.txt>" on the rest of their lines.
void convertCommand(std::istringstream& words);
void wdlfitCommand(std::istringstream& words);
