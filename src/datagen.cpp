// Openings for training games (genfens) and the self-play games themselves (datagen).
#include "datagen.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <thread>
#include <unordered_set>

#include "eval.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "nnue.h"
#include "platform.h"
#include "search.h"
#include "settings.h"
#include "uci.h"

namespace {

constexpr int MAXSEARCHDEPTH = 127;
constexpr long long ATTEMPTSPEROPENING = 200; // draws allowed per wanted opening before giving up
constexpr long long MAXGAMES = 100000000;
constexpr int MAXPLIESWORD = 100;
constexpr int MAXDATAGENTHREADS = 256;
constexpr int FIFTYMOVEPLIES = 100;
constexpr int PROGRESSGAMES = 1000; // each worker process reports after this many games

// A whole word that is a decimal number (no sign, nothing after it).
bool wholeNumber(const std::string& word, uint64_t* value) {
    if (word.empty() || word.size() > 20) return false;
    uint64_t v = 0;
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        uint64_t next = v * 10 + uint64_t(c - '0');
        if (next / 10 != v) return false; // overflow
        v = next;
    }
    *value = v;
    return true;
}

// A book line as a FEN with its castling form: the first four fields of an EPD or FEN line, with
// the counters of a FEN when they are there.
struct bookLineStruct {
    std::string fen;
    bool shredder; // castling rights written as rook files (HAha)
    bool chess960; // castling by the Chess960 rules
};

} // namespace

bool openingIsChess960(const std::string& fen) {
    if (engine.chess960) return true;
    std::vector<std::string> f = splitWords(fen);
    if (f.size() < 3) return false;
    for (char c : f[2])
        if ((c >= 'A' && c <= 'H') || (c >= 'a' && c <= 'h')) return true;
    // X-FEN rights that the standard reading would drop or place elsewhere
    auto standard = std::make_unique<positionStruct>(), fischer = std::make_unique<positionStruct>();
    if (!setPosition(fen, standard.get(), false) || !setPosition(fen, fischer.get(), true)) return false;
    if (standard->plyStack[0].castleRights != fischer->plyStack[0].castleRights) return true;
    for (int i = 0; i < 4; i++)
        if ((standard->plyStack[0].castleRights >> i & 1) && standard->castleRookSquare[i] != fischer->castleRookSquare[i])
            return true;
    return false;
}

namespace {

bool readBook(const std::string& path, std::vector<bookLineStruct>* book, std::string* problem) {
    std::ifstream in(path);
    if (!in) {
        *problem = "genfens: cannot read the book " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f = splitWords(line);
        if (f.size() < 4 || f[0][0] == '#') continue;
        std::string fen = f[0] + " " + f[1] + " " + f[2] + " " + f[3];
        uint64_t n;
        if (f.size() >= 6 && wholeNumber(f[4], &n) && wholeNumber(f[5], &n))
            fen += " " + f[4] + " " + f[5];
        else
            fen += " 0 1";
        if (!fenProblem(fen).empty()) continue;
        bool shredder = false;
        for (char c : f[2]) shredder |= (c >= 'A' && c <= 'H') || (c >= 'a' && c <= 'h');
        book->push_back({fen, shredder, openingIsChess960(fen)});
    }
    if (book->empty()) {
        *problem = "genfens: the book " + path + " holds no usable position";
        return false;
    }
    return true;
}

// The castling field in the book's form: Shredder-FEN names every rook by its file; X-FEN
// writes K/Q (k/q) for the outermost rook on that side of the king and the file otherwise.
std::string castlingField(const positionStruct* pos, bool shredder) {
    std::string field;
    const int rights = pos->plyStack[0].castleRights;
    for (int index : {0, 2, 1, 3}) {
        if (!(rights >> index & 1)) continue;
        const int colour = index & 1, rook = pos->castleRookSquare[index];
        const bool kingSide = index < 2;
        bool outermost = true;
        const int rank = rook & 56;
        for (int file = (rook & 7) + (kingSide ? 1 : -1); file >= 0 && file < 8; file += kingSide ? 1 : -1)
            if (pos->board[rank + file] == WROOK + colour) outermost = false;
        char letter = !shredder && outermost ? (kingSide ? 'k' : 'q') : char('a' + (rook & 7));
        field += colour == WHITE ? char(std::toupper(static_cast<unsigned char>(letter))) : letter;
    }
    return field.empty() ? "-" : field;
}

std::string openingFen(positionStruct* pos, bool shredder) {
    std::vector<std::string> f = splitWords(positionToFen(pos));
    f[2] = castlingField(pos, shredder);
    std::string fen = f[0];
    for (size_t i = 1; i < f.size(); i++) fen += " " + f[i];
    return fen;
}

// A scratch position with its own move storage and caches.
struct scratchPositionStruct {
    std::unique_ptr<positionStruct> pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage = std::vector<moveStruct>(MOVESTORAGESIZE);
    std::vector<pawnTableEntryStruct> pawnTable = std::vector<pawnTableEntryStruct>(PAWNTABLESIZE);
    std::vector<evalCacheEntryStruct> evalCache = std::vector<evalCacheEntryStruct>(EVALCACHESIZE);

