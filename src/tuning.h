// The network's search parameters as spin options, for tuning them in games (bench/spsa.py). Only
// an engine built for tuning (make tune: KESTRUNE_TUNE) lists and reads them; every other build
// keeps its option listing as it is. Each option sets one number of the network's record; the
// reduction table is refilled from its two numbers. Only while no search runs.
#pragma once

#include <string>
#include <vector>

// The "option name ..." lines of the tunable numbers, in the order a tuner reads them.
std::vector<std::string> tuningOptionLines();

// Whether name is one of the tunable numbers.
bool isTuningOption(const std::string& name);
// Sets a tunable number (limited to its range) and refills the network's reduction table.
void setTuningOption(const std::string& name, long long value);

// Whether this build lists the tunable numbers.
constexpr bool tuningBuild =
#ifdef KESTRUNE_TUNE
    true;
#else
    false;
#endif
