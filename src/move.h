// Move generation, legality and making moves.
#pragma once

#include "general.h"

bool squareAttacked(int square, int byColour, U64 occupancy, positionStruct* pos);
bool squareAttackedBy(int square, int byColour, U64 occupancy, const U64 pieceBB[14]);
bool kingInCheck(positionStruct* pos); // the side to move's king

void generateMovesCaptures(unsigned char ply, moveStruct* slot, positionStruct* pos);
void generateMovesQuiets(unsigned char ply, moveStruct* slot, positionStruct* pos);
void generateMovesEvade(unsigned char ply, moveStruct* slot, positionStruct* pos);
void generateMovesLegal(unsigned char ply, moveStruct* slot, positionStruct* pos);

// The number of legal moves of the side to move, whose record's inCheck is set: perft's last ply.
// Men that are neither pinned nor the king are counted from their target sets without a list.
uint64_t countLegalMoves(unsigned char ply, positionStruct* pos);

// Whether a castling move (flag 14 or 15, from a stored move) can be played here: the right,
// the king and the rook in place, the way free. The king's destination is left to the legality test.
bool castlingMoveFits(unsigned char ply, moveStruct move, positionStruct* pos);

// The full test for king moves, en passant and pinned men.
bool isMoveLegalSlow(unsigned char ply, moveStruct move, positionStruct* pos);

// Whether a pseudo-legal move of a side not in check leaves its king safe. A man that is not
// pinned, other than the king and an en-passant capturer, needs no test.
inline bool isMoveLegal(unsigned char ply, moveStruct move, positionStruct* pos) {
    if (pos->board[move.from] < WKING && move.flag != ENPASSANT && (pos->plyStack[ply].notPinned >> move.from & 1))
        return true;
    return isMoveLegalSlow(ply, move, pos);
}

void makeMove(unsigned char ply, moveStruct move, positionStruct* pos);
void unmakeMove(unsigned char ply, moveStruct move, positionStruct* pos);
