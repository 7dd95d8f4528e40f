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

// Whether a pseudo-legal move of a side not in check leaves its king safe.
bool isMoveLegal(unsigned char ply, moveStruct move, positionStruct* pos);

void makeMove(unsigned char ply, moveStruct move, positionStruct* pos);
void unmakeMove(unsigned char ply, moveStruct move, positionStruct* pos);
