// The interactive command loop and the commands it holds back while a search runs.
#include "commandLoop.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kestrune.h"
#include "settings.h"
#include "threads.h"

namespace {

std::string firstWord(const std::string& line) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    return word;
}

// Commands that act at once whatever runs or waits.
bool actsAtOnce(const std::string& command) {
    return command == "stop" || command == "isready" || command == "ponderhit" || command == "quit";
}

// Commands that need the search pool idle: while a search runs they wait, in the order they
// came, until it has written its bestmove. A new command that waits for the pool belongs here.
bool waitsForIdlePool(const std::string& line) {
    std::istringstream words(line);
    std::string command, word;
    words >> command;
    if (command == "go") return !(words >> word) || word != "perft";
    if (command == "setoption") {
        words >> word; // "name"
        return words >> word && word == "Threads";
    }
    return command == "rtest" || command == "texel" || command == "bench" || command == "genfens" ||
           command == "datagen" || command == "convert" || command == "label";
}

bool startsSearch(const std::string& line) { return firstWord(line) == "go" && waitsForIdlePool(line); }

// Lines from standard input, read by a thread of their own so that the loop can also wake
// when a search it holds commands back for has ended.
struct inputStruct {
    std::mutex mtx;
    std::condition_variable cv;
    std::deque<std::string> lines;
    std::deque<int64_t> times;
    bool searchEnded = false;
    bool endOfInput = false; // the last line is the quit that the end of input stands for
};

void readInput(inputStruct* input) {
    std::string line;
    for (;;) {
        const bool read = bool(std::getline(std::cin, line));
        if (!read) line = "quit"; // the end of input counts as quit
        if (!line.empty() && line.back() == '\r') line.pop_back();
        {
            std::lock_guard<std::mutex> lock(input->mtx);
            input->lines.push_back(line);
            input->times.push_back(steadyMilliseconds());
            input->endOfInput = !read;
        }
        input->cv.notify_one();
        if (!read || firstWord(line) == "quit") return;
    }
}

struct heldLineStruct {
    std::string line;
    int64_t time;
    std::string command;
    bool waits;  // needs the search threads idle
    bool search; // starts a search
};

heldLineStruct heldLine(const std::string& line, int64_t time) {
    return {line, time, firstWord(line), waitsForIdlePool(line), startsSearch(line)};
}

} // namespace

// quit drops the held commands; the end of input runs them first.
void runCommandLoop(commandLoopStruct& loop) {
    inputStruct input;
    std::thread reader(readInput, &input);
    std::deque<heldLineStruct> held;
    int heldSearches = 0; // the held lines that start a search
    // the main search thread tells the loop once its search has ended
    auto wakeAfterSearch = [&input] {
        theWorkForce.whenIdle([&input] {
            {
                std::lock_guard<std::mutex> lock(input.mtx);
                input.searchEnded = true;
            }
            input.cv.notify_one();
        });
    };
    auto execute = [&loop](const std::string& line, int64_t time) {
        loop.lineTime = time;
        bool goOn = executeCommand(line, loop);
        loop.lineTime = 0;
        return goOn;
    };
    for (;;) {
        std::string line;
        int64_t time = 0;
        bool fromInput = false, endOfInput = false;
        {
            std::unique_lock<std::mutex> lock(input.mtx);
            input.cv.wait(lock, [&] { return !input.lines.empty() || input.searchEnded; });
            if (input.searchEnded) {
                input.searchEnded = false;
            } else {
                line = input.lines.front();
                time = input.times.front();
                input.lines.pop_front();
                input.times.pop_front();
                fromInput = true;
                endOfInput = input.endOfInput && input.lines.empty();
            }
        }
        if (fromInput) {
            const std::string command = firstWord(line);
            // input that ends (a script) quits after the commands held back, as they came
            if (actsAtOnce(command) && !(endOfInput && !held.empty())) {
                if (!execute(line, time)) break;
                // a stop or ponderhit also reaches the search of a go held back before it
                if (heldSearches > 0 && (command == "stop" || command == "ponderhit"))
                    held.push_back(heldLine(line, time));
                continue;
            }
            if (held.empty() && !(waitsForIdlePool(line) && theWorkForce.searching())) {
                if (!execute(line, time)) break;
                continue;
            }
            held.push_back(heldLine(line, time));
            heldSearches += held.back().search;
            if (held.size() > 1) continue; // the first held line already waits for the search
        }
        // run the held lines up to the next one that must wait for a search
        bool goOn = true;
        while (!held.empty() && goOn) {
            if (held.front().waits && theWorkForce.searching()) {
                // a stop or ponderhit held behind a command that is no search, with no go between,
                // is meant for the running search: it must not wait for that search's end
                const bool searchFirst = held.front().search;
                for (auto h = held.begin() + 1; !searchFirst && h != held.end() && !h->search;) {
                    if (h->command == "stop" || h->command == "ponderhit") {
                        execute(h->line, h->time);
                        h = held.erase(h);
                    } else {
                        ++h;
                    }
                }
                wakeAfterSearch();
                break;
            }
            heldLineStruct next = held.front();
            held.pop_front();
            heldSearches -= next.search;
            goOn = execute(next.line, next.time);
        }
        if (!goOn) break;
    }
    // quit has stopped the search; its bestmove (and the wake-up above) comes before input goes
    theWorkForce.waitIdle();
    reader.join();
}

