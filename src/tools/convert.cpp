// The converter: the kept positions of each game, written as training lines, then the fit of
// the win/draw/loss model on them.
#include "convert.h"
#include "decompress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "move.h"
#include "platform.h"
#include "settings.h"
#include "toolWords.h"
#include "wdlModel.h"

namespace {

// Problems with single games are reported up to this many times per run.
constexpr long MAXGAMEREPORTS = 10;
// Upper bounds (exclusive) of the |score| buckets of the report.
constexpr int SCOREBUCKETLIMITS[5] = {50, 100, 200, 400, 800};

// 2 white wins, 1 draw, 0 black wins, -1 anything else.
int resultCode(const std::string& result) {
    if (result == "1-0") return 2;
    if (result == "1/2-1/2") return 1;
    if (result == "0-1") return 0;
    return -1;
}

void mergeCounts(convertCountsStruct* into, const convertCountsStruct& from) {
    into->positionsRead += from.positionsRead;
    into->positionsKept += from.positionsKept;
    into->skipOpening += from.skipOpening;
    into->skipNoScore += from.skipNoScore;
    into->skipCheck += from.skipCheck;
    into->skipCapture += from.skipCapture;
    into->skipMate += from.skipMate;
    for (int k = 0; k < 3; k++) into->positionResults[k] += from.positionResults[k];
    for (int k = 0; k < 6; k++) into->scoreBuckets[k] += from.scoreBuckets[k];
}

int scoreBucket(int score) {
    int size = std::abs(score), bucket = 0;
    while (bucket < 5 && size >= SCOREBUCKETLIMITS[bucket]) bucket++;
    return bucket;
}

// The FEN of a training position: the en-passant square only when the capture can be played,
// and the move number of the game even where the key history was shortened.
std::string trainingFen(positionStruct* pos, const moveStruct* legal, const moveStruct* legalEnd, int gamePly) {
    plyRecord& root = pos->plyStack[0];
    uint8_t epSquare = root.epSquare;
    if (epSquare && std::none_of(legal, legalEnd, [](const moveStruct& m) { return m.flag == ENPASSANT; }))
        root.epSquare = 0;
    std::string fen = positionToFen(pos);
    root.epSquare = epSquare;
    fen.erase(fen.rfind(' ') + 1);
    return fen + std::to_string(gamePly / 2 + 1);
}

// Why a game did not end as a game should, or "".
std::string abnormalEnd(const pgnGameStruct& game) {
    std::string termination = lowerCase(game.tag("Termination"));
    std::string last = game.moves.empty() ? "" : lowerCase(game.moves.back().comment);
    bool tablebase = last.find("syzygytb") != std::string::npos || last.find("tablebase") != std::string::npos;
    if (termination == "adjudication" && !tablebase) return "adjudicated";
    if (!termination.empty() && termination != "normal" && termination != "adjudication")
        return "ended by " + termination;
    // the ends fastchess names in the last comment, for records without a Termination tag
    for (const char* end : {"loses on time", "disconnects", "illegal move", "stalls", "abandoned"})
        if (last.find(end) != std::string::npos) return std::string("ended: ") + end;
    if (last.find("by adjudication") != std::string::npos && !tablebase) return "adjudicated";
    return "";
}

std::string perSecond(long count, double seconds) {
    return std::to_string(long(double(count) / std::max(seconds, 1e-6)));
}

void reportCounts(const convertCountsStruct& c) {
    sendLine("info string convert games read " + std::to_string(c.gamesRead) + " kept " + std::to_string(c.gamesKept) +
             " (left out: abnormal end " + std::to_string(c.abnormalEnd) + ", moves not read " +
             std::to_string(c.badMoves) + ", set-up not read " + std::to_string(c.badSetUp) +
             ", incomplete " + std::to_string(c.incomplete) + ")");
    sendLine("info string convert positions read " + std::to_string(c.positionsRead) + " kept " +
             std::to_string(c.positionsKept) + " (left out: opening " + std::to_string(c.skipOpening) +
             ", no score " + std::to_string(c.skipNoScore) + ", in check " + std::to_string(c.skipCheck) +
             ", capture or promotion " + std::to_string(c.skipCapture) + ", mate or |score| >= " +
             std::to_string(CONVERTMAXSCORE) + " " + std::to_string(c.skipMate) + ")");
    sendLine("info string convert results of kept games: white wins " + std::to_string(c.gameResults[2]) +
             " draws " + std::to_string(c.gameResults[1]) + " black wins " + std::to_string(c.gameResults[0]) +
             "; of kept positions: white wins " + std::to_string(c.positionResults[2]) + " draws " +
             std::to_string(c.positionResults[1]) + " black wins " + std::to_string(c.positionResults[0]));
    static const char* names[6] = {"0-50", "50-100", "100-200", "200-400", "400-800", "800+"};
    std::string line = "info string convert |score|";
    for (int k = 0; k < 6; k++) {
        double share = c.positionsKept ? 100.0 * double(c.scoreBuckets[k]) / double(c.positionsKept) : 0.0;
        line += std::string(k ? "," : "") + " " + names[k] + " " + std::to_string(c.scoreBuckets[k]) + " (" +
                fixedDecimals(share, 1) + "%)";
    }
    sendLine(line);
}

} // namespace

