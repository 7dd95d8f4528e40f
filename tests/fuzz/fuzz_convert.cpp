// Fuzz target: game records written by other programs, through the PGN reader and the converter.
// The first byte is a selector: 1 also runs the convert and wdlfit commands on the text through
// files; the rest is the PGN text. Every game is converted, and what comes out must hold: each
// kept position is a usable FEN with a score and a result in range, and in the first kept
// positions of an input every legal move's SAN reads back as that move.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "general.h"
#include "move.h"
#include "testSupport.h"
#include "tools/convert.h"

namespace {

constexpr int SANCHECKEDPOSITIONS = 16; // per input: the check costs a legal-move search per move

class nullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

testPositionStruct* scratchPos;
testPositionStruct* checkPos;
std::string pgnPath, outPath;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Every legal move of the position is written in SAN and read back as itself.
void checkSanRoundTrip(const std::string& fen) {
    positionStruct* pos = checkPos->get();
    check(setPosition(fen, pos, true) || setPosition(fen, pos, false));
    moveStruct* legal = pos->plyStack[0].listStart;
    generateMovesLegal(0, legal, pos);
    moveStruct* legalEnd = pos->plyStack[0].listEnd;
    for (moveStruct* m = legal; m < legalEnd; m++) {
        for (bool withCheck : {false, true}) {
            moveStruct found;
            const std::string san = moveToSan(*m, pos, legal, legalEnd, withCheck);
            check(findGameMove(san, pos, legal, legalEnd, &found) && sameMove(found, *m));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static nullBuffer sink;
    std::cout.rdbuf(&sink);
    initEngineTablesOnce();
    scratchPos = new testPositionStruct();
    checkPos = new testPositionStruct();
    pgnPath = "/tmp/fuzz_convert_" + std::to_string(getpid()) + ".pgn";
    outPath = "/tmp/fuzz_convert_" + std::to_string(getpid()) + ".txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::istringstream in(text);
    pgnReaderStruct reader;
    reader.in = &in;
    pgnGameStruct game;
    convertCountsStruct counts;
    std::vector<trainingPositionStruct> kept;
    int games = 0, sanChecked = 0;
    while (readPgnGame(&reader, &game)) {
        check(++games <= int(text.size()) + 1); // every game takes some of the text
        counts.gamesRead++;
        kept.clear();
        const std::string problem = convertGame(game, scratchPos->get(), &kept, &counts);
        check(problem.empty() || kept.empty());
        for (const trainingPositionStruct& position : kept) {
            check(fenProblem(position.fen).empty());
            check(position.score > -CONVERTMAXSCORE && position.score < CONVERTMAXSCORE);
            check(position.result >= 0 && position.result <= 2);
            check(trainingLineText(position).rfind(position.fen + " | ", 0) == 0);
            if (sanChecked++ < SANCHECKEDPOSITIONS) checkSanRoundTrip(position.fen);
        }
    }
    check(counts.gamesKept <= counts.gamesRead && counts.positionsKept <= counts.positionsRead);
    if (selector == 1) {
        {
            std::ofstream out(pgnPath, std::ios::binary | std::ios::trunc);
            out << text;
        }
        std::istringstream convertWords(outPath + " " + pgnPath);
        convertCommand(convertWords);
        std::istringstream fitWords(outPath);
        wdlfitCommand(fitWords);
        std::remove(pgnPath.c_str());
        std::remove(outPath.c_str());
    }
    return 0;
}
