// Worker processes of the data tools, and the position they play on.
#include "threads.h"
#include "workerProcesses.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "move.h"
#include "settings.h"
#include "search.h"

bool runShareProcesses(int processes, const std::string& output, const std::string& command,
                       const std::function<void(int, const std::string&)>& work, std::vector<std::string>* parts) {
    std::cout << std::flush;
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; i++) {
        std::string part = output + ".part" + std::to_string(i);
        pid_t pid = fork();
        if (pid == 0) {
            work(i, part);
            std::cout << std::flush;
            _exit(0);
        }
        if (pid < 0) {
            sendLine("info string " + command + ": could not start worker process " + std::to_string(i));
            continue;
        }
        children.push_back(pid);
        parts->push_back(part);
    }
    bool complete = !children.empty();
    for (pid_t pid : children) {
        int status = 0;
        complete &= waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return complete;
}

positionStruct* poolPosition() { return &theWorkForce.workers[0]->position; }

bool setUpPoolPosition(const std::string& fen, bool chess960) {
    worker* w = theWorkForce.workers[0];
    positionStruct* pos = &w->position;
    if (!setPosition(fen, pos, chess960)) return false;
    attachMoveStorage(pos, w->moveStore);
    pos->pawnTable = w->pawnTable;
    pos->evalCache = w->evalCache;
    pos->threadIndex = 0;
    return true;
}

long legalMoveCount(positionStruct* pos) {
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    return long(pos->plyStack[0].listEnd - pos->plyStack[0].listStart);
}

void playLegalMove(moveStruct move, positionStruct* pos) {
    applyMoveWords(moveToLA(&move, pos->sideToMove, pos), pos);
}
