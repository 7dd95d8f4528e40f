// Openings for training games: random legal plies from the start position or a book line,
// kept when a short search finds them balanced.
#include "openings.h"

#include <cctype>
#include <fstream>
#include <memory>
#include <random>
#include <unordered_set>

#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "search.h"
#include "settings.h"
#include "threads.h"
#include "toolWords.h"
#include "workerProcesses.h"

namespace {

constexpr long long ATTEMPTSPEROPENING = 200; // draws allowed per wanted opening before giving up

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
        playLegalMove(pos->plyStack[0].listStart[rng() % uint64_t(count)], pos);
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
            if (!(words >> word) || !wholeNumber(word, &value) || value > uint64_t(GENFENSMAXPLIESWORD))
                return "genfens: plies must be a number from 0 to " + std::to_string(GENFENSMAXPLIESWORD);
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
