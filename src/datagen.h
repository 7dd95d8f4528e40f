// Training games from the engine's own play: balanced random openings (genfens, the form
// distributed testing frameworks ask for) and self-play games on a node limit (datagen), written
// as PGN with the mover's score in each move's comment.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

constexpr int GENFENSPLIES = 8;         // random plies from the start (or book) position, plus 0 or 1
constexpr int GENFENSMAXSCORE = 200;    // a short search must score the opening within this
constexpr int GENFENSDEPTH = 6;         // that search's depth, a few thousand nodes
constexpr long long GENFENSMAXCOUNT = 10000000;

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

constexpr int DATAGENNODES = 5000;
constexpr int DATAGENMAXPLIES = 600; // a longer game is left unfinished ("*")
constexpr int DATAGENHASHMB = 16;

struct datagenRequestStruct {
    genfensRequestStruct openings; // count = the number of games
    uint64_t nodes = DATAGENNODES;
    int threads = 1;               // games played side by side, one process each
    std::string output = "datagen.pgn";
    int worker = -1; // 0..threads-1: only that process's share, into output (what a worker is told)
};

// Reads "games N [nodes n] [seed S] [book path] [plies P] [threads T] [out file] [worker W]".
std::string parseDatagenWords(std::istringstream& words, datagenRequestStruct* request);

// The datagen command: plays one game from each opening, self-play on the node limit, and
// writes the PGN to the output file; reports games, plies and time.
void datagenCommand(std::istringstream& words);

// Scores for a first training of the network on the evaluation's own judgement: each position of
// a training file, and variants of it a few random plies away, that are quiet (not in check, and
// no capture sequence changes the static score) are written with their static evaluation. The
// file trains scores only (the variants' results are unknown and written as draws).
constexpr int LABELVARIANTS = 4;
constexpr int LABELPLIES = 2;

struct labelRequestStruct {
    std::string output, input;
    int variants = LABELVARIANTS; // positions drawn from each line besides the line's own
    int plies = LABELPLIES;       // random plies of a variant: 1 to this many
    uint64_t seed = 1;
    int threads = 1;
    int worker = -1; // 0..threads-1: only that process's share, into output and output.counts
};

// Reads "<out.txt> <in.txt> [variants V] [plies P] [seed S] [threads T] [worker W]".
std::string parseLabelWords(std::istringstream& words, labelRequestStruct* request);

// The label command: writes '<FEN> | <static score> | <result>' lines and reports the counts.
void labelCommand(std::istringstream& words);
