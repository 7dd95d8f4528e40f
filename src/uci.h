// The UCI commands: the handshake, position, go, and stop and ponderhit, which act on a running search.
// The options are the table of options.h.
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
// position startpos|fen <FEN> [moves ...]: a malformed FEN keeps the position, a move list stops
// at its first word that is no legal move, each with one info line.
void positionCommand(std::istringstream& words);
// Reads the go words into engine, computes the budget and starts the search. sentTime is when
// the command came (steady milliseconds), 0 for now.
void goCommand(std::istringstream& words, int& searchCount, int64_t sentTime = 0);
void stopCommand();
void ponderhitCommand();

