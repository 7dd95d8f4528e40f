// The command loop's record: the state kept from one command line to the next.
#pragma once

#include <cstdint>

struct commandLoopStruct {
    int perftDepth = 6;   // the depth of perft and go perft, kept for the next one
    int searchCount = 0;  // searches since the table was last cleared or resized: the table's age
    int64_t lineTime = 0; // when the line being executed came (steady milliseconds), 0 for now
};
