// Texel measurement speed: positions evaluated per second by the 24 tuning threads over a file
// of labelled positions (the shared tuning file unless a path is given), and the error found.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "hash.h"
#include "moveTable.h"
#include "tools/texel.h"

namespace {

const char* const defaultPath = "/work/shared/texel/quiet-labeled.epd";

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : defaultPath;
    initBitboardConstants();
    initHashCodes();

    double start = secondsNow();
    if (!loadTexelPositions(path)) {
        std::printf("cannot open %s\n", path.c_str());
        return 1;
    }
    const double loadSeconds = secondsNow() - start;
    const double positions = double(texelPositions.size());
    std::printf("%s: %zu positions loaded in %.3f s (%.0f lines/s)\n", path.c_str(), texelPositions.size(),
                loadSeconds, positions / loadSeconds);

    start = secondsNow();
    theTexelWorkForce.hireWorkers(texelPositions);
    std::fflush(stdout);
    std::printf("%d tuning threads started in %.3f s\n", NOFTEXELWORKERS, secondsNow() - start);

    // The first run fills each worker's evaluation cache; the second one mostly hits it.
    for (const char* run : {"first run (cold caches)", "second run (warm caches)"}) {
        start = secondsNow();
        const std::clock_t cpuStart = std::clock();
        const double error = theTexelWorkForce.calcTexelError();
        const double seconds = secondsNow() - start;
        // Processor time of all threads: a figure that other work on the machine disturbs less.
        const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        std::printf("%s: %.3f s, %.0f positions/s; processor %.3f s, %.0f positions per processor-second; "
                    "error %.6f\n",
                    run, seconds, positions / seconds, cpuSeconds, positions / cpuSeconds, error);
    }

    start = secondsNow();
    endTexelWorkers();
    std::printf("threads joined in %.3f s\n", secondsNow() - start);
    return 0;
}
