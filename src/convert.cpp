// Training data from game records: reading PGNs, writing training lines, and the fit of the
// win/draw/loss probabilities to the score.
#include "convert.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "moveTable.h"
#include "move.h"
#include "platform.h"
#include "settings.h"

namespace {

// A game record longer than this is broken text, not a game; its moves are not kept.
constexpr size_t MAXGAMEPLIES = 4000;
constexpr size_t MAXCOMMENTLENGTH = 4096;
// Problems with single games are reported up to this many times per run.
constexpr long MAXGAMEREPORTS = 10;
// Every tenth group of positions is held out of the fit that is measured.
constexpr uint64_t HELDOUTSHARE = 10;
constexpr int WDLMAXITERATIONS = 200;
constexpr double WDLMINSCALE = 1.0;
constexpr double WDLMINPROBABILITY = 1e-12;
// Upper bounds (exclusive) of the |score| buckets of the report.
constexpr int SCOREBUCKETLIMITS[5] = {50, 100, 200, 400, 800};

constexpr int SCOREBINS = 2 * CONVERTMAXSCORE - 1;
constexpr int MATERIALBINS = WDLMATERIALMAX - WDLMATERIALMIN + 1;
constexpr size_t WDLBINS = size_t(SCOREBINS) * MATERIALBINS * 3;

const char SANPIECELETTERS[] = "??NBRQK"; // by piece type

std::string lowerCase(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether c is one of the characters of set (the terminating zero is not one of them).
bool oneOf(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

bool isSquareText(const std::string& text, size_t at) {
    return at + 1 < text.size() && text[at] >= 'a' && text[at] <= 'h' && text[at + 1] >= '1' && text[at + 1] <= '8';
}

bool isResultToken(const std::string& token) {
    return token == "1-0" || token == "0-1" || token == "1/2-1/2" || token == "*";
}

// 2 white wins, 1 draw, 0 black wins, -1 anything else.
int resultCode(const std::string& result) {
    if (result == "1-0") return 2;
    if (result == "1/2-1/2") return 1;
    if (result == "0-1") return 0;
    return -1;
}

void parseTag(const std::string& line, size_t first, pgnGameStruct* game) {
    size_t nameStart = first + 1;
    size_t nameEnd = line.find_first_of(" \t\"]", nameStart);
    if (nameEnd == std::string::npos) return;
    std::string name = line.substr(nameStart, nameEnd - nameStart);
    size_t quote = line.find('"', nameEnd);
    if (name.empty() || quote == std::string::npos) return;
    std::string value;
    for (size_t i = quote + 1; i < line.size() && line[i] != '"'; i++) {
        if (line[i] == '\\' && i + 1 < line.size()) i++;
        value += line[i];
    }
    game->tags.emplace_back(name, value);
}

// "12." and "12..." in front of a move, or a move number alone.
std::string withoutMoveNumber(const std::string& token) {
    size_t i = 0;
    while (i < token.size() && std::isdigit(static_cast<unsigned char>(token[i]))) i++;
    if (i == 0) return token;
    if (i < token.size() && token[i] != '.') return token; // "0-0" castling
    while (i < token.size() && token[i] == '.') i++;
    return token.substr(i);
}

// The move text without check signs, annotations and a trailing NAG.
std::string coreMoveText(const std::string& token) {
    std::string text = token.substr(0, token.find('$'));
    while (!text.empty() && oneOf(text.back(), "+#!?")) text.pop_back();
    return text;
}

bool isCastling(const moveStruct& move) { return move.flag == CASTLESHORT || move.flag == CASTLELONG; }

bool isCapture(const moveStruct& move, const positionStruct* pos) {
    return move.flag == ENPASSANT || (pos->board[move.to] != EMPTY && !isCastling(move));
}

int destinationSquare(const moveStruct& move, int side) {
    if (move.flag == ENPASSANT) return side == WHITE ? move.to + 8 : move.to - 8;
    return move.to;
}

// A move word in the engine's own notation; Chess960 castling as the king taking its rook,
// or as the king's move where no plain king move reads the same.
bool findUciMove(const std::string& text, positionStruct* pos, const moveStruct* legal, const moveStruct* legalEnd,
                 moveStruct* move) {
    const moveStruct* castling = nullptr;
    const moveStruct* castlingAsKingMove = nullptr;
    const int from = squareFromText(text[0], text[1]); // every form of a move starts with its origin
    for (const moveStruct* m = legal; m < legalEnd; m++) {
        if (m->from != from) continue;
        moveStruct candidate = *m;
        if (moveToLA(&candidate, pos->sideToMove, pos) == text) {
            if (!isCastling(candidate)) {
                *move = candidate;
                return true;
            }
            castling = m;
        } else if (isCastling(candidate) && pos->chess960 && moveToLA(&candidate, pos->sideToMove) == text) {
            castlingAsKingMove = m;
        }
    }
    if (!castling) castling = castlingAsKingMove;
    if (!castling) return false;
    *move = *castling;
    return true;
}

bool isUciText(const std::string& text) {
    if (text.size() != 4 && text.size() != 5) return false;
    if (!isSquareText(text, 0) || !isSquareText(text, 2)) return false;
    return text.size() == 4 || oneOf(text[4], "nbrq");
}

// Castling kind named by a SAN token, 0 when none.
int sanCastling(const std::string& text) {
    std::string t = text;
    for (char& c : t)
        if (c == '0' || c == 'o') c = 'O';
    if (t == "O-O") return CASTLESHORT;
    if (t == "O-O-O") return CASTLELONG;
    return 0;
}

// Promotion written without '=' or in lower case: "e8Q", "e8=q" read as "e8=Q".
std::string normalisedSan(const std::string& text, size_t destination) {
    std::string tail = text.substr(destination + 2);
    if (tail.empty()) return text;
    if (tail[0] == '=') tail = tail.substr(1);
    if (tail.size() != 1) return text;
    char piece = char(std::toupper(static_cast<unsigned char>(tail[0])));
    if (!oneOf(piece, "NBRQ")) return text;
    return text.substr(0, destination + 2) + "=" + piece;
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

int boardMaterial(const positionStruct* pos) {
    return popCount(pos->pieceBB[WPAWN] | pos->pieceBB[BPAWN]) +
           3 * popCount(pos->pieceBB[WKNIGHT] | pos->pieceBB[BKNIGHT] | pos->pieceBB[WBISHOP] | pos->pieceBB[BBISHOP]) +
           5 * popCount(pos->pieceBB[WROOK] | pos->pieceBB[BROOK]) +
           9 * popCount(pos->pieceBB[WQUEEN] | pos->pieceBB[BQUEEN]);
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

// Plays a move of the game from ply 0 and makes the new position the root again.
void playGameMove(moveStruct move, positionStruct* pos) {
    makeMove(0, move, pos);
    plyRecord& root = pos->plyStack[0];
    const plyRecord& child = pos->plyStack[1];
    root.epSquare = child.epSquare;
    root.castleRights = child.castleRights;
    root.savedKeys[0] = child.savedKeys[0];
    root.savedKeys[1] = child.savedKeys[1];
    compactKeyHistory(pos);
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

double sigmoid(double u) { return 1.0 / (1.0 + std::exp(-u)); }

double materialX(int material) {
    return double(std::clamp(material, WDLMATERIALMIN, WDLMATERIALMAX)) / WDLMATERIALSCALE;
}

struct wdlBinStruct {
    double score;
    double x;
    int result;
    double count;
};

std::vector<wdlBinStruct> collectBins(const wdlDataStruct& data, wdlPart part) {
    std::vector<wdlBinStruct> bins;
    for (size_t index = 0; index < WDLBINS; index++) {
        uint32_t count = 0;
        if (part != WDLTEST) count += data.train[index];
        if (part != WDLTRAIN) count += data.test[index];
        if (!count) continue;
        int result = int(index % 3);
        int material = int(index / 3 % MATERIALBINS) + WDLMATERIALMIN;
        int score = int(index / 3 / MATERIALBINS) - (CONVERTMAXSCORE - 1);
        bins.push_back({double(score), materialX(material), result, double(count)});
    }
    return bins;
}

// Mean negative log-likelihood of the bins under parameters p = (a0, a1, b0, b1); with
// gradient and the outer-product estimate of the Hessian when asked. Infinite where a or b
// leaves its range (a must stay positive for draws to have a probability).
double wdlObjective(const double p[4], const std::vector<wdlBinStruct>& bins, double gradient[4],
                    double hessian[4][4]) {
    double loss = 0, total = 0;
    if (gradient) {
        std::fill(gradient, gradient + 4, 0.0);
        for (int i = 0; i < 4; i++) std::fill(hessian[i], hessian[i] + 4, 0.0);
    }
    for (const wdlBinStruct& bin : bins) {
        double a = p[0] + p[1] * bin.x, b = p[2] + p[3] * bin.x;
        if (a <= 0 || b < WDLMINSCALE) return INFINITY;
        double u = (bin.score - a) / b, v = (-bin.score - a) / b;
        double winChance = sigmoid(u), lossChance = sigmoid(v);
        double dWinA = -winChance * (1 - winChance) / b, dWinB = dWinA * u;
        double dLossA = -lossChance * (1 - lossChance) / b, dLossB = dLossA * v;
        double probability, dA, dB;
        if (bin.result == 2) {
            probability = winChance, dA = dWinA, dB = dWinB;
        } else if (bin.result == 0) {
            probability = lossChance, dA = dLossA, dB = dLossB;
        } else {
            probability = 1 - winChance - lossChance, dA = -dWinA - dLossA, dB = -dWinB - dLossB;
        }
        probability = std::max(probability, WDLMINPROBABILITY);
        loss -= bin.count * std::log(probability);
        total += bin.count;
        if (!gradient) continue;
        double g[4] = {-dA / probability, -dA / probability * bin.x, -dB / probability, -dB / probability * bin.x};
        for (int i = 0; i < 4; i++) {
            gradient[i] += bin.count * g[i];
            for (int j = 0; j < 4; j++) hessian[i][j] += bin.count * g[i] * g[j];
        }
    }
    if (total <= 0) return INFINITY;
    if (gradient) {
        for (int i = 0; i < 4; i++) {
            gradient[i] /= total;
            for (int j = 0; j < 4; j++) hessian[i][j] /= total;
        }
    }
    return loss / total;
}

// Solves the small system h d = -g over the parameters in use; false when it is singular.
bool newtonStep(double hessian[4][4], const double gradient[4], const std::vector<int>& used, double step[4]) {
    int n = int(used.size());
    double m[4][5];
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) m[i][j] = hessian[used[i]][used[j]];
        m[i][n] = -gradient[used[i]];
    }
    for (int col = 0; col < n; col++) {
        int pivot = col;
        for (int row = col + 1; row < n; row++)
            if (std::fabs(m[row][col]) > std::fabs(m[pivot][col])) pivot = row;
        if (std::fabs(m[pivot][col]) < 1e-300) return false;
        std::swap(m[col], m[pivot]);
        for (int row = 0; row < n; row++) {
            if (row == col) continue;
            double f = m[row][col] / m[col][col];
            for (int k = col; k <= n; k++) m[row][k] -= f * m[col][k];
        }
    }
    std::fill(step, step + 4, 0.0);
    for (int i = 0; i < n; i++) step[used[i]] = m[i][n] / m[i][i];
    return true;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::vector<std::string> collectWords(std::istringstream& words) {
    std::vector<std::string> list;
    std::string word;
    while (words >> word) list.push_back(word);
    return list;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
                fixed(share, 1) + "%)";
    }
    sendLine(line);
}

} // namespace

std::string pgnGameStruct::tag(const std::string& name) const {
    for (const auto& entry : tags)
        if (entry.first == name) return entry.second;
    return "";
}

bool readPgnGame(pgnReaderStruct* reader, pgnGameStruct* game) {
    *game = pgnGameStruct();
    bool started = false, inMoves = false;
    int commentDepth = 0, variationDepth = 0;
    long commentTarget = -1; // move that the open comment belongs to, -1 for none
    std::string line;
    auto appendComment = [&](char c) {
        if (commentTarget < 0) return;
        std::string& comment = game->moves[size_t(commentTarget)].comment;
        if (comment.size() < MAXCOMMENTLENGTH) comment += c;
    };
    auto openComment = [&]() {
        commentTarget = variationDepth == 0 && !game->moves.empty() ? long(game->moves.size()) - 1 : -1;
        if (commentTarget < 0) return;
        pgnMoveStruct& move = game->moves[size_t(commentTarget)];
        if (move.hasComment) appendComment(' ');
        move.hasComment = true;
    };
    for (;;) {
        if (reader->hasPending) {
            line = reader->pending;
            reader->hasPending = false;
        } else {
            if (!std::getline(*reader->in, line)) break;
            reader->lineNumber++;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (commentDepth == 0) {
            size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[0] == '%') continue;
            if (line[first] == '[') {
                if (inMoves) {
                    // the move text ended without a result: this line starts the next game
                    reader->pending = line;
                    reader->hasPending = true;
                    return true;
                }
                if (!started) game->firstLine = reader->lineNumber;
                started = true;
                parseTag(line, first, game);
                continue;
            }
        } else {
            appendComment(' ');
        }
        if (!started) game->firstLine = reader->lineNumber;
        started = inMoves = true;
        size_t i = 0, n = line.size();
        while (i < n) {
            char c = line[i];
            if (commentDepth > 0) {
                // nested braces are tolerated: the comment ends with its own closing brace
                if (c == '{') commentDepth++;
                if (c == '}' && --commentDepth == 0) {
                    i++;
                    continue;
                }
                appendComment(c);
                i++;
                continue;
            }
            if (c == '{') {
                commentDepth = 1;
                openComment();
                i++;
                continue;
            }
            if (c == ';') {
                openComment();
                for (size_t k = i + 1; k < n; k++) appendComment(line[k]);
                break;
            }
            if (c == '(' || c == ')') {
                if (c == '(') variationDepth++;
                else if (variationDepth > 0) variationDepth--;
                i++;
                continue;
            }
            if (std::isspace(static_cast<unsigned char>(c)) || c == '}') {
                i++;
                continue;
            }
            size_t j = i;
            while (j < n && !std::isspace(static_cast<unsigned char>(line[j])) && !oneOf(line[j], "{}();")) j++;
            if (j == i) j++; // a character that is neither space nor delimiter nor token
            std::string token = line.substr(i, j - i);
            i = j;
            if (variationDepth > 0 || token[0] == '$') continue;
            if (isResultToken(token)) {
                game->resultToken = token;
                return true;
            }
            token = withoutMoveNumber(token);
            if (token.empty()) continue;
            if (game->moves.size() >= MAXGAMEPLIES) {
                game->tooLong = true;
                continue;
            }
            game->moves.push_back(pgnMoveStruct{token, "", false});
        }
    }
    return started;
}

commentScoreKind readCommentScore(const std::string& comment, int* cp) {
    size_t i = comment.find_first_not_of(" \t");
    if (i == std::string::npos) return SCORENONE;
    if (comment.compare(i, 4, "book") == 0) return SCOREBOOK;
    bool negative = false;
    if (comment[i] == '+' || comment[i] == '-') negative = comment[i++] == '-';
    if (i < comment.size() && (comment[i] == 'M' || comment[i] == '#')) {
        bool digits = i + 1 < comment.size() && std::isdigit(static_cast<unsigned char>(comment[i + 1]));
        return digits ? SCOREMATE : SCORENONE;
    }
    size_t start = i;
    while (i < comment.size() && (std::isdigit(static_cast<unsigned char>(comment[i])) || comment[i] == '.')) i++;
    if (i == start || !std::isdigit(static_cast<unsigned char>(comment[start]))) return SCORENONE;
    if (i < comment.size() && !oneOf(comment[i], "/ ,\t")) return SCORENONE;
    double pawns = std::strtod(comment.substr(start, i - start).c_str(), nullptr);
    if (!(pawns < 1e6)) return SCORENONE; // absurd sizes are no score
    long centipawns = std::lround(pawns * 100.0);
    *cp = int(negative ? -centipawns : centipawns);
    return SCORECP;
}

std::string moveToSan(moveStruct move, positionStruct* pos, const moveStruct* legal, const moveStruct* legalEnd,
                      bool withCheck) {
    std::string san;
    int side = pos->sideToMove;
    int piece = pos->board[move.from];
    if (isCastling(move)) {
        san = move.flag == CASTLESHORT ? "O-O" : "O-O-O";
    } else {
        bool capture = isCapture(move, pos);
        std::string destination = squareToText(destinationSquare(move, side));
        if (pieceType(piece) == PAWN) {
            if (capture) san = std::string(1, char('a' + (move.from & 7))) + "x";
            san += destination;
            if (isPromotion(move.flag)) san += std::string("=") + SANPIECELETTERS[pieceType(move.flag)];
        } else {
            san = SANPIECELETTERS[pieceType(piece)];
            // another man of the same kind that reaches the same square
            bool ambiguous = false, sameFile = false, sameRank = false;
            for (const moveStruct* m = legal; m < legalEnd; m++) {
                if (m->to != move.to || m->from == move.from || isCastling(*m) || pos->board[m->from] != piece) continue;
                ambiguous = true;
                sameFile |= (m->from & 7) == (move.from & 7);
                sameRank |= (m->from >> 3) == (move.from >> 3);
            }
            if (ambiguous) {
                if (!sameFile) san += char('a' + (move.from & 7));
                else if (!sameRank) san += char('1' + (move.from >> 3));
                else san += squareToText(move.from);
            }
            if (capture) san += 'x';
            san += destination;
        }
    }
    if (withCheck) {
        makeMove(0, move, pos);
        if (kingInCheck(pos)) {
            plyRecord& child = pos->plyStack[1];
            child.inCheck = 1;
            generateMovesCaptures(1, child.listStart, pos); // in check: all evasions, each legal
            san += child.listEnd == child.listStart ? '#' : '+';
        }
        unmakeMove(0, move, pos);
    }
    return san;
}

bool findGameMove(const std::string& token, positionStruct* pos, const moveStruct* legal, const moveStruct* legalEnd,
                  moveStruct* move) {
    std::string text = coreMoveText(token);
    if (text.empty()) return false;
    if (int castling = sanCastling(text)) {
        for (const moveStruct* m = legal; m < legalEnd; m++)
            if (m->flag == castling) {
                *move = *m;
                return true;
            }
        return false;
    }
    if (isUciText(text)) return findUciMove(text, pos, legal, legalEnd, move);
    // SAN: only the moves to the square it names are written out and compared
    size_t destination = std::string::npos;
    for (size_t i = 0; i + 1 < text.size(); i++)
        if (isSquareText(text, i)) destination = i;
    if (destination != std::string::npos) {
        std::string san = normalisedSan(text, destination);
        int square = squareFromText(text[destination], text[destination + 1]);
        for (const moveStruct* m = legal; m < legalEnd; m++) {
            if (isCastling(*m) || destinationSquare(*m, pos->sideToMove) != square) continue;
            if (moveToSan(*m, pos, legal, legalEnd, false) == san) {
                *move = *m;
                return true;
            }
        }
    }
    // long algebraic: "Ng1f3", "e7xd8=Q", "e2-e4"
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (i == 0 && oneOf(c, "NBRQK")) continue;
        if (c == 'x' || c == '-' || c == '=') continue;
        plain += char(std::tolower(static_cast<unsigned char>(c)));
    }
    return isUciText(plain) && findUciMove(plain, pos, legal, legalEnd, move);
}

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
        return "more than " + std::to_string(MAXGAMEPLIES) + " plies";
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
        } else if (isCapture(move, pos) || isPromotion(move.flag)) {
            local.skipCapture++;
        } else if (kind == SCOREMATE || std::abs(cp) >= CONVERTMAXSCORE) {
            local.skipMate++;
        } else {
            int score = pos->sideToMove == WHITE ? cp : -cp;
            kept->push_back({trainingFen(pos, legal, legalEnd, gamePly), score, result, boardMaterial(pos)});
            local.positionsKept++;
            local.positionResults[result]++;
            local.scoreBuckets[scoreBucket(score)]++;
        }
        playGameMove(move, pos);
    }
    counts->gamesKept++;
    counts->gameResults[result]++;
    mergeCounts(counts, local);
    return "";
}

