// Perft: leaf counts of the legal move tree, with bulk counting at the last ply.
#include "perft.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "hash.h"
#include "move.h"
#include "settings.h"

const char perftFilename[] = "perft.txt";

namespace {

constexpr U64 RTESTINDEXVALUES = 2097152;

int64_t nanosecondsNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool parseNumber(const std::string& text, uint64_t* value) {
    std::istringstream stream(text);
    stream >> *value;
    if (stream.fail()) return false;
    std::string rest;
    return !(stream >> rest);
}

struct perftLineStruct {
    std::string fen;
    int depth;
    uint64_t expected;
};

// A check-file line "FEN;depth;count"; false when a field is missing or not a number.
bool parsePerftLine(const std::string& line, perftLineStruct* test) {
    size_t first = line.find(';');
    if (first == std::string::npos) return false;
    size_t second = line.find(';', first + 1);
    if (second == std::string::npos) return false;
    uint64_t depth;
    if (!parseNumber(line.substr(first + 1, second - first - 1), &depth)) return false;
    if (!parseNumber(line.substr(second + 1), &test->expected)) return false;
    if (depth < 1 || depth > uint64_t(MAXPERFTDEPTH)) return false;
    test->fen = line.substr(0, first);
    test->depth = int(depth);
    return true;
}

} // namespace

uint64_t perft(unsigned char ply, int depth, positionStruct* pos) {
    plyRecord& record = pos->plyStack[ply];
    record.inCheck = kingInCheck(pos);
    if (depth <= 1) return countLegalMoves(ply, pos);
    generateMovesCaptures(ply, record.listStart, pos);
    if (!record.inCheck) {
        generateMovesQuiets(ply, record.listEnd, pos);
        moveStruct* end = record.listEnd;
        moveStruct* cursor = record.listStart;
        while (cursor < end) {
            if (isMoveLegal(ply, *cursor, pos)) cursor++;
            else *cursor = *--end;
        }
        record.listEnd = end;
        pos->plyStack[ply + 1].listStart = end;
    }
    uint64_t nodes = 0;
    for (moveStruct* m = record.listStart; m < record.listEnd; m++) {
        makeMove(ply, *m, pos);
        nodes += perft(ply + 1, depth - 1, pos);
        unmakeMove(ply, *m, pos);
    }
    return nodes;
}

void perftCommand(int depth) {
    auto scratch = std::make_unique<positionStruct>(GPSData);
    std::cout << boardToString(scratch.get());
    int64_t start = nanosecondsNow();
    uint64_t nodes = perft(0, depth, scratch.get());
    int64_t elapsed = nanosecondsNow() - start;
    double seconds = elapsed * 1e-9;
    std::cout << elapsed << " ns and " << seconds << " in seconds" << std::endl;
    std::cout << "Perft results for depth: " << depth << "  " << nodes << "  Nodes per sec: " << nodes / seconds
              << "\n" << std::flush;
}

void perftDivideCommand(int depth) {
    auto scratch = std::make_unique<positionStruct>(GPSData);
    positionStruct* pos = scratch.get();
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    // the root list stays in place below the counts of the plies after it
    const moveStruct* const end = pos->plyStack[0].listEnd;
    uint64_t total = 0;
    for (moveStruct* m = pos->plyStack[0].listStart; m < end; m++) {
        makeMove(0, *m, pos);
        uint64_t nodes = depth > 1 ? perft(1, depth - 1, pos) : 1;
        unmakeMove(0, *m, pos);
        total += nodes;
        sendLine(moveToLA(m, pos->sideToMove, pos) + ": " + std::to_string(nodes));
    }
    sendLine("");
    sendLine("Nodes searched: " + std::to_string(total));
}

void rtestCommand(const std::string& path, bool chess960) {
    std::ifstream file(path);
    if (!file) {
        std::cout << "There seems to be a problem with the perftFile. check of the move generator not executed\n"
                  << std::flush;
        return;
    }
    auto scratch = std::make_unique<positionStruct>();
    attachMoveStorage(scratch.get(), GMS);
    bool allOk = true;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "extended" || line == "full") break;
        perftLineStruct test;
        if (!parsePerftLine(line, &test)) {
            if (line.empty()) continue;
            std::cout << "info string skipped malformed perft line: " << line << "\n" << std::flush;
            allOk = false;
            continue;
        }
        if (!setPosition(test.fen, scratch.get(), chess960)) {
            std::cout << "info string skipped perft line with a bad FEN (" << fenProblem(test.fen) << "): " << line
                      << "\n" << std::flush;
            allOk = false;
            continue;
        }
        int64_t start = nanosecondsNow();
        uint64_t nodes = perft(0, test.depth, scratch.get());
        int64_t elapsed = nanosecondsNow() - start;
        if (nodes != test.expected) allOk = false;
        std::cout << (nodes == test.expected ? "1" : "0") << "; " << test.fen << "; " << test.depth << "; "
                  << test.expected << "; " << nodes << "; " << elapsed << "\n" << std::flush;
        if (!allocateHashTableEntries(RTESTINDEXVALUES)) clearHashTable();
    }
    std::cout << "Results of the perft checks is OK: " << (allOk ? "1" : "0") << "\n" << std::flush;
}
