// Static scores of the quiet positions of a training file and of variants a few plies away.
#include "label.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "datagen.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "search.h"
#include "settings.h"
#include "threads.h"
#include "toolWords.h"
#include "workerProcesses.h"

namespace {

constexpr int MAXLABELVARIANTS = 64;
constexpr int MAXLABELPLIES = 16;
constexpr long long LABELPROGRESSLINES = 1000000;
constexpr uint64_t NOWORKERWORD = UINT64_MAX; // no "worker" word: this engine runs the whole command

struct labelCountsStruct {
    long long lines = 0, bad = 0, written = 0, inCheck = 0, noisy = 0, finished = 0;
};

// The static score of a quiet position from white's view, or false when the position is in
// check, has no legal move, or a capture sequence changes its score.
bool quietScore(positionStruct* pos, labelCountsStruct* counts, int* score) {
    if (pos->plyStack[0].inCheck) {
        counts->inCheck++;
        return false;
    }
    if (legalMoveCount(pos) == 0) {
        counts->finished++;
        return false;
    }
    const int staticScore = evaluateN(0, pos);
    const int settled = quiescence(0, 0, short(-INFINITESCORE), short(INFINITESCORE), pos);
    if (settled != staticScore) {
        counts->noisy++;
        return false;
    }
    *score = pos->sideToMove == WHITE ? staticScore : -staticScore;
    return true;
}

// A worker process's share of the lines: every threads-th from index.
labelCountsStruct labelShare(const labelRequestStruct& request, int index, const std::string& path) {
    labelCountsStruct counts;
    std::ifstream in(request.input);
    std::ofstream out(path, std::ios::trunc);
    allocateHashTable(1);
    clearHashTable();
    positionStruct* pos = poolPosition();
    std::mt19937_64 rng(request.seed * 0x9E3779B97F4A7C15ull + uint64_t(index));
    std::string line;
    for (long long number = 0; std::getline(in, line); number++) {
        if (number % request.threads != index) continue;
        counts.lines++;
        if (counts.lines % LABELPROGRESSLINES == 0)
            sendLine("info string label worker " + std::to_string(index) + " lines " + std::to_string(counts.lines));
        const size_t bar = line.find('|');
        const size_t secondBar = bar == std::string::npos ? bar : line.find('|', bar + 1);
        std::string fen = line.substr(0, bar);
        while (!fen.empty() && std::isspace(static_cast<unsigned char>(fen.back()))) fen.pop_back();
        std::string result = "0.5";
        if (secondBar != std::string::npos) {
            std::vector<std::string> words = splitWords(line.substr(secondBar + 1));
            if (!words.empty() && (words[0] == "1.0" || words[0] == "0.5" || words[0] == "0.0")) result = words[0];
        }
        const bool chess960 = fenProblem(fen).empty() && openingIsChess960(fen);
        if (!fenProblem(fen).empty() || !setPosition(fen, pos, chess960)) {
            counts.bad++;
            continue;
        }
        for (int variant = 0; variant <= request.variants; variant++) {
            setUpPoolPosition(fen, chess960);
            bool played = true;
            const int plies = variant == 0 ? 0 : 1 + int(rng() % uint64_t(request.plies));
            for (int i = 0; i < plies && played; i++) {
                const long count = legalMoveCount(pos);
                if (count == 0) played = false;
                else playLegalMove(pos->plyStack[0].listStart[rng() % uint64_t(count)], pos);
            }
            int score;
            if (!played) counts.finished++;
            else if (quietScore(pos, &counts, &score)) {
                out << positionToFen(pos) << " | " << score << " | " << (variant == 0 ? result : "0.5") << '\n';
                counts.written++;
            }
        }
    }
    out << std::flush;
    return counts;
}

} // namespace