wdlDataStruct::wdlDataStruct() : train(WDLBINS, 0), test(WDLBINS, 0) {}

bool wdlDataStruct::add(int score, int material, int result, uint64_t group) {
    if (std::abs(score) >= CONVERTMAXSCORE || result < 0 || result > 2) return false;
    int m = std::clamp(material, WDLMATERIALMIN, WDLMATERIALMAX) - WDLMATERIALMIN;
    size_t index = (size_t(score + CONVERTMAXSCORE - 1) * MATERIALBINS + size_t(m)) * 3 + size_t(result);
    // a multiplicative hash spreads the held-out games evenly over the file
    bool heldOut = (group * 0x9E3779B97F4A7C15ULL >> 32) % HELDOUTSHARE == 0;
    (heldOut ? test : train)[index]++;
    (heldOut ? testCount : trainCount)++;
    return true;
}

uint64_t wdlDataStruct::resultCount(int result) const {
    uint64_t count = 0;
    for (size_t index = size_t(result); index < WDLBINS; index += 3) count += train[index] + test[index];
    return count;
}

void wdlProbabilities(const wdlModelStruct& model, int score, int material, double p[3]) {
    double x = model.material ? materialX(material) : 0.0;
    double a = model.a0 + model.a1 * x, b = model.b0 + model.b1 * x;
    p[2] = sigmoid((score - a) / b);
    p[0] = sigmoid((-score - a) / b);
    p[1] = std::max(0.0, 1.0 - p[0] - p[2]);
}

