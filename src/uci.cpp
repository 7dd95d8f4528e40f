// UCI handshake, options, the go command and the time budget.
#include "uci.h"

#include <algorithm>
#include <climits>

#include "general.h"
#include "hash.h"
#include "move.h"
#include "search.h"
#include "syzygy.h"

namespace {

constexpr int MINHASH = 1, MAXHASH = 32768;
constexpr int MINTHREADS = 1, MAXTHREADS = 256;
constexpr int MINPROBEDEPTH = 0, MAXPROBEDEPTH = 127;
constexpr int MINOVERHEAD = 0, MAXOVERHEAD = 5000;
// What the move overhead leaves of a clock or a move time: enough to answer with a move.
constexpr int MINCLOCKAFTEROVERHEAD = 10;
constexpr int DEFAULTCLOCK = 900000;
constexpr int DEFAULTMOVESTOGO = 30;
constexpr int NODECHECKINTERVAL = 4096;

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
    return std::max(time - engine.moveOverhead, MINCLOCKAFTEROVERHEAD);
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
    sendLine("option name UCI_Chess960 type check default false");
    sendLine("option name Move Overhead type spin default 0 min 0 max 5000");
    sendLine("uciok");
}

void isreadyCommand() { sendLine("readyok"); }

void ucinewgameCommand(int& searchCount) {
    clearHashTable();
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

    bool numeric = name == "Hash" || name == "Threads" || name == "SyzygyProbeDepth" || name == "Move Overhead";
    long long number = 0;
    if (numeric && !readLeadingNumber(value, &number)) {
        sendLine("info string option " + name + " needs a number, '" + value + "' ignored");
        return;
    }
    if (name == "Hash") {
        int megaBytes = clampInt(number, MINHASH, MAXHASH);
        waitForIdleSearch();
        if (allocateHashTable(megaBytes)) {
            engine.hashSize = megaBytes;
            sendLine("info string Size of Hashtable set to : " + std::to_string(megaBytes));
        } else {
            sendLine("info string could not allocate " + std::to_string(megaBytes) + " MB, the table keeps " +
                     std::to_string(engine.hashSize) + " MB");
        }
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
        waitForIdleSearch();
        setSyzygyPath(value);
        sendLine("info string Syzygy tablebases used from directory : " + value);
    } else if (name == "SyzygyProbeDepth") {
        engine.syzygyProbeDepth = clampInt(number, MINPROBEDEPTH, MAXPROBEDEPTH);
        sendLine("info string SyzygyProbeDepth set to: " + std::to_string(engine.syzygyProbeDepth));
    } else if (name == "UCI_Chess960") {
        engine.chess960 = value == "true";
        sendLine(std::string("info string UCI_Chess960 set to : ") + (engine.chess960 ? "1" : "0"));
    } else if (name == "Move Overhead") {
        engine.moveOverhead = clampInt(number, MINOVERHEAD, MAXOVERHEAD);
        sendLine("info string Move Overhead set to : " + std::to_string(engine.moveOverhead));
    }
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
    engine.targetTime = int(double(share) * f);
    long long reserve = (static_cast<long long>(T) - 100) / 2;
    engine.maxTime = int(std::min<long long>(5LL * engine.targetTime, reserve));
    if (engine.movesToGoGiven && engine.movesToGo == 4 && engine.maxTime < 40) engine.maxTime = 40;
    // A target of zero means almost no time at all: that clock is short too.
    if (!engine.movesToGoGiven && (engine.targetTime <= 0 || (T - 100) / engine.targetTime <= 3)) {
        engine.timeFactor = 5.0f;
        engine.targetTime /= 2;
        engine.maxTime /= 2;
    }
    if (engine.moveTime != 0) {
        engine.targetTime = 10 * afterOverhead(engine.moveTime);
        engine.maxTime = afterOverhead(engine.moveTime);
    } else {
        engine.maxTime = std::min(engine.maxTime, T - 100);
        engine.maxTime = std::max(engine.maxTime, engine.targetTime + 1);
    }
}

void waitForIdleSearch() { theWorkForce.waitIdle(); }

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
    engine.nodeCheckInterval = NODECHECKINTERVAL;
    engine.infinite = engine.movesToGoGiven = false;
}

// Without any search thread the first legal move is still an answer.
void answerWithoutSearch() {
    sendLine("info string no search thread runs");
    generateMovesLegal(0, GPSData.plyStack[0].listStart, &GPSData);
    moveStruct move = GPSData.plyStack[0].listEnd > GPSData.plyStack[0].listStart ? *GPSData.plyStack[0].listStart : EMPTYMOVE;
    sendLine("bestmove " + moveToLA(&move, GPSData.sideToMove));
}

// Reads the number after a go word; false (ending the go words) when there is none.
bool readGoNumber(std::istringstream& words, long long* value) {
    std::string word;
    return (words >> word) && readLeadingNumber(word, value);
}

} // namespace

void goCommand(std::istringstream& words, int& searchCount) {
    // The clock starts when the command is read; a running search still reads the old start.
    int64_t commandTime = steadyMilliseconds();
    theWorkForce.waitIdle();
    engine.startTime = commandTime;
    theWorkForce.pondering = false;
    resetGoLimits();
    std::string word;
    long long value;
    while (words >> word) {
        if (word == "ponder") theWorkForce.pondering = true;
        else if (word == "infinite") engine.infinite = true;
        else if (word == "wtime" || word == "btime" || word == "winc" || word == "binc" || word == "movestogo" ||
                 word == "depth" || word == "nodes" || word == "mate" || word == "movetime") {
            if (!readGoNumber(words, &value)) break;
            int number = clampInt(value, INT_MIN, INT_MAX);
            if (word == "wtime") engine.timeLeft[WHITE] = number;
            else if (word == "btime") engine.timeLeft[BLACK] = number;
            else if (word == "winc") engine.increment[WHITE] = number;
            else if (word == "binc") engine.increment[BLACK] = number;
            else if (word == "movestogo") {
                engine.movesToGo = number;
                engine.movesToGoGiven = true;
            } else if (word == "depth") engine.depthLimit = number;
            else if (word == "nodes") engine.nodesLimit = value < 0 ? 0 : uint64_t(value);
            else if (word == "mate") engine.mateLimit = number;
            else engine.moveTime = number;
        }
    }
    computeTimeBudget(GPSData.sideToMove);
    if (theWorkForce.workers.empty() && setSearchThreads(1) == 0) {
        answerWithoutSearch();
        return;
    }
    theWorkForce.startSearch(searchCount);
    searchCount++;
}
