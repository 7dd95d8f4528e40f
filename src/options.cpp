// The option table and what applying each option does.
#include "options.h"

#include "eval.h"
#include "evaluate.h"
#include "hash.h"
#include "history.h"
#include "search.h"
#include "nnue.h"
#include "strength.h"
#include "syzygy.h"
#include "threads.h"
#include "tuning.h"
#include "uci.h"

namespace {

constexpr int MINTHREADS = 1, MAXTHREADS = 256;
constexpr int MINPROBEDEPTH = 0, MAXPROBEDEPTH = 127;
constexpr int MINMULTIPV = 1, MAXMULTIPV = 256;
constexpr int MINOVERHEAD = 0, MAXOVERHEAD = 5000;

std::string restOfLine(std::istringstream& words) {
    std::string word, text;
    while (words >> word) text += (text.empty() ? "" : " ") + word;
    return text;
}

// A plain spin or check: the setting changes at once (the next go reads it) and the reply
// shows the value used.
void setSpin(const optionStruct& option, const optionValueStruct& value, int&) {
    engine.*option.number = value.number;
    sendLine(std::string("info string ") + option.reply + std::to_string(value.number));
}

void setCheck(const optionStruct& option, const optionValueStruct& value, int&) {
    engine.*option.flag = value.on;
    sendLine(std::string("info string ") + option.reply + (value.on ? "1" : "0"));
}

void setHash(const optionStruct&, const optionValueStruct& value, int& searchCount) {
    // at most the megabytes asked for: the reply shows what the table takes
    const int megaBytes = hashMegaBytesUsed(value.number);
    // a running search keeps its table until its bestmove; the loop goes on reading meanwhile,
    // so that stop reaches an infinite search
    theWorkForce.whenIdle([megaBytes] {
        if (allocateHashTable(megaBytes)) {
            engine.hashSize = megaBytes;
            sendLine("info string Size of Hashtable set to : " + std::to_string(megaBytes));
        } else {
            // the earlier size was taken again, or the smallest where even that failed
            engine.hashSize = hashTable ? int((hashKeyMask + 1) / HASHENTRIESPERMEGABYTE) : 0;
            sendLine("info string could not allocate " + std::to_string(megaBytes) + " MB, the table keeps " +
                     std::to_string(engine.hashSize) + " MB");
        }
    });
    searchCount = 0;
}

void setThreads(const optionStruct&, const optionValueStruct& value, int&) {
    const int wanted = value.number;
    const int running = setSearchThreads(wanted);
    if (running == wanted)
        sendLine("info string Number of threads set to : " + std::to_string(running));
    else
        reportThreadShortfall(wanted, running);
}

void setSyzygyPathOption(const optionStruct&, const optionValueStruct& value, int&) {
    const std::string path = value.text;
    engine.syzygyPath = path;
    // the tables change once no search reads them
    theWorkForce.whenIdle([path] {
        setSyzygyPath(path);
        sendLine("info string Syzygy tablebases used from directory : " + path);
    });
}

void pressClearHash(const optionStruct&, const optionValueStruct&, int& searchCount) { clearHashCommand(searchCount); }

void setUseNNUE(const optionStruct& option, const optionValueStruct& value, int& searchCount) {
    // the next go reads it; without a usable network the hand-written evaluation stays
    setCheck(option, value, searchCount);
    if (engine.useNNUE && !networkUsable())
        sendLine("info string no usable network is loaded, the hand-written evaluation is used");
}

void setEvalFileOption(const optionStruct&, const optionValueStruct& value, int&) {
    const std::string file = value.text.empty() ? std::string("<internal>") : value.text;
    // the weights change once no search reads them
    theWorkForce.whenIdle([file] { setEvalFile(file); });
}

// A check whose setting the search reads throughout: it changes once no search runs.
void setCheckAfterSearch(const optionStruct& option, const optionValueStruct& value, int&) {
    const optionStruct* row = &option;
    theWorkForce.whenIdle([row, value] {
        int unused = 0;
        setCheck(*row, value, unused);
    });
}

// A spin's value: false, with one info line, when the text is not a number.
bool readSpinNumber(const std::string& name, const std::string& text, long long* number) {
    if (readLeadingNumber(text, number)) return true;
    sendLine("info string option " + name + " needs a number, '" + text + "' ignored");
    return false;
}

} // namespace

