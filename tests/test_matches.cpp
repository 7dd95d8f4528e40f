// Whole games under a real match manager, the strictest UCI client at hand: it refuses an engine
// whose protocol lines it cannot parse and adjudicates illegal moves, crashes and time losses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "testSupport.h"

namespace {

// Sanitized engines run many times slower: they get a longer clock.
#ifdef KESTRUNE_SLOW_BUILD
const std::string SHORTCLOCK = "tc=10+0.1";
#else
const std::string SHORTCLOCK = "tc=1+0.01";
#endif

const std::string FASTCHESS = std::string(KESTRUNE_SOURCE_DIR) + "/../shared/tools/fastchess/fastchess";

struct matchResultStruct {
    std::string output; // what the match manager printed
    std::string pgn;    // the games
};

// Plays a match of the engine against itself in a scratch folder (the manager writes its
// configuration there); extra holds further manager arguments.
matchResultStruct playSelf(const std::string& extra) {
    tempDirStruct dir;
    std::string command = "cd '" + dir.path + "' && '" + FASTCHESS + "' -engine cmd=" + KESTRUNE_BINARY +
                          " name=A -engine cmd=" + KESTRUNE_BINARY + " name=B " + extra +
                          " -pgnout file=games.pgn > output.txt 2>&1";
    std::system(command.c_str());
    auto read = [&](const std::string& name) {
        std::ifstream in(dir.path + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    return {read("output.txt"), read("games.pgn")};
}

std::vector<std::string> tagValues(const std::string& pgn, const std::string& tag) {
    std::vector<std::string> values;
    std::regex pattern("\\[" + tag + " \"([^\"]*)\"\\]");
    for (std::sregex_iterator it(pgn.begin(), pgn.end(), pattern), end; it != end; ++it) values.push_back((*it)[1]);
    return values;
}

// The manager's verdicts: the lines that start or finish a game or report a problem.
std::string verdicts(const std::string& output) {
    std::istringstream lines(output);
    std::string line, kept;
    while (std::getline(lines, line))
        if (line.rfind("Started", 0) == 0 || line.rfind("Finished", 0) == 0 || line.find("rror") != std::string::npos)
            kept += line + "\n";
    return kept;
}

} // namespace

TEST(MatchManager, SelfPlayGamesEndNormally) {
    if (!std::filesystem::exists(FASTCHESS)) GTEST_SKIP() << "no match manager at " << FASTCHESS;
    // The margin covers a machine busy with other tests, not the engine's own budget.
    matchResultStruct match = playSelf("-each " + SHORTCLOCK + " timemargin=100 option.Hash=16 -rounds 1 -games 2");
    std::vector<std::string> terminations = tagValues(match.pgn, "Termination");
    ASSERT_EQ(terminations.size(), 2u) << verdicts(match.output);
    for (const std::string& t : terminations) EXPECT_EQ(t, "normal") << verdicts(match.output);
    EXPECT_EQ(tagValues(match.pgn, "Result").size(), 2u);
    EXPECT_NE(match.output.find("Finished game 2"), std::string::npos) << verdicts(match.output);
    EXPECT_EQ(match.output.find("Error"), std::string::npos) << verdicts(match.output);
}