std::string trainingLineText(const trainingPositionStruct& position) {
    return position.fen + " | " + std::to_string(position.score) + " | " +
           (position.result == 2 ? "1.0" : position.result == 1 ? "0.5" : "0.0");
}

std::string convertGame(const pgnGameStruct& game, positionStruct* pos, std::vector<trainingPositionStruct>* kept,
                        convertCountsStruct* counts) {
    std::string variant = lowerCase(game.tag("Variant"));
    bool chess960 = variant.find("960") != std::string::npos || variant == "fischerandom";
    if (!variant.empty() && !chess960 && variant != "standard") {
        counts->badSetUp++;
        return "variant '" + game.tag("Variant") + "' is not read";
    }
    std::string fen = game.tag("FEN");
    if (fen.empty()) fen = fenStartPos;
    if (!setPosition(fen, pos, chess960)) {
        counts->badSetUp++;
        return "FEN '" + fen + "' is not usable";
    }
    if (game.tooLong) {
        counts->badMoves++;
        return "more than " + std::to_string(PGNMAXGAMEPLIES) + " plies";
    }
    int result = resultCode(game.tag("Result"));
    if (game.resultToken.empty()) {
        counts->incomplete++;
        return "the move text has no result at its end";
    }
    std::string end = abnormalEnd(game);
    if (result < 0 || resultCode(game.resultToken) != result || !end.empty()) {
        counts->abnormalEnd++;
        if (!end.empty()) return end;
        return "result '" + game.tag("Result") + "'" +
               (game.resultToken != game.tag("Result") ? " with '" + game.resultToken + "' after the moves" : "");
    }

    // The game's positions are counted and kept only when all its moves are read.
    convertCountsStruct local;
    size_t keptBefore = kept->size();
    int gamePly = pos->historyCount - 1; // from the FEN's move number
    int enginePlies = 0;
    moveStruct* legal = pos->plyStack[0].listStart;
    for (size_t k = 0; k < game.moves.size(); k++, gamePly++) {
        const pgnMoveStruct& record = game.moves[k];
        generateMovesLegal(0, legal, pos);
        moveStruct* legalEnd = pos->plyStack[0].listEnd;
        moveStruct move;
        if (!findGameMove(record.text, pos, legal, legalEnd, &move)) {
            kept->resize(keptBefore);
            counts->badMoves++;
            return "move '" + record.text + "' (ply " + std::to_string(k + 1) + ") is not legal";
        }
        local.positionsRead++;
        int cp = 0;
        commentScoreKind kind = record.hasComment ? readCommentScore(record.comment, &cp) : SCORENONE;
        bool opening = kind == SCOREBOOK || enginePlies++ < CONVERTOPENINGPLIES;
        if (opening) {
            local.skipOpening++;
        } else if (kind == SCORENONE) {
            local.skipNoScore++;
        } else if (pos->plyStack[0].inCheck) {
            local.skipCheck++;
        } else if (isCaptureMove(move, pos) || isPromotion(move.flag)) {
            local.skipCapture++;
        } else if (kind == SCOREMATE || std::abs(cp) >= CONVERTMAXSCORE) {
            local.skipMate++;
        } else {
            int score = pos->sideToMove == WHITE ? cp : -cp;
            kept->push_back({trainingFen(pos, legal, legalEnd, gamePly), score, result, wdlMaterial(pos)});
            local.positionsKept++;
            local.positionResults[result]++;
            local.scoreBuckets[scoreBucket(score)]++;
        }
        playRootMove(move, pos);
    }
    counts->gamesKept++;
    counts->gameResults[result]++;
    mergeCounts(counts, local);
    return "";
}