wdlModelStruct fitWdl(const wdlDataStruct& data, wdlPart part, bool material) {
    wdlModelStruct model;
    model.material = material;
    std::vector<wdlBinStruct> bins = collectBins(data, part);
    if (bins.empty()) return model;
    std::vector<int> used = material ? std::vector<int>{0, 1, 2, 3} : std::vector<int>{0, 2};
    // the score-only fit starts the material fit, whose slopes start at zero
    double p[4] = {100.0, 0.0, 100.0, 0.0};
    if (material) {
        wdlModelStruct start = fitWdl(data, part, false);
        if (start.ok) p[0] = start.a0, p[2] = start.b0;
    }
    double gradient[4], hessian[4][4];
    double loss = wdlObjective(p, bins, gradient, hessian);
    for (int iteration = 0; iteration < WDLMAXITERATIONS && std::isfinite(loss); iteration++) {
        double step[4];
        if (!newtonStep(hessian, gradient, used, step)) break;
        double slope = 0;
        for (int i = 0; i < 4; i++) slope += gradient[i] * step[i];
        if (slope >= 0) // not a descent direction: a plain gradient step instead
            for (int i = 0; i < 4; i++) step[i] = -gradient[i], slope = -1;
        double t = 1.0, next[4], nextLoss = INFINITY;
        for (int tries = 0; tries < 40; tries++, t *= 0.5) {
            for (int i = 0; i < 4; i++) next[i] = p[i] + t * step[i];
            nextLoss = wdlObjective(next, bins, nullptr, nullptr);
            if (nextLoss <= loss + 1e-4 * t * slope) break;
        }
        if (!(nextLoss < loss)) break;
        bool converged = loss - nextLoss < 1e-13;
        std::copy(next, next + 4, p);
        loss = wdlObjective(p, bins, gradient, hessian);
        if (converged) break;
    }
    model.a0 = p[0], model.a1 = p[1], model.b0 = p[2], model.b1 = p[3];
    model.loss = loss;
    model.ok = std::isfinite(loss);
    return model;
}

