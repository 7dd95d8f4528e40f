// Worker processes of the data tools, and the position they play on.
#include "threads.h"
#include "workerProcesses.h"

#include "move.h"
#include "nnue.h"
#include "platform.h"
#include "settings.h"
#include "search.h"

namespace {

// What a worker process started afresh (where the system cannot fork) needs of this engine's
// settings before its command; its answer to the closing isready marks where its own lines begin.
std::string workerSetupScript() {
    std::string script;
    auto option = [&script](const std::string& name, const std::string& value) {
        script += "setoption name " + name + " value " + value + "\n";
    };
    option("UCI_Chess960", engine.chess960 ? "true" : "false");
    if (networkUsable()) option("EvalFile", networkName());
    option("Use NNUE", engine.useNNUE ? "true" : "false");
    if (!engine.syzygyPath.empty()) option("SyzygyPath", engine.syzygyPath);
    option("SyzygyProbeDepth", std::to_string(engine.syzygyProbeDepth));
    option("Syzygy50MoveRule", engine.syzygy50MoveRule ? "true" : "false");
    return script + "isready\n";
}

} // namespace

bool runShareProcesses(int processes, const std::string& output, const std::string& command,
                       const std::function<void(int, const std::string&)>& work,
                       const std::function<std::string(int, const std::string&)>& workerCommand,
                       std::vector<std::string>* parts) {
    auto partOf = [&output](int i) { return output + ".part" + std::to_string(i); };
    workerProcessesStruct workers;
    workers.work = [&](int i) { work(i, partOf(i)); };
    workers.script = [&](int i) { return workerSetupScript() + workerCommand(i, partOf(i)) + "\n"; };
    workers.forward = [](const std::string& line) { sendLine(line); };
    workers.notStarted = [&command](int i) {
        sendLine("info string " + command + ": could not start worker process " + std::to_string(i));
    };
    std::vector<int> started;
    const bool complete = runWorkerProcesses(processes, workers, &started);
    for (int i : started) parts->push_back(partOf(i));
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