void convertCommand(std::istringstream& words) {
    std::vector<std::string> names = collectWords(words);
    if (names.size() < 2) {
        sendLine("info string convert needs an output file and at least one PGN: convert <output.txt> <input.pgn> ...");
        return;
    }
    const std::string output = names[0];
    if (endsWith(lowerCase(output), ".pgn")) {
        sendLine("info string convert writes training lines, not a PGN: '" + output +
                 "' is taken for an input (convert <output.txt> <input.pgn> ...), nothing written");
        return;
    }
    for (size_t k = 1; k < names.size(); k++) {
        if (names[k] == output) {
            sendLine("info string convert would overwrite its input '" + output + "', nothing written");
            return;
        }
        std::string problem;
        if (!openTextInput(names[k], &problem)) {
            sendLine("info string convert cannot read '" + names[k] + "' (" + problem + "), nothing written");
            return;
        }
    }
    // the lines go to a temporary name first, so a run that fails leaves no complete-looking file
    const std::string temporary = output + ".part" + std::to_string(currentProcessId());
    FILE* out = std::fopen(temporary.c_str(), "w");
    if (!out) {
        sendLine("info string convert cannot write '" + temporary + "', nothing written");
        return;
    }
    auto start = std::chrono::steady_clock::now();
    auto pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage(MOVESTORAGESIZE);
    attachMoveStorage(pos.get(), storage.data());
    auto data = std::make_unique<wdlDataStruct>();
    convertCountsStruct counts;
    std::vector<trainingPositionStruct> kept;
    std::string text;
    bool failed = false;
    std::string readProblem;
    for (size_t k = 1; k < names.size() && !failed && readProblem.empty(); k++) {
        // plain, xz or gzip games alike; the file was readable a moment ago, so a null stream here is rare
        std::string openProblem;
        std::unique_ptr<std::istream> in = openTextInput(names[k], &openProblem);
        if (!in) {
            readProblem = "cannot read '" + names[k] + "' (" + openProblem + ")";
            break;
        }
        pgnReaderStruct reader;
        reader.in = in.get();
        pgnGameStruct game;
        while (readPgnGame(&reader, &game)) {
            counts.gamesRead++;
            kept.clear();
            std::string problem = convertGame(game, pos.get(), &kept, &counts);
            if (!problem.empty()) {
                long leftOut = counts.gamesRead - counts.gamesKept;
                if (leftOut <= MAXGAMEREPORTS)
                    sendLine("info string convert " + names[k] + " line " + std::to_string(game.firstLine) +
                             ": game left out, " + problem);
                continue;
            }
            text.clear();
            for (const trainingPositionStruct& position : kept) {
                text += trainingLineText(position) + "\n";
                data->add(position.score, position.material, position.result, uint64_t(counts.gamesRead));
            }
            if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out) != text.size()) failed = true;
        }
        if (in->bad()) {
            std::string why = textInputProblem(*in);
            readProblem = "could not read all of '" + names[k] + "'" + (why.empty() ? "" : " (" + why + ")");
        }
    }
    bool writeFailed = std::fclose(out) != 0 || failed;
    if (!readProblem.empty()) {
        std::remove(temporary.c_str());
        sendLine("info string convert " + readProblem + ", nothing written");
        return;
    }
    if (writeFailed || !replaceFile(temporary.c_str(), output.c_str())) {
        std::remove(temporary.c_str());
        sendLine("info string convert could not write '" + output + "', nothing written");
        return;
    }
    double seconds = secondsSince(start);
    long leftOut = counts.gamesRead - counts.gamesKept;
    if (leftOut > MAXGAMEREPORTS)
        sendLine("info string convert " + std::to_string(leftOut - MAXGAMEREPORTS) + " more games left out");
    reportCounts(counts);
    sendLine("info string convert wrote " + std::to_string(counts.positionsKept) + " positions to " + output + " in " +
             fixedDecimals(seconds, 2) + " s (" + perSecond(counts.positionsRead, seconds) + " positions read per second)");
    auto fitStart = std::chrono::steady_clock::now();
    for (const std::string& line : wdlReport(*data)) sendLine(line);
    sendLine("info string wdl fit took " + fixedDecimals(secondsSince(fitStart), 2) + " s");
}
