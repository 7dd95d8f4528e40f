// The program: start-up, the dispatch of one command line, and shut-down.
#pragma once

#include <string>

#include "commandLoopRecord.h"

// Executes one command line; returns false when the line was "quit".
bool executeCommand(const std::string& line, commandLoopStruct& loop);

// Start-up, the command loop (or the one command given as arguments) and shut-down.
int runEngine(int argc, char** argv);

// Start-up steps that build the global tables, the table and the start position.
void initEngine();
