// The principal variation, read back from the transposition table.
#include "principalVariation.h"

#include "hash.h"
#include "move.h"
#include "movePicker.h"

namespace {

// Walks exact table entries from the root; a given first move replaces the root's entry.
void walkPV(positionStruct* pos, moveStruct first, int maxMoves) {
    pos->pvLength = 0;
    if (maxMoves < 1) return;
    if (maxMoves > MAXPLY - 1) maxMoves = MAXPLY - 1;
    const uint8_t rootInCheck = pos->plyStack[0].inCheck;
    pos->plyStack[0].inCheck = kingInCheck(pos);
    const bool firstGiven = first.from | first.to | first.flag;
    int made = 0;
    for (int i = 0; i < maxMoves; i++) {
        moveStruct m;
        if (i == 0 && firstGiven) {
            m = first;
        } else {
            U64 data;
            if (!probeHashTable(pos->hashKey, &data) || hashDataBound(data) != BOUNDEXACT) break;
            m = hashDataMove(data);
            if (!(m.from | m.to | m.flag)) break;
        }
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

} // namespace

void getPVFromHashTable(unsigned char, positionStruct* pos, int maxMoves) { walkPV(pos, EMPTYMOVE, maxMoves); }

void getPVFromMove(positionStruct* pos, moveStruct first, int maxMoves) {
    walkPV(pos, first, maxMoves);
    // a root move that could not be played still heads its line
    if (pos->pvLength == 0) pos->plyStack[0].pvMove = first;
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
