// Fuzz target: arbitrary command lines through the command loop, one input = a few lines.
// Lines that would make one input take long are tamed first: searches get a depth of 1..3,
// perft at most depth 2, Hash and Threads small values; rtest and texel (files in the working
// directory, long runs) are skipped. Everything else reaches the loop as written.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "hash.h"
#include "kestrune.h"
#include "syzygy.h"
#include "threads.h"
#include "uci.h"

namespace {

constexpr int MAXFUZZLINES = 64;
constexpr long long MAXFUZZHASH = 4;
constexpr long long MAXFUZZTHREADS = 2;
constexpr int MAXFUZZGODEPTH = 3;
constexpr int MAXFUZZPERFT = 2;

// Swallows the replies: formatting still runs, nothing floods the terminal.
class nullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::vector<std::string> splitWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::string joinWords(const std::vector<std::string>& words, size_t from) {
    std::string text;
    for (size_t i = from; i < words.size(); i++) text += (text.empty() ? "" : " ") + words[i];
    return text;
}

// The line as the loop should see it, or "" when it is skipped.
std::string tameLine(const std::string& line) {
    std::vector<std::string> words = splitWords(line);
    if (words.empty()) return line;
    const std::string& command = words[0];
    if (command == "rtest" || command == "texel") return "";
    if (command == "go") {
        // The depth comes first so that a later word that stops the parsing cannot drop it;
        // words that would let the search run on are removed.
        int depth = 1 + int(line.size() % MAXFUZZGODEPTH);
        std::string tamed = "go depth " + std::to_string(depth);
        for (size_t i = 1; i < words.size(); i++) {
            const std::string& w = words[i];
            if (w == "infinite" || w == "ponder") continue;
            if (w == "depth") {
                i++;
                continue;
            }
            tamed += " " + w;
        }
        return tamed;
    }
    if (command == "perft" && words.size() > 1) {
        long long depth;
        if (readLeadingNumber(words[1], &depth) && depth > MAXFUZZPERFT) return "perft " + std::to_string(MAXFUZZPERFT);
        return line;
    }
    if (command == "setoption" && words.size() > 1) {
        // Same reading as the loop: the word after setoption is skipped, the name runs to "value".
        size_t i = 2;
        std::string name;
        while (i < words.size() && words[i] != "value") name += (name.empty() ? "" : " ") + words[i++];
        std::string value = i < words.size() ? joinWords(words, i + 1) : "";
        long long number;
        long long cap = name == "Hash" ? MAXFUZZHASH : name == "Threads" ? MAXFUZZTHREADS : 0;
        if (cap && readLeadingNumber(value, &number) && number > cap)
            return "setoption name " + name + " value " + std::to_string(cap);
        return line;
    }
    return line;
}

// Each input starts from the same settings, so a crash reproduces from its input alone.
void resetEngine() {
    // the options that wait for the search take effect once it has ended
    waitForIdleSearch();
    if (engine.nofThreads != 1) {
        engine.nofThreads = 1;
        setSearchThreads(1);
    }
    if (engine.hashSize != 1) {
        waitForIdleSearch();
        engine.hashSize = 1;
        allocateHashTable(1);
    }
    if (!engine.syzygyPath.empty()) {
        engine.syzygyPath.clear();
        setSyzygyPath("");
    }
    engine.syzygyProbeDepth = 0;
    engine.ponder = false;
    engine.multiPV = 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static nullBuffer sink;
    std::cout.rdbuf(&sink);
    engine.hashSize = 1;
    initEngine();
    setSearchThreads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetEngine();
    commandLoopStruct loop;
    loop.perftDepth = MAXFUZZPERFT;
    std::string line = "position startpos";
    executeCommand(line, loop);

    std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream lines(text);
    int count = 0;
    while (count++ < MAXFUZZLINES && std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string tamed = tameLine(line);
        if (tamed.empty() && !line.empty()) continue;
        bool goOn = executeCommand(tamed, loop);
        // One search at a time: the next line sees a finished search, as after "isready".
        waitForIdleSearch();
        if (!goOn) break;
    }
    return 0;
}
