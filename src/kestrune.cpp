// Start-up, the dispatch of command lines and shut-down.
#include "kestrune.h"

#include <cctype>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "commandLoop.h"
#include "eval.h"
#include "evalTable.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "moveTable.h"
#include "nnue.h"
#include "options.h"
#include "threads.h"
#include "tools/bench.h"
#include "tools/convert.h"
#include "tools/datagen.h"
#include "tools/label.h"
#include "tools/openings.h"
#include "tools/perft.h"
#include "tools/texel.h"
#include "tools/wdlFit.h"
#include "uci.h"

namespace {

constexpr int MAXBENCHDEPTH = 64;

void helpCommand() {
    sendLine("supported UCI commands 'uci' 'ucinewgame' 'position' 'go' 'ponderhit' 'stop 'quit' 'setoption' 'isready'");
    sendLine("other commands 'perft depth', default depth=6, change board with 'position'; 'showboard' shows the current board");
    sendLine("analysis: 'go' also takes 'searchmoves m1 m2 ...', 'nodes n' and 'mate n'; options 'MultiPV' and "
             "'Clear Hash'; 'eval' shows the evaluation's terms of the current position");
    sendLine("more: 'bench [depth]' searches the bench positions (the signature); 'rtest [file]' checks perft "
             "counts; options 'UCI_Chess960', 'Move Overhead', 'UCI_LimitStrength' and 'UCI_Elo'");
    sendLine("training data: 'genfens N seed S book None|file [plies P]' balanced random openings; 'datagen games N "
             "[nodes n] [seed S] [book file] [plies P] [threads T] [out file]' self-play games as PGN");
    sendLine("training data: 'convert out.txt a.pgn [b.pgn ...]' writes 'FEN | score | result' lines and fits the "
             "win/draw/loss model; 'wdlfit data.txt' fits it on such a file");
    sendLine("training data: 'label out.txt in.txt [variants V] [plies P] [seed S] [threads T]' static scores of the "
             "quiet positions of a training file and of variants a few random plies away");
    sendLine("'go perft depth' counts the moves after each root move; options 'UCI_ShowWDL' and 'Syzygy50MoveRule'");
}

void evalCommand() {
    for (const std::string& line : evaluationTable(&GPSData)) sendLine(line);
    int score;
    std::string name;
    if (engine.useNNUE && networkScoreOfCommand(&GPSData, &score, &name)) {
        const int whiteScore = GPSData.sideToMove == WHITE ? score : -score;
        sendLine("network (" + name + ") score from white's view: " + std::to_string(whiteScore) +
                 ", from the side to move's view: " + std::to_string(score));
    }
}

// perft and go perft: an optional depth, which is kept for the next perft.
void perftWords(std::istringstream& words, commandLoopStruct& loop, bool divide) {
    std::string word;
    if (words >> word) {
        long long depth;
        if (!readLeadingNumber(word, &depth) || depth < 1 || depth > MAXPERFTDEPTH) {
            sendLine("info string perft depth must be a number from 1 to " + std::to_string(MAXPERFTDEPTH));
            return;
        }
        loop.perftDepth = int(depth);
    }
    if (divide) perftDivideCommand(loop.perftDepth);
    else perftCommand(loop.perftDepth);
}

void benchWords(std::istringstream& words, commandLoopStruct& loop) {
    std::string word;
    long long depth = BENCHDEPTH;
    if (words >> word && (!readLeadingNumber(word, &depth) || depth < 1 || depth > MAXBENCHDEPTH)) {
        sendLine("info string bench depth must be a number from 1 to " + std::to_string(MAXBENCHDEPTH));
        return;
    }
    waitForIdleSearch();
    benchCommand(int(depth));
    loop.searchCount = 0;
}

} // namespace

bool executeCommand(const std::string& line, commandLoopStruct& loop) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "quit") {
        stopCommand();
        return false;
    }
    if (command == "stop") stopCommand();
    else if (command == "position") positionCommand(words);
    else if (command == "go") {
        std::string first;
        std::istringstream::pos_type rest = words.tellg();
        if (words >> first && first == "perft") perftWords(words, loop, true);
        else {
            words.clear();
            words.seekg(rest);
            goCommand(words, loop.searchCount, loop.lineTime);
        }
    }
    else if (command == "ponderhit") ponderhitCommand();
    else if (command == "ucinewgame") ucinewgameCommand(loop.searchCount);
    else if (command == "uci") uciCommand();
    else if (command == "setoption") setoptionCommand(words, loop.searchCount);
    else if (command == "isready") isreadyCommand();
    else if (command == "rtest") {
        // an optional file name replaces the default check file
        std::string path;
        std::getline(words >> std::ws, path);
        while (!path.empty() && std::isspace(static_cast<unsigned char>(path.back()))) path.pop_back();
        waitForIdleSearch();
        rtestCommand(path.empty() ? perftFilename : path, engine.chess960);
        loop.searchCount = 0;
    } else if (command == "perft") perftWords(words, loop, false);
    else if (command == "bench") benchWords(words, loop);
    else if (command == "texel") {
        waitForIdleSearch();
        texelCommand();
        loop.searchCount = 0;
    }
    else if (command == "showboard") {
        std::cout << boardToString(&GPSData) << std::flush;
        // under Chess960 the castling rights with their rooks' files
        if (engine.chess960) sendLine("Fen: " + positionToFen(&GPSData));
    }
    else if (command == "evil") evaluateN(0, &GPSData);
    else if (command == "eval") evalCommand();
    else if (command == "genfens") genfensCommand(words);
    else if (command == "datagen") datagenCommand(words);
    else if (command == "convert") convertCommand(words);
    else if (command == "label") labelCommand(words);
    else if (command == "wdlfit") wdlfitCommand(words);
    else if (command == "help") helpCommand();
    else sendLine("Unknown command");
    return true;
}

void initEngine() {
    initBitboardConstants();
    initHashCodes();
    if (!allocateHashTable(engine.hashSize)) allocateHashTable(1);
    GPSData.pawnTable = GPawnTable;
    GPSData.evalCache = GEvalCache;
    setPosition(fenStartPos, &GPSData);
    initNetwork();
}

int runEngine(int argc, char** argv) {
    std::cout << "Kestrune 2.1\nby Dramwell\n\nenter 'help' to see the commands" << std::endl;
    commandLoopStruct loop;
    initEngine();
    int wanted = engine.nofThreads;
    if (setSearchThreads(wanted) != wanted) reportThreadShortfall(wanted, engine.nofThreads);
    std::setvbuf(stdout, nullptr, _IOLBF, 4096);

    if (argc > 1) {
        std::string line;
        for (int i = 1; i < argc; i++) line += std::string(argv[i]) + " ";
        executeCommand(line, loop);
    } else {
        runCommandLoop(loop);
    }
    setSearchThreads(0);
    endTexelWorkers();
    freeHashTable();
    return 0;
}