double wdlLoss(const wdlModelStruct& model, const wdlDataStruct& data, wdlPart part) {
    double p[4] = {model.a0, model.a1, model.b0, model.b1};
    return wdlObjective(p, collectBins(data, part), nullptr, nullptr);
}

int fenMaterial(const std::string& fen) {
    int material = 0;
    for (char c : fen) {
        if (c == ' ') break;
        switch (c) {
            case 'P': case 'p': material += 1; break;
            case 'N': case 'n': case 'B': case 'b': material += 3; break;
            case 'R': case 'r': material += 5; break;
            case 'Q': case 'q': material += 9; break;
            default: break;
        }
    }
    return material;
}

std::vector<std::string> wdlReport(const wdlDataStruct& data) {
    std::vector<std::string> lines;
    uint64_t total = data.trainCount + data.testCount;
    if (!data.resultCount(0) || !data.resultCount(1) || !data.resultCount(2)) {
        lines.push_back("info string wdl fit needs wins, draws and losses among the positions (" + std::to_string(total) +
                        " positions)");
        return lines;
    }
    wdlModelStruct plain = fitWdl(data, WDLALL, false);
    wdlModelStruct withMaterial = fitWdl(data, WDLALL, true);
    if (!plain.ok || !withMaterial.ok) {
        lines.push_back("info string wdl fit failed");
        return lines;
    }
    lines.push_back("info string wdl fit over " + std::to_string(total) + " positions: a " + fixed(plain.a0, 1) + " b " +
                    fixed(plain.b0, 1) + " (log-loss " + fixed(plain.loss, 5) + ")");
    lines.push_back("info string wdl fit with material (x = material clamped to " + std::to_string(WDLMATERIALMIN) +
                    ".." + std::to_string(WDLMATERIALMAX) + ", / " + fixed(WDLMATERIALSCALE, 0) + "): a " +
                    fixed(withMaterial.a0, 1) + " + " + fixed(withMaterial.a1, 1) + " x, b " + fixed(withMaterial.b0, 1) +
                    " + " + fixed(withMaterial.b1, 1) + " x (log-loss " + fixed(withMaterial.loss, 5) + ")");
    if (!data.trainCount || !data.testCount) {
        lines.push_back("info string wdl held-out comparison needs more games");
        return lines;
    }
    wdlModelStruct trainPlain = fitWdl(data, WDLTRAIN, false);
    wdlModelStruct trainMaterial = fitWdl(data, WDLTRAIN, true);
    double lossPlain = wdlLoss(trainPlain, data, WDLTEST), lossMaterial = wdlLoss(trainMaterial, data, WDLTEST);
    lines.push_back("info string wdl held-out log-loss over " + std::to_string(data.testCount) +
                    " positions (one game in " + std::to_string(HELDOUTSHARE) + "): score only " + fixed(lossPlain, 5) +
                    ", with material " + fixed(lossMaterial, 5) + ": the material " +
                    (lossMaterial < lossPlain ? "improves" : "does not improve") + " the fit");
    return lines;
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
        if (!std::ifstream(names[k])) {
            sendLine("info string convert cannot read '" + names[k] + "', nothing written");
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
    for (size_t k = 1; k < names.size() && !failed; k++) {
        std::ifstream in(names[k]);
        pgnReaderStruct reader;
        reader.in = &in;
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
        if (in.bad()) {
            sendLine("info string convert could not read all of '" + names[k] + "', nothing written");
            failed = true;
        }
    }
    bool writeFailed = std::fclose(out) != 0 || failed;
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
             fixed(seconds, 2) + " s (" + perSecond(counts.positionsRead, seconds) + " positions read per second)");
    auto fitStart = std::chrono::steady_clock::now();
    for (const std::string& line : wdlReport(*data)) sendLine(line);
    sendLine("info string wdl fit took " + fixed(secondsSince(fitStart), 2) + " s");
}

