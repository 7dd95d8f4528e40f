// Balanced random openings for training games (genfens, the form distributed testing frameworks
// ask for).
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

constexpr int GENFENSPLIES = 8;         // random plies from the start (or book) position, plus 0 or 1
constexpr int GENFENSMAXSCORE = 200;    // a short search must score the opening within this
constexpr int GENFENSDEPTH = 6;         // that search's depth, a few thousand nodes
constexpr long long GENFENSMAXCOUNT = 10000000;
constexpr int GENFENSMAXPLIESWORD = 100;

struct genfensRequestStruct {
    long long count = 0;
    uint64_t seed = 0;
    std::string book; // empty: the start position
    int plies = GENFENSPLIES;
};

// Reads "N seed S book <path|None> [plies P] ..." (unknown words after these are left alone);
// returns "" or what is wrong.
std::string parseGenfensWords(std::istringstream& words, genfensRequestStruct* request);

// The openings of a request: distinct, legal, with a legal move, balanced, the same for the same
// request. A problem (an unreadable book) is returned in problem and no opening.
std::vector<std::string> generateOpenings(const genfensRequestStruct& request, std::string* problem);

// Whether an opening plays by the Chess960 rules: the option is on, its castling field names rook
// files, or its KQkq rights only make sense for Chess960 rooks.
bool openingIsChess960(const std::string& fen);

// The genfens command: one "info string genfens <FEN>" line per opening.
void genfensCommand(std::istringstream& words);
