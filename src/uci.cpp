// The UCI commands: the handshake, position, go and the commands that act on a running search.
#include "uci.h"

#include <algorithm>
#include <climits>

#include "general.h"
#include "hash.h"
#include "move.h"
#include "options.h"
#include "search.h"
#include "strength.h"
#include "threads.h"
#include "timeManager.h"

namespace {

constexpr int DEFAULTCLOCK = 900000;
constexpr int DEFAULTMOVESTOGO = 30;
constexpr int UNLIMITEDTIME = INT_MAX; // milliseconds: no clock at all
constexpr int FENGAMEPLY = 1024;       // a FEN at its first move with no moves played

} // namespace

bool readLeadingNumber(const std::string& text, long long* value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    // Saturates instead of overflowing: huge numbers are clamped like out-of-range ones.
    long long number = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        number = number > (LLONG_MAX - 9) / 10 ? LLONG_MAX / 2 : number * 10 + (text[i] - '0');
    }
    *value = negative ? -number : number;
    return true;
}

void uciCommand() {
    sendLine("id name Kestrune 2.1");
    sendLine("id author Dramwell");
    for (const std::string& line : optionLines()) sendLine(line);
    sendLine("uciok");
}

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

void isreadyCommand() { sendLine("readyok"); }

void ucinewgameCommand(int& searchCount) {
    // the table is cleared at once, or, under a running search, after it like a new Hash size,
    // so that no search and no other table change meets the clearing
    theWorkForce.whenIdle([] { clearHashTable(); });
    engine.gamePly = 0;
    for (U64& key : GPSData.keyHistory) key = 0;
    sendLine("readyok");
    searchCount = 0;
}

void stopCommand() { theWorkForce.stop = true; }

void ponderhitCommand() {
    if (theWorkForce.timeUp) theWorkForce.stop = true;
    else theWorkForce.pondering = false;
}

namespace {

void resetGoLimits() {
    engine.timeLeft[0] = engine.timeLeft[1] = DEFAULTCLOCK;
    engine.increment[0] = engine.increment[1] = 0;
    engine.movesToGo = DEFAULTMOVESTOGO;
    engine.depthLimit = engine.mateLimit = engine.moveTime = 0;
    engine.nodesLimit = 0;
    engine.searchMoves.clear();
    engine.nodeCheckInterval = NODECHECKINTERVAL;
    engine.infinite = engine.movesToGoGiven = false;
}

// Without any search thread the first legal move is still an answer.
void answerWithoutSearch() {
    sendLine("info string no search thread runs");
    generateMovesLegal(0, GPSData.plyStack[0].listStart, &GPSData);
    moveStruct move = GPSData.plyStack[0].listEnd > GPSData.plyStack[0].listStart ? *GPSData.plyStack[0].listStart : EMPTYMOVE;
    if (!engine.searchMoves.empty()) move = intToMove(engine.searchMoves[0]);
    sendLine("bestmove " + moveToLA(&move, GPSData.sideToMove, &GPSData));
}

// A word of the form of a move: two squares and an optional promotion piece.
bool looksLikeMove(const std::string& word) {
    if (word.size() != 4 && word.size() != 5) return false;
    for (int i = 0; i < 4; i += 2) {
        char file = char(std::tolower(static_cast<unsigned char>(word[i])));
        if (file < 'a' || file > 'h' || word[i + 1] < '1' || word[i + 1] > '8') return false;
    }
    return word.size() == 4 || std::string("qrbnQRBN").find(word[4]) != std::string::npos;
}

// Adds a searchmoves word that names a legal root move; any other gets one info line.
void addSearchMove(const std::string& word) {
    moveStruct move;
    if (!parseMoveWord(word, &GPSData, &move)) {
        sendLine("info string searchmoves: " + word + " is not a legal move here, left out");
        return;
    }
    uint32_t m = moveToInt(move);
    if (std::find(engine.searchMoves.begin(), engine.searchMoves.end(), m) == engine.searchMoves.end())
        engine.searchMoves.push_back(m);
}

} // namespace