void wdlfitCommand(std::istringstream& words) {
    std::vector<std::string> names = collectWords(words);
    if (names.size() != 1) {
        sendLine("info string wdlfit needs one file of training lines: wdlfit <data.txt>");
        return;
    }
    std::ifstream in(names[0]);
    if (!in) {
        sendLine("info string wdlfit cannot read '" + names[0] + "'");
        return;
    }
    auto start = std::chrono::steady_clock::now();
    auto data = std::make_unique<wdlDataStruct>();
    long lines = 0, used = 0, notRead = 0, outside = 0;
    // The lines of one game follow each other with rising plies: a ply that does not rise starts
    // another group, so the held-out part is made of whole games (or runs of them).
    uint64_t group = 0;
    long lastPly = -1;
    std::string line;
    while (std::getline(in, line)) {
        lines++;
        size_t bar = line.find('|');
        size_t secondBar = bar == std::string::npos ? bar : line.find('|', bar + 1);
        if (secondBar == std::string::npos) {
            notRead++;
            continue;
        }
        char* end = nullptr;
        long score = std::strtol(line.c_str() + bar + 1, &end, 10);
        bool scoreRead = end != line.c_str() + bar + 1 && size_t(end - line.c_str()) <= secondBar;
        double value = std::strtod(line.c_str() + secondBar + 1, &end);
        int result = value == 1.0 ? 2 : value == 0.5 ? 1 : value == 0.0 ? 0 : -1;
        if (!scoreRead || end == line.c_str() + secondBar + 1 || result < 0) {
            notRead++;
            continue;
        }
        // the side to move is the second field, the move number the last one before the bar
        size_t space = line.find(' ');
        if (space == std::string::npos || space + 1 >= bar) {
            notRead++;
            continue;
        }
        size_t numberEnd = line.find_last_not_of(' ', bar - 1);
        size_t numberStart = line.find_last_of(' ', numberEnd) + 1;
        long ply = 2 * (std::atol(line.c_str() + numberStart) - 1) + (line[space + 1] == 'b');
        if (ply <= lastPly) group++;
        lastPly = ply;
        if (std::abs(score) >= CONVERTMAXSCORE) {
            outside++;
            continue;
        }
        data->add(int(score), fenMaterial(line), result, group);
        used++;
    }
    double seconds = secondsSince(start);
    sendLine("info string wdlfit read " + std::to_string(lines) + " lines in " + fixed(seconds, 2) + " s, used " +
             std::to_string(used) + " positions (" + std::to_string(notRead) + " lines not read, " +
             std::to_string(outside) + " with |score| >= " + std::to_string(CONVERTMAXSCORE) + ")");
    auto fitStart = std::chrono::steady_clock::now();
    for (const std::string& report : wdlReport(*data)) sendLine(report);
    sendLine("info string wdl fit took " + fixed(secondsSince(fitStart), 2) + " s");
}