std::string parseLabelWords(std::istringstream& words, labelRequestStruct* request) {
    if (!(words >> request->output) || !(words >> request->input))
        return "label needs an output and an input file: label out.txt in.txt [variants V] [plies P] [seed S] [threads T]";
    uint64_t variants = uint64_t(request->variants), plies = uint64_t(request->plies), seed = request->seed;
    uint64_t threads = std::max(1u, std::thread::hardware_concurrency()), worker = NOWORKERWORD;
    std::string problem = readToolWords(words, "label",
                                        {{"variants", 0, MAXLABELVARIANTS, &variants},
                                         {"plies", 1, MAXLABELPLIES, &plies},
                                         {"seed", 0, NOUPPERLIMIT, &seed},
                                         {"threads", 1, DATAGENMAXTHREADS, &threads},
                                         {"worker", 0, DATAGENMAXTHREADS - 1, &worker}});
    if (!problem.empty()) return problem;
    if (worker != NOWORKERWORD && worker >= threads) return "label: worker must be below threads";
    request->variants = int(variants);
    request->plies = int(plies);
    request->seed = seed;
    request->threads = int(threads);
    request->worker = worker == NOWORKERWORD ? -1 : int(worker);
    return "";
}

void labelCommand(std::istringstream& words) {
    labelRequestStruct request;
    std::string problem = parseLabelWords(words, &request);
    if (!problem.empty()) {
        sendLine("info string " + problem);
        return;
    }
    waitForIdleSearch();
    if (!std::ifstream(request.input)) {
        sendLine("info string label: cannot read " + request.input);
        return;
    }
    if (!std::ofstream(request.output, std::ios::app)) {
        sendLine("info string label: cannot write " + request.output);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const int threadsBefore = engine.nofThreads;
    if (setSearchThreads(1) != 1) {
        sendLine("info string label: no search thread");
        return;
    }
    const engineStruct saved = engine;
    engine.infinite = true;
    engine.nodesLimit = 0;
    // one process a share, as datagen does; each writes its part and its counts
    auto share = [&](int i, const std::string& part) {
        labelCountsStruct c = labelShare(request, i, part);
        std::ofstream(part + ".counts") << c.lines << ' ' << c.bad << ' ' << c.written << ' ' << c.inCheck << ' '
                                        << c.noisy << ' ' << c.finished << '\n';
    };
    if (request.worker >= 0) { // one share alone, for the engine that started this process
        share(request.worker, request.output);
        engine = saved;
        return;
    }
    std::vector<std::string> parts;
    const bool complete = runShareProcesses(
        request.threads, request.output, "label", share,
        [&](int i, const std::string& part) {
            return "label " + part + " " + request.input + " variants " + std::to_string(request.variants) +
                   " plies " + std::to_string(request.plies) + " seed " + std::to_string(request.seed) +
                   " threads " + std::to_string(request.threads) + " worker " + std::to_string(i);
        },
        &parts);
    labelCountsStruct total;
    std::ofstream out(request.output, std::ios::trunc | std::ios::binary);
    for (const std::string& part : parts) {
        {
            std::ifstream in(part, std::ios::binary);
            out << in.rdbuf();
        }
        labelCountsStruct c;
        std::ifstream(part + ".counts") >> c.lines >> c.bad >> c.written >> c.inCheck >> c.noisy >> c.finished;
        total.lines += c.lines, total.bad += c.bad, total.written += c.written;
        total.inCheck += c.inCheck, total.noisy += c.noisy, total.finished += c.finished;
        std::remove(part.c_str());
        std::remove((part + ".counts").c_str());
    }
    out.close();
    engine = saved;
    if (!allocateHashTable(engine.hashSize)) allocateHashTable(1);
    if (setSearchThreads(threadsBefore) != threadsBefore) reportThreadShortfall(threadsBefore, engine.nofThreads);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sendLine("info string label lines " + std::to_string(total.lines) + " positions written " +
             std::to_string(total.written) + " (left out: in check " + std::to_string(total.inCheck) + ", not quiet " +
             std::to_string(total.noisy) + ", no legal move " + std::to_string(total.finished) + ", lines not read " +
             std::to_string(total.bad) + ") seconds " + std::to_string(int(seconds)) +
             (complete && out ? "" : " (a worker process failed: the output is incomplete)"));
}
