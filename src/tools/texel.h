// Texel tuning: how well the static evaluation predicts game results over labelled positions.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eval.h"
#include "evaluate.h"
#include "general.h"

constexpr int NOFTEXELWORKERS = 24;
// Slope of the logistic curve that turns a centipawn score into an expected result.
constexpr double TEXELSCALE = 0.0043;

extern const char texelFilename[];

// One labelled position: its FEN and the game's result for white (1, 0.5 or 0).
struct texelPosStruct {
    std::string fen;
    double result;
};

// One tunable evaluation parameter.
struct texelParStruct {
    std::string name;
};

extern std::vector<texelPosStruct> texelPositions; // every loaded position, in file order
extern std::vector<texelParStruct> texelPars;

// One tuning thread with a private copy of its share of the positions.
class texelWorker {
public:
    int id;
    std::vector<texelPosStruct> positions;
    std::mutex mtx;
    std::condition_variable cv;
    bool quit = false;
    bool work = true; // set until the thread first reports idle, so no request can be lost
    std::thread thread;
    positionStruct position;
    moveStruct moveStore[MOVESTORAGESIZE];
    std::unique_ptr<pawnTableEntryStruct[]> pawnTable;
    std::unique_ptr<evalCacheEntryStruct[]> evalCache;
    double errorSum = 0; // of the last run; read only after work is clear again

    // Starts the thread and returns once it waits for work.
    texelWorker(int workerId, std::vector<texelPosStruct> share);
    virtual ~texelWorker();
    virtual void calcTexelPosSubset();

    void atTheOffice();
};

struct texelWorkForce {
    std::vector<std::unique_ptr<texelWorker>> workers;

    // Replaces the pool by NOFTEXELWORKERS workers sharing out the positions; the last one
    // also takes the remainder.
    void hireWorkers(const std::vector<texelPosStruct>& all);
    // Runs every worker once; the mean squared error over texelPositions.
    double calcTexelError();
    // Ends and joins every tuning thread; nothing happens without any.
    void endWorkers();
    ~texelWorkForce();
};

extern texelWorkForce theTexelWorkForce;

// The expected result for white of a score from white's point of view.
double texelSigmoid(int score);
// Reads one line "<FEN> c9 \"<result>\";". False, with record untouched, for a line without the
// word c9, without a result word after it, or with a FEN the board cannot take.
bool parseTexelLine(const std::string& line, texelPosStruct* record);
// Appends the file's labelled positions to texelPositions; false when it cannot be opened.
bool loadTexelPositions(const std::string& path);

// The texel command: rebuilds the tables, loads the file, measures and reports.
void texelCommand(const std::string& path = texelFilename);
// Ends every tuning thread; safe to call when none exist.
void endTexelWorkers();
