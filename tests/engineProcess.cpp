#include "engineProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

engineProcess::engineProcess(const std::vector<std::string>& arguments, const std::string& directory,
                             unsigned long addressSpaceLimit) {
    int input[2], output[2];
    if (pipe(input) != 0 || pipe(output) != 0) return;
    signal(SIGPIPE, SIG_IGN);
    pid = fork();
    if (pid == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        close(input[1]);
        close(output[0]);
        if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
        if (addressSpaceLimit) {
            rlimit limit{addressSpaceLimit, addressSpaceLimit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
        }
        std::vector<char*> argv;
        std::string binary = KESTRUNE_BINARY;
        argv.push_back(binary.data());
        std::vector<std::string> copies = arguments;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    toEngine = input[1];
    fromEngine = output[0];
}

engineProcess::~engineProcess() {
    closeInput();
    if (pid > 0 && waitExit(5000) < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (fromEngine >= 0) close(fromEngine);
}

void engineProcess::send(const std::string& line) {
    std::string text = line + "\n";
    if (toEngine >= 0 && write(toEngine, text.data(), text.size()) < 0) closeInput();
}

void engineProcess::closeInput() {
    if (toEngine >= 0) close(toEngine);
    toEngine = -1;
}

bool engineProcess::readLine(std::string* line, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            *line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return true;
        }
        long long left = deadline - nowMs();
        if (left <= 0 || fromEngine < 0) return false;
        pollfd watch{fromEngine, POLLIN, 0};
        if (poll(&watch, 1, int(left)) <= 0) return false;
        char buffer[4096];
        ssize_t n = read(fromEngine, buffer, sizeof(buffer));
        if (n <= 0) return false;
        pending.append(buffer, size_t(n));
    }
}

std::string engineProcess::waitFor(const std::string& prefix, int timeoutMs, std::vector<std::string>* seen) {
    long long deadline = nowMs() + timeoutMs;
    std::string line;
    while (readLine(&line, int(std::max(0LL, deadline - nowMs())))) {
        if (seen) seen->push_back(line);
        if (line.compare(0, prefix.size(), prefix) == 0) return line;
    }
    return "";
}

int engineProcess::waitExit(int timeoutMs) {
    if (pid <= 0) return -1;
    long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        int status;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}
