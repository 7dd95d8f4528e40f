// Texel tuning: the mean squared difference between game results and a logistic function of
// the static evaluation, measured by a fixed pool of tuning threads.
#include "texel.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "evaluate.h"
#include "hash.h"
#include "moveTable.h"
#include "settings.h"

const char texelFilename[] = "quiet-labeled.epd";

std::vector<texelPosStruct> texelPositions;
std::vector<texelParStruct> texelPars;
texelWorkForce theTexelWorkForce;

namespace {

// Doubles are reported in the stream's default format (six significant digits).
std::string numberText(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

} // namespace

double texelSigmoid(int score) { return 1.0 / (1.0 + std::pow(10.0, -TEXELSCALE * score)); }

bool parseTexelLine(const std::string& line, texelPosStruct* record) {
    std::istringstream words(line);
    std::string word, fen, label;
    bool labelled = false;
    while (words >> word) {
        if (word == "c9") {
            labelled = true;
            break;
        }
        fen += word + " ";
    }
    if (!labelled || !(words >> label)) return false;
    if (!fenProblem(fen).empty()) return false;
    // The label is quoted: its three characters after the opening quote decide.
    const std::string result = label.substr(1, 3);
    record->fen = fen;
    record->result = result == "1-0" ? 1.0 : result == "1/2" ? 0.5 : 0.0;
    return true;
}

bool loadTexelPositions(const std::string& path) {
    // A directory opens as a stream too, and would read as an empty file.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return false;
    std::ifstream file(path);
    if (!file.is_open()) return false;
    std::string line;
    texelPosStruct record;
    while (std::getline(file, line))
        if (parseTexelLine(line, &record)) texelPositions.push_back(record);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Tuning threads

texelWorker::texelWorker(int workerId, std::vector<texelPosStruct> share)
    : id(workerId), positions(std::move(share)), pawnTable(new pawnTableEntryStruct[PAWNTABLESIZE]),
      evalCache(new evalCacheEntryStruct[EVALCACHESIZE]) {
    clearEvalTables(pawnTable.get(), evalCache.get());
    attachMoveStorage(&position, moveStore);
    position.pawnTable = pawnTable.get();
    position.evalCache = evalCache.get();
    thread = std::thread(&texelWorker::atTheOffice, this);
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [this] { return !work; });
}

texelWorker::~texelWorker() {
    {
        // A run still going would clear the work flag after we set it: let it finish first.
        std::unique_lock<std::mutex> lock(mtx);
        cv.wait(lock, [this] { return !work; });
        quit = true;
        work = true;
    }
    cv.notify_all();
    thread.join();
}

void texelWorker::calcTexelPosSubset() {
    double sum = 0;
    for (const texelPosStruct& record : positions) {
        setPosition(record.fen, &position);
        int score = evaluateClassic(&position);
        if (position.sideToMove == BLACK) score = -score;
        const double miss = record.result - texelSigmoid(score);
        sum += miss * miss;
    }
    errorSum = sum;
}

void texelWorker::atTheOffice() {
    sendLine("Lets go");
    while (true) {
        std::unique_lock<std::mutex> lock(mtx);
        work = false;
        cv.notify_all();
        cv.wait(lock, [this] { return work; });
        if (quit) return;
        lock.unlock();
        calcTexelPosSubset();
    }
}

// ---------------------------------------------------------------------------------------------
// The pool

void texelWorkForce::hireWorkers(const std::vector<texelPosStruct>& all) {
    endWorkers();
    const size_t share = all.size() / NOFTEXELWORKERS;
    for (int k = 0; k < NOFTEXELWORKERS; k++) {
        auto first = all.begin() + k * share;
        auto last = k == NOFTEXELWORKERS - 1 ? all.end() : first + share;
        workers.push_back(std::make_unique<texelWorker>(k, std::vector<texelPosStruct>(first, last)));
    }
}

double texelWorkForce::calcTexelError() {
    for (auto& w : workers) {
        {
            std::lock_guard<std::mutex> lock(w->mtx);
            w->work = true;
        }
        w->cv.notify_all();
    }
    double sum = 0;
    for (auto& w : workers) {
        std::unique_lock<std::mutex> lock(w->mtx);
        w->cv.wait(lock, [&w] { return !w->work; });
        sum += w->errorSum;
    }
    // No positions give 0 / 0, reported as not-a-number.
    return sum / double(texelPositions.size());
}

void texelWorkForce::endWorkers() {
    // Each destructor waits for its thread to be idle, wakes it to quit and joins it.
    while (!workers.empty()) workers.pop_back();
}

texelWorkForce::~texelWorkForce() { endWorkers(); }

void endTexelWorkers() { theTexelWorkForce.endWorkers(); }

// ---------------------------------------------------------------------------------------------
// The command

void texelCommand(const std::string& path) {
    initBitboardConstants();
    initHashCodes();
    if (!loadTexelPositions(path)) {
        sendLine("There seems to be a problem with the tuning file. tuning not executed");
        return;
    }
    theTexelWorkForce.hireWorkers(texelPositions);

    sendLine("Starting texel tuning....");
    // No parameter is tuned, so the improvement pass changes nothing and the error stays.
    texelPars.clear();
    const double startError = theTexelWorkForce.calcTexelError();
    sendLine("Starting error " + numberText(startError));
    sendLine("");
    sendLine(" Improving: 1");
    const double endError = theTexelWorkForce.calcTexelError();
    sendLine("Ending error " + numberText(endError) + " Minimum error " + numberText(startError));
}
