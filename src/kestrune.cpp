// Start-up, the command loop and shut-down.
#include "kestrune.h"

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench.h"
#include "eval.h"
#include "evalTable.h"
#include "general.h"
#include "hash.h"
#include "moveTable.h"
#include "perft.h"
#include "search.h"
#include "settings.h"
#include "texel.h"
#include "uci.h"

namespace {

constexpr int FENGAMEPLY = 1024; // a FEN at its first move with no moves played
constexpr int MAXBENCHDEPTH = 64;

void helpCommand() {
    sendLine("supported UCI commands 'uci' 'ucinewgame' 'position' 'go' 'ponderhit' 'stop 'quit' 'setoption' 'isready'");
    sendLine("other commands 'perft depth', default depth=6, change board with 'position'; 'showboard' shows the current board");
    sendLine("analysis: 'go' also takes 'searchmoves m1 m2 ...', 'nodes n' and 'mate n'; options 'MultiPV' and "
             "'Clear Hash'; 'eval' shows the evaluation's terms of the current position");
    sendLine("more: 'bench [depth]' searches the bench positions (the signature); 'rtest [file]' checks perft "
             "counts; options 'UCI_Chess960', 'Move Overhead', 'UCI_LimitStrength' and 'UCI_Elo'");
    sendLine("'go perft depth' counts the moves after each root move; options 'UCI_ShowWDL' and 'Syzygy50MoveRule'");
}

void evalCommand() {
    for (const std::string& line : evaluationTable(&GPSData)) sendLine(line);
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

std::string firstWord(const std::string& line) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    return word;
}

// Commands that act at once whatever runs or waits.
bool actsAtOnce(const std::string& command) {
    return command == "stop" || command == "isready" || command == "ponderhit" || command == "quit";
}

// Commands that need the search pool idle: while a search runs they wait, in the order they
// came, until it has written its bestmove. A new command that waits for the pool belongs here.
bool waitsForIdlePool(const std::string& line) {
    std::istringstream words(line);
    std::string command, word;
    words >> command;
    if (command == "go") return !(words >> word) || word != "perft";
    if (command == "setoption") {
        words >> word; // "name"
        return words >> word && word == "Threads";
    }
    return command == "rtest" || command == "texel" || command == "bench" || command == "genfens" ||
           command == "datagen" || command == "convert";
}

bool startsSearch(const std::string& line) { return firstWord(line) == "go" && waitsForIdlePool(line); }

// Lines from standard input, read by a thread of their own so that the loop can also wake
// when a search it holds commands back for has ended.
struct inputStruct {
    std::mutex mtx;
    std::condition_variable cv;
    std::deque<std::string> lines;
    std::deque<int64_t> times;
    bool searchEnded = false;
    bool endOfInput = false; // the last line is the quit that the end of input stands for
};

void readInput(inputStruct* input) {
    std::string line;
    for (;;) {
        const bool read = bool(std::getline(std::cin, line));
        if (!read) line = "quit"; // the end of input counts as quit
        if (!line.empty() && line.back() == '\r') line.pop_back();
        {
            std::lock_guard<std::mutex> lock(input->mtx);
            input->lines.push_back(line);
            input->times.push_back(steadyMilliseconds());
            input->endOfInput = !read;
        }
        input->cv.notify_one();
        if (!read || firstWord(line) == "quit") return;
    }
}

struct heldLineStruct {
    std::string line;
    int64_t time;
};

// The interactive loop: a command that needs the pool idle while a search runs is held back,
// with every command after it but stop, isready, ponderhit and quit, until that search has
// written its bestmove; then they run in the order they came. quit drops the held commands;
// the end of input runs them first.
void interactiveLoop(commandLoopStruct& loop) {
    inputStruct input;
    std::thread reader(readInput, &input);
    std::deque<heldLineStruct> held;
    // the main search thread tells the loop once its search has ended
    auto wakeAfterSearch = [&input] {
        theWorkForce.whenIdle([&input] {
            {
                std::lock_guard<std::mutex> lock(input.mtx);
                input.searchEnded = true;
            }
            input.cv.notify_one();
        });
    };
    auto execute = [&loop](const std::string& line, int64_t time) {
        loop.lineTime = time;
        bool goOn = executeCommand(line, loop);
        loop.lineTime = 0;
        return goOn;
    };
    for (;;) {
        std::string line;
        int64_t time = 0;
        bool fromInput = false, endOfInput = false;
        {
            std::unique_lock<std::mutex> lock(input.mtx);
            input.cv.wait(lock, [&] { return !input.lines.empty() || input.searchEnded; });
            if (input.searchEnded) {
                input.searchEnded = false;
            } else {
                line = input.lines.front();
                time = input.times.front();
                input.lines.pop_front();
                input.times.pop_front();
                fromInput = true;
                endOfInput = input.endOfInput && input.lines.empty();
            }
        }
        if (fromInput) {
            const std::string command = firstWord(line);
            // input that ends (a script) quits after the commands held back, as they came
            if (actsAtOnce(command) && !(endOfInput && !held.empty())) {
                if (!execute(line, time)) break;
                // a stop or ponderhit also reaches the search of a go held back before it
                bool goHeld = false;
                for (const heldLineStruct& h : held) goHeld |= startsSearch(h.line);
                if (goHeld && (command == "stop" || command == "ponderhit")) held.push_back({line, time});
                continue;
            }
            if (held.empty() && !(waitsForIdlePool(line) && theWorkForce.searching())) {
                if (!execute(line, time)) break;
                continue;
            }
            held.push_back({line, time});
            if (held.size() > 1) continue; // the first held line already waits for the search
        }
        // run the held lines up to the next one that must wait for a search
        bool goOn = true;
        while (!held.empty() && goOn) {
            if (waitsForIdlePool(held.front().line) && theWorkForce.searching()) {
                // a stop or ponderhit held behind a command that is no search, with no go between,
                // is meant for the running search: it must not wait for that search's end
                const bool searchFirst = startsSearch(held.front().line);
                for (auto h = held.begin() + 1; !searchFirst && h != held.end() && !startsSearch(h->line);) {
                    const std::string command = firstWord(h->line);
                    if (command == "stop" || command == "ponderhit") {
                        execute(h->line, h->time);
                        h = held.erase(h);
                    } else {
                        ++h;
                    }
                }
                wakeAfterSearch();
                break;
            }
            heldLineStruct next = held.front();
            held.pop_front();
            goOn = execute(next.line, next.time);
        }
        if (!goOn) break;
    }
    // quit has stopped the search; its bestmove (and the wake-up above) comes before input goes
    theWorkForce.waitIdle();
    reader.join();
}

} // namespace

