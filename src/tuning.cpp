// The network's search parameters as spin options (see tuning.h).
#include "tuning.h"

#include <cmath>

#include "searchParameters.h"
#include "settings.h"

namespace {

struct tunableStruct {
    const char* name;
    int low, high;
    int (*get)(const searchParametersStruct& p);
    void (*set)(searchParametersStruct& p, int value);
};

// Reverse futility's margins grow by one step a ply, as the hand-set ones do.
void setReverseFutility(searchParametersStruct& p, int step) {
    for (int d = 1; d < 8; d++) p.futility[d] = step * d;
}

// Late-move pruning's counts as a share (percent) of the hand-set ones, never below one move.
void setLmpScale(searchParametersStruct& p, int percent) {
    for (int d = 0; d < 8; d++) {
        const int count = int(std::lround(handSetSearchParameters.lmp[d] * percent / 100.0));
        p.lmp[d] = int8_t(count < 1 ? 1 : count > 127 ? 127 : count);
    }
}

int lmpScaleOf(const searchParametersStruct& p) {
    return int(std::lround(100.0 * p.lmp[7] / handSetSearchParameters.lmp[7]));
}

const tunableStruct tunables[] = {
    {"Tune RazorMargin1", 0, 600, [](const searchParametersStruct& p) { return p.razor[1]; },
     [](searchParametersStruct& p, int v) { p.razor[1] = v; }},
    {"Tune RazorMargin2", 0, 800, [](const searchParametersStruct& p) { return p.razor[2]; },
     [](searchParametersStruct& p, int v) { p.razor[2] = v; }},
    {"Tune RazorMargin3", 0, 1000, [](const searchParametersStruct& p) { return p.razor[3]; },
     [](searchParametersStruct& p, int v) { p.razor[3] = v; }},
    {"Tune ReverseFutilityStep", 20, 200, [](const searchParametersStruct& p) { return p.futility[1]; },
     setReverseFutility},
    {"Tune NullMoveBaseReduction", 1, 6, [](const searchParametersStruct& p) { return p.nullMoveBaseReduction; },
     [](searchParametersStruct& p, int v) { p.nullMoveBaseReduction = v; }},
    {"Tune NullMoveDepthDivisor", 2, 12, [](const searchParametersStruct& p) { return p.nullMoveDepthDivisor; },
     [](searchParametersStruct& p, int v) { p.nullMoveDepthDivisor = v; }},
    {"Tune ProbcutMargin", 40, 400, [](const searchParametersStruct& p) { return p.probcutMargin; },
     [](searchParametersStruct& p, int v) { p.probcutMargin = v; }},
    {"Tune LmpScale", 50, 200, lmpScaleOf, setLmpScale},
    // the reduction table's two numbers in hundredths
    {"Tune LmrBase", 0, 200, [](const searchParametersStruct& p) { return int(std::lround(p.lmrBase * 100)); },
     [](searchParametersStruct& p, int v) { p.lmrBase = v / 100.0; }},
    {"Tune LmrFactor", 20, 100, [](const searchParametersStruct& p) { return int(std::lround(p.lmrFactor * 100)); },
     [](searchParametersStruct& p, int v) { p.lmrFactor = v / 100.0; }},
    {"Tune GoodCaptureSee", -300, 300, [](const searchParametersStruct& p) { return p.goodCaptureSee; },
     [](searchParametersStruct& p, int v) { p.goodCaptureSee = v; }},
    {"Tune QuiescenceSee", -300, 300, [](const searchParametersStruct& p) { return p.quiescenceSee; },
     [](searchParametersStruct& p, int v) { p.quiescenceSee = v; }},
    {"Tune CheckExtensionSee", -300, 300, [](const searchParametersStruct& p) { return p.checkExtensionSee; },
     [](searchParametersStruct& p, int v) { p.checkExtensionSee = v; }},
    // the main thread's first half-width; the helpers' rows keep theirs
    {"Tune AspirationWindow", 5, 200, [](const searchParametersStruct& p) { return int(p.aspiration[0][0]); },
     [](searchParametersStruct& p, int v) { p.aspiration[0][0] = short(v); }},
};

} // namespace

std::vector<std::string> tuningOptionLines() {
    std::vector<std::string> lines;
    for (const tunableStruct& t : tunables)
        lines.push_back(std::string("option name ") + t.name + " type spin default " +
                        std::to_string(t.get(networkSearchParameters)) + " min " + std::to_string(t.low) + " max " +
                        std::to_string(t.high));
    return lines;
}

bool isTuningOption(const std::string& name) {
    for (const tunableStruct& t : tunables)
        if (name == t.name) return true;
    return false;
}

void setTuningOption(const std::string& name, long long value) {
    for (const tunableStruct& t : tunables) {
        if (name != t.name) continue;
        // the listed value keeps the number as it is (the reduction factor is not a whole hundredth)
        const int number = clampInt(value, t.low, t.high);
        if (number == t.get(networkSearchParameters)) return;
        t.set(networkSearchParameters, number);
        fillReductionTable(networkSearchParameters.lmr, networkSearchParameters.lmrBase, networkSearchParameters.lmrFactor);
    }
}
