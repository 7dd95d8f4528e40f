// Game records: reading PGN text game by game, and the moves of SAN, UCI and long algebraic
// notation.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "general.h"

// A game record longer than this is broken text, not a game; its moves are not kept.
constexpr size_t PGNMAXGAMEPLIES = 4000;

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

// Whether a move captures (en passant too); a Chess960 king that castles onto its rook does not.
bool isCaptureMove(const moveStruct& move, const positionStruct* pos);
