// Move ordering: the staged move picker of the alpha-beta node (hash move, good captures,
// killers, counter move, losing captures, quiet moves by their histories; evasions in check),
// the pickers of quiescence and probcut, and the static exchange test they share.
#pragma once

#include "general.h"

// Exchange values by piece code.
extern const short seeValue[14];

// Stages of the move picker; while a move is searched genStage holds the stage after it.
enum pickStages {
    STAGEHASHMOVE = 0,
    STAGEGENCAPTURES = 1,
    STAGEGOODCAPTURES = 2,
    STAGEKILLER1 = 3,
    STAGEKILLER2 = 4,
    STAGECOUNTERMOVE = 5,
    STAGELOSINGCAPTURES = 6,
    STAGELOSINGCAPTURESNEXT = 7,
    STAGEGENQUIETS = 8,
    STAGEQUIETS = 9,
    STAGEEVASIONS = 99
};

// Static exchange test: does the exchange on move.to win at least threshold for the mover?
bool seeTest(positionStruct* pos, moveStruct move, int threshold);

// Whether a stored move (hash move, killer, counter move; piece code in its fourth byte) can be
// played in the position at ply.
bool isMovePseudoLegal(unsigned char ply, moveStruct move, positionStruct* pos);

// Whether a pseudo-legal move leaves the mover's king safe, also when in check.
bool isMoveLegalAnyway(unsigned char ply, moveStruct move, positionStruct* pos);

// Quiescence's list at ply keeps only the moves onto square, in generation order.
void keepRecaptures(unsigned char ply, int square, positionStruct* pos);
// Quiescence's next move of [cursor, end), swapped to cursor: the highest ordering score, the
// first of equals. With skipLosing a capture that loses material by the exchange test is no
// candidate and stays where it is. Null when no candidate remains.
moveStruct* pickQuiescenceMove(moveStruct* cursor, moveStruct* end, bool skipLosing, positionStruct* pos);

// Lowers the score byte of the evasions of ply's list that lose material.
void lowerLosingEvasions(unsigned char ply, positionStruct* pos);

// Computes plyStack[ply].notPinned as the capture generator does.
void computeNotPinned(unsigned char ply, positionStruct* pos);

// Prepares the picker of the node at ply (genStage 0, empty list).
void initMovePicker(unsigned char ply, positionStruct* pos);
// Hands out the next move of the node at ply, in stage order; false when none remain. With
// pruning set the quiet moves come in list order without their history sums.
bool pickNextMove(unsigned char ply, positionStruct* pos, moveStruct* move, bool pruning);
// Probcut's picker: the hash move if it is a capture, then the captures in the capture stage's
// order, taking only those whose exchange reaches threshold.
bool pickNextProbcutMove(unsigned char ply, positionStruct* pos, moveStruct* move, int threshold);

// The one best-move selection: swaps the move with the highest score byte in [first, end) to
// first (the first of equals wins).
inline void selectBest(moveStruct* first, moveStruct* end) {
    moveStruct* best = first;
    for (moveStruct* m = first + 1; m < end; m++) {
        if (m->score > best->score) best = m;
    }
    if (best != first) {
        moveStruct t = *first;
        *first = *best;
        *best = t;
    }
}
