#include "testSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "eval.h"
#include "evaluate.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"

void initEngineTablesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        initBitboardConstants();
        initHashCodes();
        allocateHashTable(4); // the bench's table: 262144 entries
    });
}

testPositionStruct::testPositionStruct(const std::string& fen)
    : pos(std::make_unique<positionStruct>()), storage(MOVESTORAGESIZE) {
    initEngineTablesOnce();
    attachMoveStorage(pos.get(), storage.data());
    pos->pawnTable = GPawnTable;
    pos->evalCache = GEvalCache;
    setPosition(fen, pos.get());
}

std::vector<perftCaseStruct> readPerftSuite(const std::string& name) {
    std::vector<perftCaseStruct> cases;
    std::ifstream file(std::string(KESTRUNE_TEST_DATA) + "/" + name);
    std::string line;
    while (std::getline(file, line)) {
        size_t a = line.find(';'), b = line.find(';', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        cases.push_back({line.substr(0, a), std::stoi(line.substr(a + 1, b - a - 1)), std::stoull(line.substr(b + 1))});
    }
    return cases;
}

std::string placementText(const char board[64]) {
    std::string text;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            char c = board[rank * 8 + file];
            if (!c) {
                empty++;
                continue;
            }
            if (empty) text += char('0' + empty);
            empty = 0;
            text += c;
        }
        if (empty) text += char('0' + empty);
        if (rank) text += '/';
    }
    return text;
}

std::vector<std::string> randomFens(const std::string& material, int count, std::mt19937& rng) {
    std::vector<std::string> fens;
    testPositionStruct p;
    while (int(fens.size()) < count) {
        char board[64] = {};
        int colour = 0;
        for (char c : material) {
            if (c == 'v') {
                colour = 1;
                continue;
            }
            int sq;
            do sq = c == 'P' ? 8 + int(rng() % 48) : int(rng() % 64);
            while (board[sq]);
            board[sq] = colour ? char(c - 'A' + 'a') : c;
        }
        std::string fen = placementText(board);
        bool white = rng() & 1;
        fen += white ? " w - - 0 1" : " b - - 0 1";
        if (!setPosition(fen, p.get())) continue;
        int other = white ? BLACK : WHITE;
        U64 kings = p->pieceBB[WKING + other];
        if (!kings || squareAttacked(lowestSquare(kings), other ^ 1, p->pieceBB[WHITE] | p->pieceBB[BLACK], p.get()))
            continue;
        U64 own = p->pieceBB[WKING + (other ^ 1)];
        if (kingAttackTable[lowestSquare(own)] & kings) continue;
        fens.push_back(fen);
    }
    return fens;
}

tempDirStruct::tempDirStruct() {
    char name[] = "/tmp/kestrune-test-XXXXXX";
    const char* made = mkdtemp(name);
    path = made ? made : "/tmp";
}

tempDirStruct::~tempDirStruct() {
    if (path != "/tmp") std::filesystem::remove_all(path);
}

bool legalAfter(const std::string& positionWords, const std::string& word) {
    testPositionStruct pos;
    std::istringstream words(positionWords);
    std::string kind, token, fen, moves;
    words >> kind;
    if (kind == "startpos") {
        fen = fenStartPos;
        words >> token;
    } else {
        while (words >> token && token != "moves") fen += token + " ";
    }
    if (!setPosition(fen, pos.get())) return false;
    std::getline(words, moves);
    applyMoveWords(moves, pos.get());
    moveStruct move;
    return parseMoveWord(word, pos.get(), &move);
}
