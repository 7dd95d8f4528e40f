// Runs the built engine as a child process and talks to it through pipes, as a GUI does.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Sanitized engines run many times slower: the waits of the tests (and their defaults) widen by
// this factor.
#ifdef KESTRUNE_SLOW_BUILD
constexpr int TIMESCALE = 10;
#else
constexpr int TIMESCALE = 1;
#endif

class engineProcess {
public:
    // Starts the engine with the given arguments in the given working directory ("" = current),
    // its address space limited to addressSpaceLimit bytes when that is not 0.
    explicit engineProcess(const std::vector<std::string>& arguments = {}, const std::string& directory = "",
                           unsigned long addressSpaceLimit = 0);
    ~engineProcess();

    void send(const std::string& line);
    // Closes the engine's standard input (end of input).
    void closeInput();
    // Next output line, or false when none arrives within the timeout.
    bool readLine(std::string* line, int timeoutMs = 10000 * TIMESCALE);
    // Reads lines until one starts with prefix; returns it ("" on timeout). All lines read are
    // appended to seen when given.
    std::string waitFor(const std::string& prefix, int timeoutMs = 10000 * TIMESCALE,
                        std::vector<std::string>* seen = nullptr);
    // Waits for the process to end; returns its exit status, or -1 on timeout.
    int waitExit(int timeoutMs = 10000 * TIMESCALE);

private:
    pid_t pid = -1;
    int toEngine = -1;
    int fromEngine = -1;
    std::string pending;
};

// Milliseconds on the steady clock.
long long nowMs();
