// The data tools' work split over processes: each worker process is a single-threaded engine
// with its own table and node count that writes its share to a file of its own, and the
// position each one plays on.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "general.h"

// Runs `processes` worker processes, each writing its share to the file part (output.part<i>):
// work(i, part) in a forked copy of this engine, or, where the system cannot fork, a new engine
// given this one's settings and workerCommand(i, part), the command that plays that share alone.
// parts receives the files of the processes that started. True when at least one started and
// every one ended well. command names the tool in its messages.
bool runShareProcesses(int processes, const std::string& output, const std::string& command,
                       const std::function<void(int, const std::string&)>& work,
                       const std::function<std::string(int, const std::string&)>& workerCommand,
                       std::vector<std::string>* parts);

// Sets pos (the main search thread's position of a pool of one, so that a node limit counts it)
// to fen with that thread's move storage and caches; false for a FEN the board cannot take.
bool setUpPoolPosition(const std::string& fen, bool chess960);
// That position.
positionStruct* poolPosition();

// The number of legal moves at ply 0, which are generated into the ply's list.
long legalMoveCount(positionStruct* pos);
// Plays a legal move from ply 0 as a position command does, keeping the key history.
void playLegalMove(moveStruct move, positionStruct* pos);