const std::vector<optionStruct> optionTable = {
    {"Hash", OPTIONSPIN, MINHASHMEGABYTES, MAXHASHMEGABYTES, &engineStruct::hashSize, nullptr, "", "", setHash},
    {"Threads", OPTIONSPIN, MINTHREADS, MAXTHREADS, &engineStruct::nofThreads, nullptr, "", "", setThreads},
    {"Ponder", OPTIONCHECK, 0, 0, nullptr, &engineStruct::ponder, "", "Ponder set to : ", setCheck},
    {"SyzygyPath", OPTIONSTRING, 0, 0, nullptr, nullptr, "<empty>", "", setSyzygyPathOption},
    {"SyzygyProbeDepth", OPTIONSPIN, MINPROBEDEPTH, MAXPROBEDEPTH, &engineStruct::syzygyProbeDepth, nullptr, "",
     "SyzygyProbeDepth set to: ", setSpin},
    // a running search keeps its lines; the next go reads the new value
    {"MultiPV", OPTIONSPIN, MINMULTIPV, MAXMULTIPV, &engineStruct::multiPV, nullptr, "", "MultiPV set to : ", setSpin},
    {"Clear Hash", OPTIONBUTTON, 0, 0, nullptr, nullptr, "", "", pressClearHash},
    {"UCI_Chess960", OPTIONCHECK, 0, 0, nullptr, &engineStruct::chess960, "", "UCI_Chess960 set to : ", setCheck},
    {"Move Overhead", OPTIONSPIN, MINOVERHEAD, MAXOVERHEAD, &engineStruct::moveOverhead, nullptr, "",
     "Move Overhead set to : ", setSpin},
    {"UCI_LimitStrength", OPTIONCHECK, 0, 0, nullptr, &engineStruct::limitStrength, "", "UCI_LimitStrength set to : ",
     setCheck},
    {"UCI_Elo", OPTIONSPIN, MINELO, MAXELO, &engineStruct::elo, nullptr, "", "UCI_Elo set to : ", setSpin},
    {"UCI_ShowWDL", OPTIONCHECK, 0, 0, nullptr, &engineStruct::showWDL, "", "UCI_ShowWDL set to : ", setCheck},
    {"Syzygy50MoveRule", OPTIONCHECK, 0, 0, nullptr, &engineStruct::syzygy50MoveRule, "", "Syzygy50MoveRule set to : ",
     setCheckAfterSearch},
    {"Use NNUE", OPTIONCHECK, 0, 0, nullptr, &engineStruct::useNNUE, "", "Use NNUE set to : ", setUseNNUE},
    {"EvalFile", OPTIONSTRING, 0, 0, nullptr, nullptr, "<internal>", "", setEvalFileOption},
};

std::vector<std::string> optionLines() {
    static const engineStruct defaults;
    std::vector<std::string> lines;
    for (const optionStruct& option : optionTable) {
        std::string line = std::string("option name ") + option.name + " type ";
        switch (option.kind) {
        case OPTIONSPIN:
            line += "spin default " + std::to_string(defaults.*option.number) + " min " + std::to_string(option.low) +
                    " max " + std::to_string(option.high);
            break;
        case OPTIONCHECK: line += std::string("check default ") + (defaults.*option.flag ? "true" : "false"); break;
        case OPTIONSTRING: line += std::string("string default ") + option.defaultText; break;
        case OPTIONBUTTON: line += "button"; break;
        }
        lines.push_back(line);
    }
    if (tuningBuild)
        for (const std::string& line : tuningOptionLines()) lines.push_back(line);
    return lines;
}

void setoptionCommand(std::istringstream& words, int& searchCount) {
    std::string discarded, word, name;
    words >> discarded;
    while (words >> word && word != "value") name += (name.empty() ? "" : " ") + word;
    optionValueStruct value;
    value.text = restOfLine(words);
    for (const optionStruct& option : optionTable) {
        if (name != option.name) continue;
        if (option.kind == OPTIONSPIN) {
            long long number = 0;
            if (!readSpinNumber(name, value.text, &number)) return;
            value.number = clampInt(number, option.low, option.high);
        }
        value.on = value.text == "true";
        option.apply(option, value, searchCount);
        return;
    }
    if (tuningBuild && isTuningOption(name)) {
        long long number = 0;
        if (!readSpinNumber(name, value.text, &number)) return;
        theWorkForce.whenIdle([name, number] { setTuningOption(name, number); });
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
