// Self-play games for training data: each move searched on a node limit, in worker processes
// side by side.
#include "datagen.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "general.h"
#include "hash.h"
#include "history.h"
#include "search.h"
#include "settings.h"
#include "threads.h"
#include "timeManager.h"
#include "toolWords.h"
#include "workerProcesses.h"

namespace {

constexpr int MAXSEARCHDEPTH = 127;
constexpr long long MAXGAMES = 100000000;
constexpr int FIFTYMOVEPLIES = 100;
constexpr int PROGRESSGAMES = 1000; // each worker process reports after this many games
constexpr uint64_t NOWORKERWORD = UINT64_MAX; // no "worker" word: this engine runs the whole command

struct gameRecordStruct {
    std::string moves; // the movetext without the result
    std::string result;
    std::string termination;
    int plies;
};

bool threefold(const positionStruct* pos) {
    int seen = 1;
    const int last = pos->historyCount - 1;
    const int first = std::max(0, last - int(pos->fiftyCounter));
    for (int i = last - 2; i >= first; i -= 2)
        if (pos->keyHistory[i] == pos->hashKey && ++seen >= 3) return true;
    return false;
}

// Neither side can mate: kings with at most one minor piece between them.
bool insufficientMaterial(const positionStruct* pos) {
    const U64* bb = pos->pieceBB;
    if (bb[WPAWN] | bb[BPAWN] | bb[WROOK] | bb[BROOK] | bb[WQUEEN] | bb[BQUEEN]) return false;
    return __builtin_popcountll(bb[WKNIGHT] | bb[BKNIGHT] | bb[WBISHOP] | bb[BBISHOP]) <= 1;
}

// The mover's score as a match manager writes it: pawns with two decimals, or M and the moves
// to mate.
std::string scoreComment(int score, int depth) {
    char text[48];
    if (score >= MATETHRESHOLD || score <= -MATETHRESHOLD) {
        int moves = (MATESCORE - std::abs(score) + 1) / 2;
        std::snprintf(text, sizeof text, "{%sM%d/%d}", score > 0 ? "+" : "-", moves, depth);
    } else if (score == 0) {
        std::snprintf(text, sizeof text, "{0.00/%d}", depth);
    } else {
        std::snprintf(text, sizeof text, "{%+.2f/%d}", score / 100.0, depth);
    }
    return text;
}

// Plays one game from fen on the main search thread's position (of a pool of one, so that the
// node limit counts it).
gameRecordStruct playGame(const std::string& fen, bool chess960, uint64_t nodes) {
    gameRecordStruct game{"", "*", "unterminated", 0};
    setUpPoolPosition(fen, chess960);
    positionStruct* pos = poolPosition();
    clearHashTable();
    clearSearchTables(pos);
    engine.nodesLimit = nodes;
    int fullMove = (pos->historyCount - 1) / 2 + 1;
    for (; game.plies < DATAGENMAXPLIES; game.plies++) {
        const int side = pos->sideToMove;
        if (legalMoveCount(pos) == 0) {
            game.termination = "normal";
            game.result = !pos->plyStack[0].inCheck ? "1/2-1/2" : side == WHITE ? "0-1" : "1-0";
            return game;
        }
        if (pos->fiftyCounter >= FIFTYMOVEPLIES || threefold(pos) || insufficientMaterial(pos)) {
            game.termination = "normal";
            game.result = "1/2-1/2";
            return game;
        }
        searchResultStruct r = searchFixedDepth(pos, MAXSEARCHDEPTH, false);
        if (!game.moves.empty()) game.moves += ' ';
        if (side == WHITE) game.moves += std::to_string(fullMove) + ". ";
        else if (game.plies == 0) game.moves += std::to_string(fullMove) + "... ";
        game.moves += moveToLA(&r.bestMove, side, pos) + " " + scoreComment(r.score, r.depth);
        playLegalMove(r.bestMove, pos);
        if (side == BLACK) fullMove++;
    }
    return game;
}

std::string pgnOf(const gameRecordStruct& game, const std::string& fen, bool chess960, long long round) {
    std::string pgn = "[Event \"datagen\"]\n[Site \"?\"]\n[Round \"" + std::to_string(round) +
                      "\"]\n[White \"Kestrune\"]\n[Black \"Kestrune\"]\n[Result \"" + game.result + "\"]\n";
    pgn += "[FEN \"" + fen + "\"]\n[SetUp \"1\"]\n";
    if (chess960) pgn += "[Variant \"Chess960\"]\n";
    pgn += "[PlyCount \"" + std::to_string(game.plies) + "\"]\n[Termination \"" + game.termination + "\"]\n\n";
    // lines of movetext kept short, as PGN readers expect
    std::istringstream tokens(game.moves + " " + game.result);
    std::string token, line;
    while (tokens >> token) {
        if (!line.empty() && line.size() + token.size() + 1 > 79) {
            pgn += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + token;
    }
    return pgn + line + "\n\n";
}

// A worker process's share of the games: every threads-th opening from index.
void playShare(const std::vector<std::string>& openings, const datagenRequestStruct& request,
               int index, const std::string& path) {
    std::ofstream out(path, std::ios::trunc);
    allocateHashTable(DATAGENHASHMB);
    engine.infinite = true;
    engine.nodeCheckInterval = nodeCheckIntervalFor(request.nodes); // as go nodes checks it
    long long played = 0;
    for (size_t i = size_t(index); i < openings.size(); i += size_t(request.threads)) {
        const bool chess960 = openingIsChess960(openings[i]);
        gameRecordStruct game = playGame(openings[i], chess960, request.nodes);
        out << pgnOf(game, openings[i], chess960, (long long)i + 1) << std::flush;
        if (++played % PROGRESSGAMES == 0)
            sendLine("info string datagen worker " + std::to_string(index) + " games " + std::to_string(played));
    }
}

} // namespace

std::string parseDatagenWords(std::istringstream& words, datagenRequestStruct* request) {
    uint64_t games = 0, nodes = request->nodes, seed = request->openings.seed, plies = uint64_t(request->openings.plies);
    uint64_t threads = std::max(1u, std::thread::hardware_concurrency()), worker = NOWORKERWORD;
    std::string book = "None", output = request->output;
    std::string problem = readToolWords(words, "datagen",
                                        {{"games", 1, MAXGAMES, &games},
                                         {"nodes", 1, NOUPPERLIMIT, &nodes},
                                         {"seed", 0, NOUPPERLIMIT, &seed},
                                         {"plies", 0, GENFENSMAXPLIESWORD, &plies},
                                         {"threads", 1, DATAGENMAXTHREADS, &threads},
                                         {"worker", 0, DATAGENMAXTHREADS - 1, &worker}},
                                        {{"book", &book}, {"out", &output}});
    if (!problem.empty()) return problem;
    if (games == 0) return "datagen needs the number of games: datagen games N [nodes n] [seed S] ...";
    if (worker != NOWORKERWORD && worker >= threads) return "datagen: worker must be below threads";
    request->openings.count = (long long)games;
    request->openings.seed = seed;
    request->openings.plies = int(plies);
    request->openings.book = book == "None" || book == "none" ? "" : book;
    request->nodes = nodes;
    request->threads = int(threads);
    request->output = output;
    request->worker = worker == NOWORKERWORD ? -1 : int(worker);
    return "";
}

void datagenCommand(std::istringstream& words) {
    datagenRequestStruct request;
    std::string problem = parseDatagenWords(words, &request);
    if (!problem.empty()) {
        sendLine("info string " + problem);
        return;
    }
    waitForIdleSearch();
    if (request.worker >= 0) {
        // one share alone, for the engine that started this process: the same openings from the
        // same words, its games straight into the output
        std::vector<std::string> openings = generateOpenings(request.openings, &problem);
        if (setSearchThreads(1) == 1) playShare(openings, request, request.worker, request.output);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> openings = generateOpenings(request.openings, &problem);
    if (!problem.empty()) sendLine("info string " + problem);
    if (openings.empty()) return;
    { // the output must be writable before any game is played
        std::ofstream probe(request.output, std::ios::app);
        if (!probe) {
            sendLine("info string datagen: cannot write " + request.output);
            return;
        }
    }

    // Each share of the games is played by a process of its own: a single-threaded engine with its
    // own table and node count, the pool reduced to its main thread first.
    const int threadsBefore = engine.nofThreads;
    if (setSearchThreads(1) != 1) {
        sendLine("info string datagen: no search thread");
        return;
    }
    request.threads = int(std::min<size_t>(size_t(request.threads), openings.size()));
    std::vector<std::string> parts;
    const genfensRequestStruct& o = request.openings;
    const bool complete = runShareProcesses(
        request.threads, request.output, "datagen",
        [&](int i, const std::string& part) { playShare(openings, request, i, part); },
        [&](int i, const std::string& part) {
            return "datagen games " + std::to_string(o.count) + " nodes " + std::to_string(request.nodes) + " seed " +
                   std::to_string(o.seed) + " book " + (o.book.empty() ? "None" : o.book) + " plies " +
                   std::to_string(o.plies) + " threads " + std::to_string(request.threads) + " out " + part +
                   " worker " + std::to_string(i);
        },
        &parts);

    // the shares joined into the output, game by game
    long long games = 0, plies = 0;
    std::ofstream out(request.output, std::ios::trunc);
    for (const std::string& part : parts) {
        { // closed before it is removed, which Windows requires
            std::ifstream in(part);
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("[Round ", 0) == 0) games++;
                if (line.rfind("[PlyCount \"", 0) == 0) plies += std::atoll(line.c_str() + 11);
                out << line << '\n';
            }
        }
        std::remove(part.c_str());
    }
    out.close();
    if (setSearchThreads(threadsBefore) != threadsBefore) reportThreadShortfall(threadsBefore, engine.nofThreads);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sendLine("info string datagen games " + std::to_string(games) + " plies " + std::to_string(plies) + " seconds " +
             std::to_string(int(seconds)) + " plies/second " + std::to_string((long long)(plies / std::max(seconds, 1e-3))) +
             (complete && out ? "" : " (a worker process failed: the output is incomplete)"));
}
