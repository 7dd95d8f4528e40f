// Damaged and odd table files: they must never crash the engine or be read outside their
// mapping; such a table fails to load or to probe and the engine carries on without it.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "general.h"
#include "move.h"
#include "moveTable.h"
#include "syzygy.h"
#include "testSupport.h"

namespace {

const std::string TBDIR = std::string(KESTRUNE_TEST_DATA) + "/syzygy";

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Sets the path quietly; returns what the prober printed on both streams.
std::string quietly(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    std::string out = testing::internal::GetCapturedStdout();
    return out + testing::internal::GetCapturedStderr();
}

// Probes every position both ways; returns how many WDL probes succeeded.
int probeAll(const std::vector<std::string>& fens) {
    int answered = 0;
    testPositionStruct p;
    for (const std::string& fen : fens) {
        setPosition(fen, p.get());
        int wdl;
        if (syzygyProbeWDL(0, p.get(), &wdl)) {
            answered++;
            EXPECT_GE(wdl, -2);
            EXPECT_LE(wdl, 2);
        }
        setPosition(fen, p.get());
        uint32_t move = syzygyProbeDTZ(0, p.get());
        if (move) {
            // A move that comes back must be legal in the position.
            moveStruct m = intToMove(move);
            generateMovesLegal(0, p->plyStack[0].listStart, p.get());
            bool found = false;
            for (moveStruct* x = p->plyStack[0].listStart; x < p->plyStack[0].listEnd; x++) found |= sameMove(*x, m);
            EXPECT_TRUE(found) << fen;
        }
    }
    return answered;
}

}  // namespace

TEST(TablebaseFiles, DamagedFilesFailQuietlyAndTheRestStillWork) {
    initEngineTablesOnce();
    tempDirStruct dir;
    const std::string d = dir.path + "/";

    std::vector<char> kqk = readFile(TBDIR + "/KQvK.rtbw");
    writeFile(d + "KQvK.rtbw", std::vector<char>(kqk.begin(), kqk.begin() + 40));  // truncated
    std::vector<char> kqkz = readFile(TBDIR + "/KQvK.rtbz");
    writeFile(d + "KQvK.rtbz", std::vector<char>(kqkz.begin(), kqkz.begin() + 100));

    std::mt19937 rng(99);
    std::vector<char> garbage(5000);
    for (char& c : garbage) c = char(rng());
    const char wdlMagic[4] = {'\x71', '\xE8', '\x23', '\x5D'}, dtzMagic[4] = {'\xD7', '\x66', '\x0C', '\xA5'};
    std::copy(wdlMagic, wdlMagic + 4, garbage.begin());
    writeFile(d + "KRvK.rtbw", garbage);  // right magic, garbage after it
    std::copy(dtzMagic, dtzMagic + 4, garbage.begin());
    writeFile(d + "KRvK.rtbz", garbage);

    writeFile(d + "KPvK.rtbw", {});  // zero length
    writeFile(d + "KPvK.rtbz", {});
    mkdir((d + "KNvKN.rtbw").c_str(), 0755);  // a directory named like a table
    mkfifo((d + "KQvKR.rtbw").c_str(), 0644);  // a FIFO must not block the search for tables

    writeFile(d + "KBvK.rtbw", readFile(TBDIR + "/KBvK.rtbw"));  // no read permission
    chmod((d + "KBvK.rtbw").c_str(), 0);
    bool canReadAnyway = access((d + "KBvK.rtbw").c_str(), R_OK) == 0;  // as root

    // A good table beside them, from a second directory.
    tempDirStruct good;
    for (const char* name : {"KNvK", "KNNvK"})
        for (const char* suffix : {".rtbw", ".rtbz"})
            writeFile(good.path + "/" + name + suffix, readFile(TBDIR + "/" + name + suffix));

    std::string out = quietly([&] { setSyzygyPath(dir.path + ":" + good.path); });
    EXPECT_NE(out.find(canReadAnyway ? "Found 6 tablebases." : "Found 5 tablebases."), std::string::npos) << out;

    std::mt19937 fenRng(5);
    for (const char* material : {"KQvK", "KRvK", "KPvK", "KNvKN"}) {
        std::vector<std::string> fens = randomFens(material, 20, fenRng);
        int answered = 0;
        out = quietly([&] { answered = probeAll(fens); });
        EXPECT_EQ(answered, 0) << material;
        if (std::string(material) != "KNvKN") {
            EXPECT_NE(out.find("Corrupted table."), std::string::npos) << material << ": " << out;
        }
    }
    std::vector<std::string> fens = randomFens("KNNvK", 50, fenRng);
    int answered = 0;
    quietly([&] { answered = probeAll(fens); });
    EXPECT_EQ(answered, 50) << "a good table still answers";

    // The search's view: nothing answers for the damaged materials, and asking again is quiet.
    testPositionStruct p("8/8/8/8/8/8/1Q6/K6k w - - 0 1");
    int wdl;
    out = quietly([&] { EXPECT_FALSE(syzygyProbeWDL(0, p.get(), &wdl)); });
    EXPECT_EQ(out, "");
    quietly([&] { setSyzygyPath(""); });
}

// Random damage to real tables of both kinds: truncation, overwritten header bytes and
// overwritten data. Probing must never crash; answers may be wrong but stay in range.
TEST(TablebaseFiles, RandomDamageNeverCrashes) {
    initEngineTablesOnce();
    tempDirStruct dir;
    std::mt19937 rng(2024);
    struct caseStruct {
        const char* material;
        std::vector<std::string> fens;
    };
    std::vector<caseStruct> cases = {{"KQvKR", {}}, {"KRvKP", {}}, {"KPvKP", {}}, {"KBNvK", {}}};
    for (auto& c : cases) c.fens = randomFens(c.material, 12, rng);

    for (int round = 0; round < 160; round++) {
        caseStruct& c = cases[round % cases.size()];
        bool dtz = (round / int(cases.size())) % 2;
        std::string name = std::string(c.material);
        std::vector<char> wdl = readFile(TBDIR + "/" + name + ".rtbw");
        std::vector<char> z = readFile(TBDIR + "/" + name + ".rtbz");
        std::vector<char>& victim = dtz ? z : wdl;
        switch (rng() % 3) {
        case 0: victim.resize(4 + rng() % (victim.size() - 4)); break;
        case 1:
            for (int i = 0; i < 4; i++) victim[5 + rng() % std::min<size_t>(victim.size() - 5, 200)] = char(rng());
            break;
        default:
            for (int i = 0; i < 40; i++) victim[5 + rng() % (victim.size() - 5)] = char(rng());
            break;
        }
        writeFile(dir.path + "/" + name + ".rtbw", wdl);
        writeFile(dir.path + "/" + name + ".rtbz", z);
        quietly([&] {
            setSyzygyPath(dir.path);
            probeAll(c.fens);
        });
        if (HasFailure()) {
            ADD_FAILURE() << "round " << round << " " << name;
            break;
        }
    }
    quietly([&] { setSyzygyPath(""); });
}
