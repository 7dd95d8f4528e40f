// Fuzz target: damaged tablebase files. The first byte of an input picks a material, the second
// whether the win/draw/loss or the distance table is replaced, the rest is that file's content.
// The file is placed beside intact copies of every other table, registered, and probed on
// fixed legal positions of its material with both the search's probe and the root probe.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "general.h"
#include "move.h"
#include "syzygy.h"
#include "testSupport.h"

namespace {

// Small tables keep one run quick; the list covers pawnless, pawn, symmetric and 4-man tables.
const char* const FUZZMATERIALS[] = {"KRvK", "KQvK", "KPvK", "KBNvK", "KRvKR", "KQvKR", "KPvKP", "KRPvK", "KBvKP", "KNNvK", "KBvKB", "KQvKQ"};
constexpr int NOFMATERIALS = int(sizeof(FUZZMATERIALS) / sizeof(FUZZMATERIALS[0]));
constexpr int POSITIONSPERMATERIAL = 8;

const std::string REALDIR = std::string(KESTRUNE_TEST_DATA) + "/syzygy";
std::string fuzzDir;
std::vector<std::string> fensOf[NOFMATERIALS];
positionStruct* probePosition;

class nullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void linkTable(const std::string& file) {
    std::string target = REALDIR + "/" + file, link = fuzzDir + "/" + file;
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static nullBuffer sink;
    std::cout.rdbuf(&sink);
    static testPositionStruct scratch;
    probePosition = scratch.get();

    char name[] = "/tmp/kestrune-fuzz-tb-XXXXXX";
    if (!mkdtemp(name)) std::abort();
    fuzzDir = name;
    for (int m = 0; m < NOFMATERIALS; m++) {
        std::mt19937 rng(1000 + m);
        fensOf[m] = randomFens(FUZZMATERIALS[m], POSITIONSPERMATERIAL, rng);
    }
    // Every real table is present, so probes that capture into smaller tables reach them.
    std::string list = "ls '" + REALDIR + "'";
    FILE* ls = popen(list.c_str(), "r");
    char line[256];
    while (ls && fgets(line, sizeof line, ls)) {
        std::string file(line);
        while (!file.empty() && (file.back() == '\n' || file.back() == '\r')) file.pop_back();
        if (!file.empty()) linkTable(file);
    }
    if (ls) pclose(ls);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int material = data[0] % NOFMATERIALS;
    std::string file = std::string(FUZZMATERIALS[material]) + (data[1] & 1 ? ".rtbz" : ".rtbw");
    std::string path = fuzzDir + "/" + file;
    unlink(path.c_str());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 2), std::streamsize(size - 2));
    }
    setSyzygyPath(fuzzDir);
    for (const std::string& fen : fensOf[material]) {
        setPosition(fen, probePosition);
        int wdl;
        if (syzygyProbeWDL(0, probePosition, &wdl) && (wdl < -2 || wdl > 2)) std::abort();
        setPosition(fen, probePosition);
        uint32_t move = syzygyProbeDTZ(0, probePosition);
        if (move) {
            // A move that comes back must be one of the legal moves.
            moveStruct m = intToMove(move);
            generateMovesLegal(0, probePosition->plyStack[0].listStart, probePosition);
            bool found = false;
            for (moveStruct* x = probePosition->plyStack[0].listStart; x < probePosition->plyStack[0].listEnd; x++)
                found |= sameMove(*x, m);
            if (!found) std::abort();
        }
    }
    setSyzygyPath("");
    linkTable(file);
    return 0;
}
