// The pool of search threads: each thread sleeps between searches and is woken for the next;
// the main thread (the boss) wakes the helpers, waits for them and asks the vote which thread's
// result it reports. Only the transposition table and the pool's flags are shared.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "search.h"

struct accumulatorStruct;

class worker {
public:
    std::mutex mtx;
    std::condition_variable cv;
    int id;
    std::atomic<int> currentDepth{0};
    bool quit = false;
    bool busy = true;
    std::thread thread;
    positionStruct position;
    positionStruct* positionPtr;
    moveStruct moveStore[MOVESTORAGESIZE];
    pawnTableEntryStruct* pawnTable = nullptr;  // owned, PAWNTABLESIZE entries
    evalCacheEntryStruct* evalCache = nullptr;  // owned, EVALCACHESIZE entries
    accumulatorStruct* nnueStack = nullptr;     // owned, MAXPLY entries: the network's accumulators by ply
    rootFilterStruct rootFilter;                // root moves this thread's search leaves out
    std::function<void()> afterSearch;          // run before the thread next counts as idle; guarded by mtx

    explicit worker(int id);
    virtual ~worker();
    virtual void searchRoot();

    void atTheOffice();
    void wake();     // busy = true and notify
    void waitIdle(); // until busy is false
};

class boss : public worker {
public:
    moveStruct savedBestMove = EMPTYMOVE;
    moveStruct savedPonderMove = EMPTYMOVE;
    std::vector<rootLineStruct> lines;      // the lines last reported, best first
    std::vector<rootLineStruct> freshLines; // the lines of the depth being searched

    explicit boss(int id) : worker(id) {}
    void searchRoot() override;
};

struct workForce {
    std::vector<worker*> workers; // [0] is the boss
    std::atomic<bool> stop{false};
    std::atomic<bool> pondering{false};
    std::atomic<bool> timeUp{false};
    std::atomic<int> deepestDepth{0};
    std::atomic<U64> tbHits{0};

    // Rebuilds the pool with n threads (0 ends them all); waits for a running search first.
    // Returns the number of threads that run, fewer than n when the system refuses more.
    int setNofWorkers(int n);
    // Starts a search of GPSData on every thread; returns at once.
    void startSearch(int searchCount);
    // Waits until the boss (and so the whole pool) is idle; no-op with an empty pool.
    void waitIdle();
    // Whether a search runs (its bestmove not yet written, or its waiting jobs not yet done).
    bool searching();
    // Runs job at once when no search runs, otherwise on the main search thread as soon as the
    // running search has written its bestmove (before the pool counts as idle).
    void whenIdle(std::function<void()> job);
    // Forgets what the threads learned: their history tables, killers, counter moves and
    // evaluation and pawn caches. Only while the pool is idle.
    void clearThreadTables();
    // The boss's side of a search: the helpers woken, and waited for once it has stopped.
    void wakeHelpers();
    void waitHelpers();
    // The thread whose result is reported: the deepest completed depth, the better score among
    // equals and mates. The boss itself with one thread, a depth limit or several lines.
    worker* votedWorker();
    ~workForce() = default;
};

extern workForce theWorkForce;

// Blocks until no search runs.
void waitForIdleSearch();
// Rebuilds the search thread pool (0 ends every search thread); returns the number of threads
// that run, which becomes the Threads setting.
int setSearchThreads(int threads);
// The info line for a pool that has fewer threads than wanted.
void reportThreadShortfall(int wanted, int running);