void positionCommand(std::istringstream& words) {
    std::string kind, word, fen;
    if (!(words >> kind)) return;
    bool startpos = kind == "startpos";
    if (startpos) {
        fen = fenStartPos;
        words >> word; // expected to be "moves"
    } else if (kind == "fen") {
        while (words >> word && word != "moves") fen += word + " ";
    } else {
        return;
    }
    std::string problem = fenProblem(fen);
    if (!problem.empty()) {
        sendLine("info string position not set: " + problem);
        return;
    }
    setPosition(fen, &GPSData, engine.chess960);
    std::string castlingNote = fenCastlingNote(fen, engine.chess960);
    if (!castlingNote.empty()) sendLine("info string " + castlingNote);
    int historyBefore = GPSData.historyCount;
    std::string moves((std::istreambuf_iterator<char>(words)), std::istreambuf_iterator<char>());
    moveListResultStruct result = applyMoveWords(moves, &GPSData);
    if (!result.problem.empty()) sendLine("info string " + result.problem);
    if (startpos) {
        engine.gamePly = result.applied;
    } else {
        int history = historyBefore + result.applied;
        engine.gamePly = history < 2 ? FENGAMEPLY : history + result.applied;
    }
}

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
        interactiveLoop(loop);
    }
    setSearchThreads(0);
    endTexelWorkers();
    freeHashTable();
    return 0;
}
