// The principal variation, read back from the transposition table.
#include "hash.h"
#include "move.h"
#include "search.h"

void getPVFromHashTable(unsigned char, positionStruct* pos, int maxMoves) {
    pos->pvLength = 0;
    if (maxMoves < 1) return;
    if (maxMoves > MAXPLY - 1) maxMoves = MAXPLY - 1;
    const uint8_t rootInCheck = pos->plyStack[0].inCheck;
    pos->plyStack[0].inCheck = kingInCheck(pos);
    int made = 0;
    for (int i = 0; i < maxMoves; i++) {
        U64 data;
        if (!probeHashTable(pos->hashKey, &data) || hashDataBound(data) != BOUNDEXACT) break;
        moveStruct m = hashDataMove(data);
        if (!(m.from | m.to | m.flag)) break;
        // a move from a colliding key must not reach the variation
        if (!isMovePseudoLegal(i, m, pos) || !isMoveLegalAnyway(i, m, pos)) break;
        pos->plyStack[i].pvMove = m;
        makeMove(i, m, pos);
        pos->plyStack[i + 1].inCheck = kingInCheck(pos);
        made++;
        pos->pvLength = uint8_t(i);
    }
    for (int i = made - 1; i >= 0; i--) unmakeMove(i, pos->plyStack[i].pvMove, pos);
    pos->plyStack[0].inCheck = rootInCheck;
}

std::string PVToString(positionStruct* pos) {
    std::string text;
    unsigned char side = pos->sideToMove;
    for (int i = 0; i <= pos->pvLength; i++) {
        text += moveToLA(&pos->plyStack[i].pvMove, side, pos);
        text += ' ';
        side ^= 1;
    }
    return text;
}
