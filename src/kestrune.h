// The program's entry point and command loop.
#pragma once

#include <cstdint>
#include <string>

// State of the command loop kept from one command to the next.
struct commandLoopStruct {
    int perftDepth = 6;
    int searchCount = 0;
    int64_t lineTime = 0; // when the line being executed came (steady milliseconds), 0 for now
};

// Executes one command line; returns false when the line was "quit".
bool executeCommand(const std::string& line, commandLoopStruct& loop);

// The position command on the rest of its line.
void positionCommand(std::istringstream& words);

// Start-up, the command loop (or the one command given as arguments) and shut-down.
int runEngine(int argc, char** argv);

// Start-up steps that build the global tables, the table and the start position.
void initEngine();
