// Placeholder until the prober is connected: no tables are ever loaded.
#include "syzygy.h"

#include <iostream>

void setSyzygyPath(const std::string&) {}
int syzygyLargestTable() { return 0; }
uint32_t syzygyProbeDTZ(int, positionStruct*) { return 0; }
bool syzygyProbeWDL(unsigned char, positionStruct*, int*) { return false; }
