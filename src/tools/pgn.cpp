// Reading game records: tags, move text with its comments, and the moves of every notation.
#include "pgn.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "move.h"
#include "toolWords.h"

namespace {

constexpr size_t MAXCOMMENTLENGTH = 4096;

const char SANPIECELETTERS[] = "??NBRQK"; // by piece type

// Whether c is one of the characters of set (the terminating zero is not one of them).
bool oneOf(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

bool isSquareText(const std::string& text, size_t at) {
    return at + 1 < text.size() && text[at] >= 'a' && text[at] <= 'h' && text[at + 1] >= '1' && text[at + 1] <= '8';
}

bool isResultToken(const std::string& token) {
    return token == "1-0" || token == "0-1" || token == "1/2-1/2" || token == "*";
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
            if (game->moves.size() >= PGNMAXGAMEPLIES) {
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
        bool capture = isCaptureMove(move, pos);
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

bool isCaptureMove(const moveStruct& move, const positionStruct* pos) {
    return move.flag == ENPASSANT || (pos->board[move.to] != EMPTY && !isCastling(move));
}