    bool set(const std::string& fen, bool chess960) {
        if (!setPosition(fen, pos.get(), chess960)) return false;
        attach();
        return true;
    }
    void attach() {
        attachMoveStorage(pos.get(), storage.data());
        pos->pawnTable = pawnTable.data();
        pos->evalCache = evalCache.data();
    }
};

long legalMoveCount(positionStruct* pos) {
    generateMovesLegal(0, pos->plyStack[0].listStart, pos);
    return long(pos->plyStack[0].listEnd - pos->plyStack[0].listStart);
}

void playMove(moveStruct move, positionStruct* pos) {
    applyMoveWords(moveToLA(&move, pos->sideToMove, pos), pos);
}

// One opening drawn from rng; "" when the line ended, or is unbalanced.
std::string drawOpening(const genfensRequestStruct& request, const std::vector<bookLineStruct>& book,
                        std::mt19937_64& rng, scratchPositionStruct& scratch) {
    bool shredder = false;
    bool chess960 = engine.chess960;
    std::string start = fenStartPos;
    if (!book.empty()) {
        const bookLineStruct& line = book[rng() % book.size()];
        start = line.fen;
        shredder = line.shredder;
        chess960 = line.chess960;
    }
    if (!scratch.set(start, chess960)) return "";
    positionStruct* pos = scratch.pos.get();
    const int plies = request.plies + int(rng() & 1); // both sides get to move first
    for (int i = 0; i < plies; i++) {
        long count = legalMoveCount(pos);
        if (count == 0) return "";
        playMove(pos->plyStack[0].listStart[rng() % uint64_t(count)], pos);
    }
    if (legalMoveCount(pos) == 0) return "";
    clearHashTable();
    searchResultStruct r = searchFixedDepth(pos, GENFENSDEPTH);
    if (r.score > GENFENSMAXSCORE || r.score < -GENFENSMAXSCORE) return "";
    return openingFen(pos, shredder);
}

} // namespace

std::string parseGenfensWords(std::istringstream& words, genfensRequestStruct* request) {
    std::string word;
    uint64_t value;
    if (!(words >> word) || !wholeNumber(word, &value) || value < 1 || value > uint64_t(GENFENSMAXCOUNT))
        return "genfens: the count must be a number from 1 to " + std::to_string(GENFENSMAXCOUNT) + ": genfens N seed S book None";
    request->count = (long long)value;
    while (words >> word) {
        if (word == "seed") {
            if (!(words >> word) || !wholeNumber(word, &value)) return "genfens: the seed must be a number";
            request->seed = value;
        } else if (word == "book") {
            if (!(words >> word)) return "genfens: book needs a file name or None";
            request->book = word == "None" || word == "none" ? "" : word;
        } else if (word == "plies") {
            if (!(words >> word) || !wholeNumber(word, &value) || value > uint64_t(MAXPLIESWORD))
                return "genfens: plies must be a number from 0 to " + std::to_string(MAXPLIESWORD);
            request->plies = int(value);
        }
        // other words (what a framework adds after the book) are left alone
    }
    return "";
}

