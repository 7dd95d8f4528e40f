// The settings record, the clock and the reply writer.
#include "settings.h"

#include <chrono>
#include <iostream>
#include <mutex>

engineStruct engine;

namespace {
std::mutex outputMutex;
} // namespace

int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sendLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    // one write, so that a line printed elsewhere cannot split it
    std::cout << (line + '\n') << std::flush;
}
