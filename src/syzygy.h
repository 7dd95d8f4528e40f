// The Syzygy tablebases as the search uses them.
#pragma once

#include <cstdint>
#include <string>

#include "general.h"

// Registers the tables found in the directories of path (separated by ':'); "" or "<empty>"
// registers none. Prints what the prober reports.
void setSyzygyPath(const std::string& path);

// Largest number of men of any loaded table; 0 when none are loaded.
int syzygyLargestTable();

// Tablebase move for the root position as a 32-bit move (from, to, flag, piece), or 0; with a
// move, *score (when given) is the root's verdict as a search score, which the caller reports.
// The excluded moves (a searchmoves restriction) are never chosen; the score then is that of the
// move chosen among the others.
uint32_t syzygyProbeDTZ(int, positionStruct* pos, const moveStruct* excluded = nullptr, int excludedCount = 0,
                        int* score = nullptr);

// Win/draw/loss probe of the position at ply (fifty-move counter 0, no castling rights).
// Returns false when the tables cannot answer; otherwise *wdl is -2..2 for the side to move.
// The caller counts the hit in tbHitCount.
bool syzygyProbeWDL(unsigned char ply, positionStruct* pos, int* wdl);

// The prober's form of a position: epSquare is the engine's (the double-stepped pawn's square),
// fifty the half-move clock.
struct pos;
void positionToTB(positionStruct* position, uint8_t epSquare, unsigned fifty, pos* out);