std::vector<std::string> generateOpenings(const genfensRequestStruct& request, std::string* problem) {
    std::vector<std::string> openings;
    std::vector<bookLineStruct> book;
    if (!request.book.empty() && !readBook(request.book, &book, problem)) return openings;

    // a small table of its own, cleared before each search, makes the choice repeatable
    const engineStruct saved = engine;
    engine.infinite = true;
    engine.nodesLimit = 0;
    engine.nodeCheckInterval = 4096;
    allocateHashTable(1);
    std::mt19937_64 rng(request.seed);
    scratchPositionStruct scratch;
    std::unordered_set<std::string> seen;
    const long long attempts = request.count * ATTEMPTSPEROPENING + 1000;
    for (long long i = 0; i < attempts && (long long)openings.size() < request.count; i++) {
        std::string fen = drawOpening(request, book, rng, scratch);
        if (fen.empty() || !seen.insert(fen).second) continue;
        openings.push_back(fen);
    }
    engine = saved;
    if (!allocateHashTable(engine.hashSize)) allocateHashTable(1);
    if ((long long)openings.size() < request.count)
        *problem = "genfens: only " + std::to_string(openings.size()) + " distinct balanced openings found";
    return openings;
}

void genfensCommand(std::istringstream& words) {
    genfensRequestStruct request;
    std::string problem = parseGenfensWords(words, &request);
    if (!problem.empty()) {
        sendLine("info string " + problem);
        return;
    }
    waitForIdleSearch();
    std::vector<std::string> openings = generateOpenings(request, &problem);
    for (const std::string& fen : openings) sendLine("info string genfens " + fen);
    if (!problem.empty()) sendLine("info string " + problem);
}

// ---------------------------------------------------------------------------------------------
// Self-play games

namespace {

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

// Plays one game from fen on pos (the main search thread's position of a pool of one, so that
// the node limit counts it).
gameRecordStruct playGame(const std::string& fen, bool chess960, uint64_t nodes, positionStruct* pos, worker* w) {
    gameRecordStruct game{"", "*", "unterminated", 0};
    setPosition(fen, pos, chess960);
    attachMoveStorage(pos, w->moveStore);
    pos->pawnTable = w->pawnTable;
    pos->evalCache = w->evalCache;
    pos->threadIndex = 0;
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
        playMove(r.bestMove, pos);
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
    worker* w = theWorkForce.workers[0];
    long long played = 0;
    for (size_t i = size_t(index); i < openings.size(); i += size_t(request.threads)) {
        const bool chess960 = openingIsChess960(openings[i]);
        gameRecordStruct game = playGame(openings[i], chess960, request.nodes, &w->position, w);
        out << pgnOf(game, openings[i], chess960, (long long)i + 1) << std::flush;
        if (++played % PROGRESSGAMES == 0)
            sendLine("info string datagen worker " + std::to_string(index) + " games " + std::to_string(played));
    }
}

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

// Runs `processes` worker processes, each writing its share to the file part (output.part<i>):
// work(i, part) in a forked copy of this engine, or, where the system cannot fork, a new engine
// given this one's settings and workerCommand(i, part), the command that plays that share alone.
// parts receives the files of the processes that started. True when at least one started and
// every one ended well.
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

} // namespace

