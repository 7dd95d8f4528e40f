// WDL probes per second on random positions of a few materials: the first pass touches the
// table pages for the first time (right after the tables are registered), the later passes run
// warm. Usage: bench_tablebase [table directory] (default tests/data/syzygy).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "general.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"
#include "syzygy.h"
#include "tablebase/tbprobe.h"

namespace {

constexpr int POSITIONSPERMATERIAL = 20000;
constexpr int WARMPASSES = 5;

// Random legal positions of the material in the prober's form (white's men first in the name).
std::vector<pos> randomPositions(const std::string& material, int count, std::mt19937& rng) {
    std::vector<pos> list;
    while (int(list.size()) < count) {
        pos p = {};
        int colour = 0;
        U64 occupied = 0;
        for (char c : material) {
            if (c == 'v') {
                colour = 1;
                continue;
            }
            int sq;
            do sq = c == 'P' ? 8 + int(rng() % 48) : int(rng() % 64);
            while (occupied & (U64(1) << sq));
            U64 b = U64(1) << sq;
            occupied |= b;
            (colour ? p.black : p.white) |= b;
            switch (c) {
            case 'K': p.kings |= b; break;
            case 'Q': p.queens |= b; break;
            case 'R': p.rooks |= b; break;
            case 'B': p.bishops |= b; break;
            case 'N': p.knights |= b; break;
            default: p.pawns |= b; break;
            }
        }
        p.turn = rng() & 1;
        if (kingAttackTable[lowestSquare(p.kings & p.white)] & p.kings & p.black) continue;
        pos other = p;
        other.turn ^= 1;
        if (in_check(&other)) continue;
        list.push_back(p);
    }
    return list;
}

double probesPerSecond(const std::vector<pos>& positions, int* answered) {
    auto start = std::chrono::steady_clock::now();
    *answered = 0;
    for (const pos& p : positions) {
        int success;
        probe_wdl(&p, &success);
        *answered += success != 0;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return positions.size() / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : std::string(KESTRUNE_SOURCE_DIR) + "/tests/data/syzygy";
    initBitboardConstants();
    initHashCodes();
    setSyzygyPath(dir);
    if (syzygyLargestTable() == 0) {
        std::printf("no tables in %s\n", dir.c_str());
        return 1;
    }
    std::mt19937 rng(1);
    std::vector<std::string> materials = {"KQvK", "KRvKP", "KPvKP", "KBNvK", "KQvKR"};
    for (const char* five : {"KRNvKR", "KRPvKR", "KBBvKN"}) {
        char file[4096];
        if (find_tb(five, ".rtbw", file, sizeof file)) materials.push_back(five);
    }
    std::printf("%-8s %14s %14s %9s\n", "material", "first touch/s", "warm/s", "answered");
    for (const std::string& material : materials) {
        std::vector<pos> positions = randomPositions(material, POSITIONSPERMATERIAL, rng);
        int answered;
        double first = probesPerSecond(positions, &answered);
        double warm = 0;
        for (int pass = 0; pass < WARMPASSES; pass++) warm = std::max(warm, probesPerSecond(positions, &answered));
        std::printf("%-8s %14.0f %14.0f %8d%%\n", material.c_str(), first, warm, answered * 100 / POSITIONSPERMATERIAL);
    }
    return 0;
}
