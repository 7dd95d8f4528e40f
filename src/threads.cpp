// The pool of search threads: their sleep-and-wake handshake, the jobs that wait for a search to
// end, and the vote.
#include "threads.h"

#include <new>
#include <system_error>

#include "evaluate.h"
#include "hash.h"
#include "history.h"
#include "nnue.h"
#include "settings.h"

workForce theWorkForce;

worker::worker(int workerId) : id(workerId) {
    positionPtr = &position;
    attachMoveStorage(&position, moveStore);
    try {
        pawnTable = new pawnTableEntryStruct[PAWNTABLESIZE]();
        evalCache = new evalCacheEntryStruct[EVALCACHESIZE]();
        nnueStack = new accumulatorStruct[MAXPLY]();
        thread = std::thread(&worker::atTheOffice, this);
    } catch (...) {
        delete[] pawnTable;
        delete[] evalCache;
        delete[] nnueStack;
        throw;
    }
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [this] { return !busy; });
}

worker::~worker() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        quit = true;
        busy = true;
    }
    cv.notify_all();
    thread.join();
    delete[] pawnTable;
    delete[] evalCache;
    delete[] nnueStack;
}

void worker::atTheOffice() {
    while (true) {
        std::unique_lock<std::mutex> lock(mtx);
        if (afterSearch) {
            std::function<void()> job = std::move(afterSearch);
            afterSearch = nullptr;
            job();
        }
        busy = false;
        cv.notify_all();
        cv.wait(lock, [this] { return busy; });
        if (quit) return;
        lock.unlock();
        searchRoot();
    }
}

void worker::wake() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        busy = true;
    }
    cv.notify_all();
}

void worker::waitIdle() {
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [this] { return !busy; });
}

int workForce::setNofWorkers(int n) {
    if (!workers.empty()) workers[0]->waitIdle();
    while (!workers.empty()) {
        delete workers.back();
        workers.pop_back();
    }
    // When the system refuses a thread (or the memory for one) the threads that did start
    // make up the pool.
    try {
        workers.reserve(size_t(n > 0 ? n : 0));
        for (int i = 0; i < n; i++) workers.push_back(i == 0 ? new boss(0) : new worker(i));
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return int(workers.size());
}

void workForce::startSearch(int searchCount) {
    if (workers.empty()) return;
    workers[0]->waitIdle();
    stop.store(false, std::memory_order_relaxed);
    timeUp.store(false, std::memory_order_relaxed);
    deepestDepth.store(0, std::memory_order_relaxed);
    hashAgeCounter = uint8_t(searchCount % 64);
    setNetworkActive(engine.useNNUE); // the option takes effect here, while no thread evaluates
    for (worker* w : workers) {
        w->position = GPSData;
        attachMoveStorage(&w->position, w->moveStore);
        w->position.pawnTable = w->pawnTable;
        w->position.evalCache = w->evalCache;
        w->position.nnueStack = w->nnueStack;
        w->position.threadIndex = uint32_t(w->id);
        resetSearchState(&w->position);
        w->currentDepth.store(0, std::memory_order_relaxed);
    }
    workers[0]->wake();
}

void workForce::waitIdle() {
    if (!workers.empty()) workers[0]->waitIdle();
}

bool workForce::searching() {
    if (workers.empty()) return false;
    std::lock_guard<std::mutex> lock(workers[0]->mtx);
    return workers[0]->busy;
}

void workForce::whenIdle(std::function<void()> job) {
    if (!workers.empty()) {
        worker* main = workers[0];
        std::lock_guard<std::mutex> lock(main->mtx);
        if (main->busy) {
            if (main->afterSearch) {
                std::function<void()> earlier = std::move(main->afterSearch);
                main->afterSearch = [earlier, job] {
                    earlier();
                    job();
                };
            } else {
                main->afterSearch = std::move(job);
            }
            return;
        }
    }
    job();
}

void workForce::clearThreadTables() {
    for (worker* w : workers) {
        clearSearchTables(&w->position);
        clearEvalTables(w->pawnTable, w->evalCache);
    }
}

void workForce::wakeHelpers() {
    for (size_t i = 1; i < workers.size(); i++) workers[i]->wake();
}

void workForce::waitHelpers() {
    for (size_t i = 1; i < workers.size(); i++) workers[i]->waitIdle();
}

worker* workForce::votedWorker() {
    worker* best = workers[0];
    if (workers.size() > 1 && engine.depthLimit == 0 && engine.pvLines <= 1) {
        for (worker* t : workers) {
            positionStruct* tp = t->positionPtr;
            positionStruct* bp = best->positionPtr;
            // a thread stopped before it completed any depth has no score to report
            if (tp->rootScore == -INFINITESCORE) continue;
            int keyT = 2 * tp->rootDepth + tp->rootDepthDone;
            int keyBest = 2 * bp->rootDepth + bp->rootDepthDone;
            if (keyT == keyBest || tp->rootScore >= MATETHRESHOLD) {
                if (tp->rootScore > bp->rootScore) best = t;
            } else if (keyT > keyBest) {
                best = t;
            }
        }
    }
    return best;
}

void waitForIdleSearch() { theWorkForce.waitIdle(); }

int setSearchThreads(int threads) {
    int running = theWorkForce.setNofWorkers(threads);
    if (threads > 0) engine.nofThreads = running;
    return running;
}

void reportThreadShortfall(int wanted, int running) {
    sendLine("info string could not start " + std::to_string(wanted) + " search threads, " + std::to_string(running) +
             " run");
}