std::string parseDatagenWords(std::istringstream& words, datagenRequestStruct* request) {
    request->threads = int(std::max(1u, std::thread::hardware_concurrency()));
    std::string word;
    uint64_t value;
    while (words >> word) {
        if (word == "book" || word == "out") {
            std::string name;
            if (!(words >> name)) return "datagen: " + word + " needs a file name";
            if (word == "out") request->output = name;
            else request->openings.book = name == "None" || name == "none" ? "" : name;
            continue;
        }
        if (word != "games" && word != "nodes" && word != "seed" && word != "plies" && word != "threads" &&
            word != "worker")
            return "datagen: unknown word '" + word + "'";
        std::string number;
        if (!(words >> number) || !wholeNumber(number, &value)) return "datagen: " + word + " needs a number";
        if (word == "games") {
            if (value < 1 || value > uint64_t(MAXGAMES)) return "datagen: games must be from 1 to " + std::to_string(MAXGAMES);
            request->openings.count = (long long)value;
        } else if (word == "nodes") {
            if (value < 1) return "datagen: nodes must be at least 1";
            request->nodes = value;
        } else if (word == "seed") {
            request->openings.seed = value;
        } else if (word == "plies") {
            if (value > uint64_t(MAXPLIESWORD)) return "datagen: plies must be from 0 to " + std::to_string(MAXPLIESWORD);
            request->openings.plies = int(value);
        } else if (word == "worker") {
            if (value >= uint64_t(MAXDATAGENTHREADS)) return "datagen: worker must be below threads";
            request->worker = int(value);
        } else {
            if (value < 1 || value > uint64_t(MAXDATAGENTHREADS))
                return "datagen: threads must be from 1 to " + std::to_string(MAXDATAGENTHREADS);
            request->threads = int(value);
        }
    }
    if (request->openings.count == 0) return "datagen needs the number of games: datagen games N [nodes n] [seed S] ...";
    if (request->worker >= request->threads) return "datagen: worker must be below threads";
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

// ---------------------------------------------------------------------------------------------
// Static scores of quiet positions

namespace {

constexpr int MAXLABELVARIANTS = 64;
constexpr int MAXLABELPLIES = 16;
constexpr long long LABELPROGRESSLINES = 1000000;

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
    worker* w = theWorkForce.workers[0];
    positionStruct* pos = &w->position;
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
            setPosition(fen, pos, chess960);
            attachMoveStorage(pos, w->moveStore);
            pos->pawnTable = w->pawnTable;
            pos->evalCache = w->evalCache;
            pos->threadIndex = 0;
            bool played = true;
            const int plies = variant == 0 ? 0 : 1 + int(rng() % uint64_t(request.plies));
            for (int i = 0; i < plies && played; i++) {
                const long count = legalMoveCount(pos);
                if (count == 0) played = false;
                else playMove(pos->plyStack[0].listStart[rng() % uint64_t(count)], pos);
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
    request->threads = int(std::max(1u, std::thread::hardware_concurrency()));
    if (!(words >> request->output) || !(words >> request->input))
        return "label needs an output and an input file: label out.txt in.txt [variants V] [plies P] [seed S] [threads T]";
    std::string word, number;
    uint64_t value;
    while (words >> word) {
        if (word != "variants" && word != "plies" && word != "seed" && word != "threads" && word != "worker")
            return "label: unknown word '" + word + "'";
        if (!(words >> number) || !wholeNumber(number, &value)) return "label: " + word + " needs a number";
        if (word == "variants") {
            if (value > uint64_t(MAXLABELVARIANTS)) return "label: variants must be from 0 to " + std::to_string(MAXLABELVARIANTS);
            request->variants = int(value);
        } else if (word == "plies") {
            if (value < 1 || value > uint64_t(MAXLABELPLIES)) return "label: plies must be from 1 to " + std::to_string(MAXLABELPLIES);
            request->plies = int(value);
        } else if (word == "seed") {
            request->seed = value;
        } else if (word == "worker") {
            if (value >= uint64_t(MAXDATAGENTHREADS)) return "label: worker must be below threads";
            request->worker = int(value);
        } else {
            if (value < 1 || value > uint64_t(MAXDATAGENTHREADS))
                return "label: threads must be from 1 to " + std::to_string(MAXDATAGENTHREADS);
            request->threads = int(value);
        }
    }
    if (request->worker >= request->threads) return "label: worker must be below threads";
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
