// UCI handshake, options, the go command and the time budget.
#include "uci.h"

#include <algorithm>
#include <climits>

#include "eval.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "nnue.h"
#include "search.h"
#include "strength.h"
#include "syzygy.h"

namespace {

constexpr int MINHASH = 1, MAXHASH = 32768;
constexpr int MINTHREADS = 1, MAXTHREADS = 256;
constexpr int MINPROBEDEPTH = 0, MAXPROBEDEPTH = 127;
constexpr int MINMULTIPV = 1, MAXMULTIPV = 256;
constexpr int MINOVERHEAD = 0, MAXOVERHEAD = 5000;
// What the move overhead leaves of a clock or a move time: enough to answer with a move.
constexpr int MINCLOCKAFTEROVERHEAD = 10;
constexpr int DEFAULTCLOCK = 900000;
constexpr int DEFAULTMOVESTOGO = 30;
constexpr int NODECHECKINTERVAL = 4096;
constexpr uint64_t NODELIMITFIRSTCHECKS = 16; // clock checks within a node limit, at the least
constexpr int UNLIMITEDTIME = INT_MAX; // milliseconds: no clock at all

std::string restOfLine(std::istringstream& words) {
    std::string word, text;
    while (words >> word) text += (text.empty() ? "" : " ") + word;
    return text;
}

int clampInt(long long value, int low, int high) {
    if (value < low) return low;
    if (value > high) return high;
    return int(value);
}

// A clock or move time less the move overhead, never below what it takes to answer.
int afterOverhead(int time) {
    if (engine.moveOverhead == 0) return time;
    return int(std::max<long long>(static_cast<long long>(time) - engine.moveOverhead, MINCLOCKAFTEROVERHEAD));
}

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
    sendLine("option name Hash type spin default 256 min 1 max 32768");
    sendLine("option name Threads type spin default 1 min 1 max 256");
    sendLine("option name Ponder type check default false");
    sendLine("option name SyzygyPath type string default <empty>");
    sendLine("option name SyzygyProbeDepth type spin default 0 min 0 max 127");
    sendLine("option name MultiPV type spin default 1 min 1 max 256");
    sendLine("option name Clear Hash type button");
    sendLine("option name UCI_Chess960 type check default false");
    sendLine("option name Move Overhead type spin default 0 min 0 max 5000");
    sendLine("option name UCI_LimitStrength type check default false");
    sendLine("option name UCI_Elo type spin default " + std::to_string(DEFAULTELO) + " min " + std::to_string(MINELO) +
             " max " + std::to_string(MAXELO));
    sendLine("option name UCI_ShowWDL type check default false");
    sendLine("option name Syzygy50MoveRule type check default true");
    sendLine("option name Use NNUE type check default false");
    sendLine("option name EvalFile type string default <internal>");
    sendLine("uciok");
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

void setoptionCommand(std::istringstream& words, int& searchCount) {
    std::string discarded, word, name, value;
    words >> discarded;
    while (words >> word && word != "value") name += (name.empty() ? "" : " ") + word;
    value = restOfLine(words);

    bool numeric = name == "Hash" || name == "Threads" || name == "SyzygyProbeDepth" || name == "MultiPV" ||
                   name == "Move Overhead" || name == "UCI_Elo";
    long long number = 0;
    if (numeric && !readLeadingNumber(value, &number)) {
        sendLine("info string option " + name + " needs a number, '" + value + "' ignored");
        return;
    }
    if (name == "Hash") {
        int megaBytes = clampInt(number, MINHASH, MAXHASH);
        // a running search keeps its table until its bestmove; the loop goes on reading meanwhile,
        // so that stop reaches an infinite search
        theWorkForce.whenIdle([megaBytes] {
            if (allocateHashTable(megaBytes)) {
                engine.hashSize = megaBytes;
                sendLine("info string Size of Hashtable set to : " + std::to_string(megaBytes));
            } else {
                sendLine("info string could not allocate " + std::to_string(megaBytes) + " MB, the table keeps " +
                         std::to_string(engine.hashSize) + " MB");
            }
        });
        searchCount = 0;
    } else if (name == "Threads") {
        int wanted = clampInt(number, MINTHREADS, MAXTHREADS);
        int running = setSearchThreads(wanted);
        if (running == wanted)
            sendLine("info string Number of threads set to : " + std::to_string(running));
        else
            reportThreadShortfall(wanted, running);
    } else if (name == "Ponder") {
        engine.ponder = value == "true";
        sendLine(std::string("info string Ponder set to : ") + (engine.ponder ? "1" : "0"));
    } else if (name == "SyzygyPath") {
        engine.syzygyPath = value;
        // the tables change once no search reads them
        theWorkForce.whenIdle([value] {
            setSyzygyPath(value);
            sendLine("info string Syzygy tablebases used from directory : " + value);
        });
    } else if (name == "SyzygyProbeDepth") {
        engine.syzygyProbeDepth = clampInt(number, MINPROBEDEPTH, MAXPROBEDEPTH);
        sendLine("info string SyzygyProbeDepth set to: " + std::to_string(engine.syzygyProbeDepth));
    } else if (name == "UCI_Chess960") {
        engine.chess960 = value == "true";
        sendLine(std::string("info string UCI_Chess960 set to : ") + (engine.chess960 ? "1" : "0"));
    } else if (name == "MultiPV") {
        // a running search keeps its lines; the next go reads the new value
        engine.multiPV = clampInt(number, MINMULTIPV, MAXMULTIPV);
        sendLine("info string MultiPV set to : " + std::to_string(engine.multiPV));
    } else if (name == "Clear Hash") {
        clearHashCommand(searchCount);
    } else if (name == "Move Overhead") {
        engine.moveOverhead = clampInt(number, MINOVERHEAD, MAXOVERHEAD);
        sendLine("info string Move Overhead set to : " + std::to_string(engine.moveOverhead));
    } else if (name == "UCI_LimitStrength") {
        engine.limitStrength = value == "true";
        sendLine(std::string("info string UCI_LimitStrength set to : ") + (engine.limitStrength ? "1" : "0"));
    } else if (name == "Use NNUE") {
        // the next go reads it; without a usable network the hand-written evaluation stays
        engine.useNNUE = value == "true";
        sendLine(std::string("info string Use NNUE set to : ") + (engine.useNNUE ? "1" : "0"));
        if (engine.useNNUE && !networkUsable())
            sendLine("info string no usable network is loaded, the hand-written evaluation is used");
    } else if (name == "EvalFile") {
        // the weights change once no search reads them
        theWorkForce.whenIdle([value] { setEvalFile(value.empty() ? std::string("<internal>") : value); });
    } else if (name == "UCI_Elo") {
        engine.elo = clampInt(number, MINELO, MAXELO);
        sendLine("info string UCI_Elo set to : " + std::to_string(engine.elo));
    } else if (name == "UCI_ShowWDL") {
        // the next go reads it
        engine.showWDL = value == "true";
        sendLine(std::string("info string UCI_ShowWDL set to : ") + (engine.showWDL ? "1" : "0"));
    } else if (name == "Syzygy50MoveRule") {
        // the search's verdicts change once no search reads them
        const bool rule = value == "true";
        theWorkForce.whenIdle([rule] {
            engine.syzygy50MoveRule = rule;
            sendLine(std::string("info string Syzygy50MoveRule set to : ") + (rule ? "1" : "0"));
        });
    }
}

void clearHashCommand(int& searchCount) {
    // the command loop's own position and caches at once, the search's memory once no search runs
    clearSearchTables(&GPSData);
    clearEvalTables(GPawnTable, GEvalCache);
    searchCount = 0;
    theWorkForce.whenIdle([] {
        clearHashTable();
        theWorkForce.clearThreadTables();
        sendLine("info string Hash cleared");
    });
}

void computeTimeBudget(int sideToMove) {
    const int T = afterOverhead(engine.timeLeft[sideToMove]), I = engine.increment[sideToMove];
    const int P = engine.nofThreads, G = engine.gamePly;
    double f;
    if (engine.movesToGoGiven) {
        f = P > 3 ? 0.80 : 0.73;
        if (G <= 17) f *= 0.9;
        else if (G <= 50) f *= 1.1;
        if (engine.movesToGo < 4) engine.movesToGo = 4;
    } else {
        f = P > 3 ? 0.72 : 0.66;
        if (G == 1024) {
            engine.movesToGo = 30;
            f *= 1.4;
        } else {
            engine.movesToGo = G <= 17 ? 40 : G <= 50 ? 22 : G <= 80 ? 25 : G <= 200 ? 20 : 15;
        }
    }
    if (engine.ponder) f *= 1.2;
    engine.timeFactor = 1.0f;
    long long share = (static_cast<long long>(T) + static_cast<long long>(engine.movesToGo - 1) * I) / engine.movesToGo;
    // any clock a GUI may send, however absurd, keeps the budget within int
    engine.targetTime = int(std::clamp(double(share) * f, double(INT_MIN), double(INT_MAX)));
    long long reserve = (static_cast<long long>(T) - 100) / 2;
    engine.maxTime = int(std::min<long long>(5LL * engine.targetTime, reserve));
    if (engine.movesToGoGiven && engine.movesToGo == 4 && engine.maxTime < 40) engine.maxTime = 40;
    // A target of zero means almost no time at all: that clock is short too.
    if (!engine.movesToGoGiven && (engine.targetTime <= 0 || (static_cast<long long>(T) - 100) / engine.targetTime <= 3)) {
        engine.timeFactor = 5.0f;
        engine.targetTime /= 2;
        engine.maxTime /= 2;
    }
    if (engine.moveTime != 0) {
        engine.targetTime = clampInt(10LL * afterOverhead(engine.moveTime), INT_MIN, INT_MAX);
        engine.maxTime = afterOverhead(engine.moveTime);
    } else {
        long long maxTime = std::min<long long>(engine.maxTime, static_cast<long long>(T) - 100);
        maxTime = std::max<long long>(maxTime, static_cast<long long>(engine.targetTime) + 1);
        engine.maxTime = clampInt(maxTime, INT_MIN, INT_MAX);
    }
}

void waitForIdleSearch() { theWorkForce.waitIdle(); }

int nodeCheckIntervalFor(uint64_t nodesLimit) {
    return int(std::clamp<uint64_t>(nodesLimit / NODELIMITFIRSTCHECKS, 1, NODECHECKINTERVAL));
}

int setSearchThreads(int threads) {
    int running = theWorkForce.setNofWorkers(threads);
    if (threads > 0) engine.nofThreads = running;
    return running;
}

void reportThreadShortfall(int wanted, int running) {
    sendLine("info string could not start " + std::to_string(wanted) + " search threads, " + std::to_string(running) +
             " run");
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