void goCommand(std::istringstream& words, int& searchCount, int64_t sentTime) {
    // The clock starts when the command is read (a go held back behind a running search counts
    // from when it came); a running search still reads the old start.
    int64_t commandTime = sentTime ? sentTime : steadyMilliseconds();
    theWorkForce.waitIdle();
    engine.startTime = commandTime;
    theWorkForce.pondering = false;
    resetGoLimits();
    std::vector<std::string> goWords;
    std::string word;
    while (words >> word) goWords.push_back(word);
    bool clockGiven = false, searchMovesGiven = false;
    for (size_t i = 0; i < goWords.size(); i++) {
        const std::string& key = goWords[i];
        if (key == "ponder") theWorkForce.pondering = true;
        else if (key == "infinite") engine.infinite = true;
        else if (key == "searchmoves") {
            // the list runs while the words look like moves
            searchMovesGiven = true;
            while (i + 1 < goWords.size() && looksLikeMove(goWords[i + 1])) addSearchMove(goWords[++i]);
        } else if (key == "wtime" || key == "btime" || key == "winc" || key == "binc" || key == "movestogo" ||
                   key == "depth" || key == "nodes" || key == "mate" || key == "movetime") {
            // a value that is not a number ends the go words
            long long value;
            const std::string text = i + 1 < goWords.size() ? goWords[++i] : "";
            if (!readLeadingNumber(text, &value)) {
                if (key == "nodes" || key == "mate")
                    sendLine("info string go " + key + " needs a number, '" + text + "' ends the go words");
                break;
            }
            int number = clampInt(value, INT_MIN, INT_MAX);
            if (key == "depth") engine.depthLimit = number;
            else if (key == "nodes") {
                if (value >= 1) engine.nodesLimit = uint64_t(value);
                else sendLine("info string go nodes needs at least 1 node, " + text + " ignored");
            } else if (key == "mate") {
                if (value >= 1) engine.mateLimit = number;
                else sendLine("info string go mate needs at least 1 move, " + text + " ignored");
            } else {
                clockGiven = true;
                if (key == "wtime") engine.timeLeft[WHITE] = number;
                else if (key == "btime") engine.timeLeft[BLACK] = number;
                else if (key == "winc") engine.increment[WHITE] = number;
                else if (key == "binc") engine.increment[BLACK] = number;
                else if (key == "movestogo") {
                    engine.movesToGo = number;
                    engine.movesToGoGiven = true;
                } else engine.moveTime = number;
            }
        }
    }
    if (searchMovesGiven && engine.searchMoves.empty())
        sendLine("info string searchmoves names no legal move, every move is searched");
    engine.pvLines = engine.multiPV;
    engine.shownLines = engine.multiPV;
    engine.searchElo = engine.elo;
    engine.searchShowWDL = engine.showWDL;
    // At a limited rating the move is chosen among several lines, each move on a node budget.
    engine.weakened = engine.limitStrength && engine.elo < MAXELO;
    if (engine.weakened) {
        engine.pvLines = std::max(engine.multiPV, strengthLines(engine.elo));
        const uint64_t budget = strengthNodeBudget(engine.elo);
        if (engine.nodesLimit == 0 || engine.nodesLimit > budget) engine.nodesLimit = budget;
    }
    // a small node count is checked from the start, not only after the usual interval
    if (engine.nodesLimit)
        engine.nodeCheckInterval = nodeCheckIntervalFor(engine.nodesLimit);
    computeTimeBudget(GPSData.sideToMove);
    // A node count or a mate without a clock searches until it is reached (or until stop).
    if (!clockGiven && (engine.nodesLimit || engine.mateLimit)) engine.targetTime = engine.maxTime = UNLIMITEDTIME;
    if (theWorkForce.workers.empty() && setSearchThreads(1) == 0) {
        answerWithoutSearch();
        return;
    }
    theWorkForce.startSearch(searchCount);
    searchCount++;
}
