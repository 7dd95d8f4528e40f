// The position record, FEN set-up, move words and text output.
#include "general.h"

#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "eval.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"

positionStruct GPSData;
moveStruct GMS[MOVESTORAGESIZE];

const char fenLabelPieces[] = "  PpNnBbRrQqKk";
const char promotionPieces[] = " pnbrqk";
const char promotionLabels[] = "  ppnnbbrrqq";
const char fenStartPos[] = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word) words.push_back(word);
    return words;
}

namespace {

constexpr int MAXGAMEPLY = 512;
constexpr int MAXMENPERSIDE = 16;
constexpr int MAXPAWNSPERSIDE = 8;
// Counters longer than this are not numbers any game can reach.
constexpr size_t MAXCOUNTERDIGITS = 6;
// Very long games keep only their recent keys: repetitions older than the fifty-move rule
// cannot matter, and the search needs room for its own plies.
constexpr int HISTORYCOMPACTAT = 600;
constexpr int HISTORYKEPT = 200;

bool isCounter(const std::string& field) {
    if (field.empty() || field.size() > MAXCOUNTERDIGITS) return false;
    for (char c : field)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Fills board codes from the placement field; returns a problem text or "".
std::string readPlacement(const std::string& placement, int8_t board[64]) {
    std::memset(board, 0, 64);
    int rank = 7, file = 0;
    for (char c : placement) {
        if (c == '/') {
            if (file != 8) return "rank " + std::to_string(rank + 1) + " does not have 8 squares";
            if (--rank < 0) return "the placement has more than 8 ranks";
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file += c - '0';
            if (file > 8) return "rank " + std::to_string(rank + 1) + " has more than 8 squares";
        } else {
            const char* letter = std::strchr(fenLabelPieces + 2, c);
            if (!letter || !c) return std::string("unknown piece letter '") + c + "'";
            if (file >= 8) return "rank " + std::to_string(rank + 1) + " has more than 8 squares";
            board[rank * 8 + file++] = int8_t(letter - fenLabelPieces);
        }
    }
    if (rank != 0) return "the placement does not have 8 ranks";
    if (file != 8) return "rank 1 does not have 8 squares";
    return "";
}

std::string checkMen(const int8_t board[64]) {
    int count[14] = {0};
    int men[2] = {0, 0};
    for (int s = 0; s < 64; s++) {
        count[board[s]]++;
        if (board[s]) men[board[s] & 1]++;
        if ((board[s] >> 1) == PAWN && (s < 8 || s >= 56)) return "a pawn stands on the first or eighth rank";
    }
    if (count[WKING] != 1 || count[BKING] != 1) return "each side needs exactly one king";
    for (int side = WHITE; side <= BLACK; side++) {
        if (men[side] > MAXMENPERSIDE) return "a side has more than 16 men";
        if (count[WPAWN + side] > MAXPAWNSPERSIDE) return "a side has more than 8 pawns";
    }
    return "";
}

// KQkq, or the files of the castling rooks (upper case for white).
std::string checkCastlingField(const std::string& field) {
    if (field == "-") return "";
    for (char c : field) {
        char letter = char(std::tolower(static_cast<unsigned char>(c)));
        if (letter != 'k' && letter != 'q' && (letter < 'a' || letter > 'h'))
            return "malformed castling field '" + field + "'";
    }
    return "";
}

std::string checkEnPassantField(const std::string& field) {
    if (field == "-") return "";
    if (field.size() != 2 || field[0] < 'a' || field[0] > 'h' || (field[1] != '3' && field[1] != '6'))
        return "malformed en-passant field '" + field + "'";
    return "";
}

constexpr uint8_t cornerRookSquare[4] = {7, 63, 0, 56};

// The castling field read against the board: the usable rights, their rooks, and a note on
// the letters dropped because they name no rook or a second rook for one wing.
struct castlingFieldStruct {
    uint8_t rights = 0;
    uint8_t rookSquare[4] = {cornerRookSquare[0], cornerRookSquare[1], cornerRookSquare[2], cornerRookSquare[3]};
    std::string note;
};

castlingFieldStruct readCastlingField(const std::string& field, const int8_t board[64], bool chess960) {
    castlingFieldStruct castling;
    if (field == "-") return castling;
    std::string noRook, letters[4];
    uint8_t conflicting = 0;
    for (char c : field) {
        int side = std::isupper(static_cast<unsigned char>(c)) ? WHITE : BLACK;
        char letter = char(std::tolower(static_cast<unsigned char>(c)));
        int homeRank = side == WHITE ? 0 : 56;
        int kingFile = -1;
        for (int f = 0; f < 8; f++)
            if (board[homeRank + f] == WKING + side) kingFile = f;
        int rookFile = -1;
        if (letter == 'k' || letter == 'q') {
            bool shortSide = letter == 'k';
            if (!chess960) {
                int corner = shortSide ? 7 : 0;
                if (kingFile == 4 && board[homeRank + corner] == WROOK + side) rookFile = corner;
            } else if (kingFile >= 0) {
                // the outermost rook on that side of the king
                int step = shortSide ? -1 : 1;
                for (int f = shortSide ? 7 : 0; f != kingFile && rookFile < 0; f += step)
                    if (board[homeRank + f] == WROOK + side) rookFile = f;
            }
            // without its king or rook the right is dropped silently, as any unusable right
            if (rookFile < 0) continue;
        } else {
            int f = letter - 'a';
            if (f < 0 || f > 7 || kingFile < 0 || f == kingFile || board[homeRank + f] != WROOK + side) {
                noRook += c;
                continue;
            }
            rookFile = f;
        }
        int index = side + (rookFile > kingFile ? 0 : 2);
        letters[index] += c;
        if (!(castling.rights >> index & 1)) {
            castling.rights |= uint8_t(1 << index);
            castling.rookSquare[index] = uint8_t(homeRank + rookFile);
        } else if (castling.rookSquare[index] != homeRank + rookFile) {
            conflicting |= uint8_t(1 << index);
        }
    }
    if (!noRook.empty()) castling.note = "'" + noRook + "' names no rook beside the king";
    for (int index = 0; index < 4; index++) {
        if (!(conflicting >> index & 1)) continue;
        castling.rights &= uint8_t(~(1 << index));
        castling.rookSquare[index] = cornerRookSquare[index];
        castling.note += std::string(castling.note.empty() ? "" : "; ") + "'" + letters[index] +
                         "' names two rooks for one wing";
    }
    if (!castling.note.empty()) castling.note = "castling rights dropped: " + castling.note;
    return castling;
}

// Rooks' homes, the squares castling needs empty or unattacked, and the rights a move from or
// to each square keeps. Rights only ever shrink, so unused entries stay harmless.
void fillCastling(positionStruct* pos, const castlingFieldStruct& castling, bool chess960) {
    std::memset(pos->castleKeep, 15, sizeof(pos->castleKeep));
    pos->chess960 = chess960;
    for (int index = 0; index < 4; index++) {
        int side = index & 1;
        int rook = castling.rookSquare[index];
        pos->castleRookSquare[index] = uint8_t(rook);
        pos->castleEmptyMask[index] = pos->castleCrossMask[index] = 0;
        if (!(castling.rights >> index & 1)) continue;
        int king = lowestSquare(pos->pieceBB[WKING + side]);
        int kingTo = castleKingTarget[index], rookTo = castleRookTarget[index];
        U64 lifted = squareBit(king) | squareBit(rook);
        pos->castleEmptyMask[index] = (inBetweenSquares[king][kingTo] | squareBit(kingTo) |
                                       inBetweenSquares[rook][rookTo] | squareBit(rookTo)) & ~lifted;
        pos->castleCrossMask[index] = inBetweenSquares[king][kingTo];
        pos->castleKeep[king] &= uint8_t(~(side == WHITE ? WHITESHORT | WHITELONG : BLACKSHORT | BLACKLONG));
        pos->castleKeep[rook] &= uint8_t(~(1 << index));
    }
}

// The square of the pawn that just made its double step, or 0 when the field names none.
uint8_t usableEnPassantSquare(const std::string& field, int side, const int8_t board[64]) {
    if (field == "-") return 0;
    int target = squareFromText(field[0], field[1]);
    int targetRank = side == WHITE ? 5 : 2;
    if ((target >> 3) != targetRank) return 0;
    int pawnSquare = side == WHITE ? target - 8 : target + 8;
    int originSquare = side == WHITE ? target + 8 : target - 8;
    if (board[pawnSquare] != WPAWN + (side ^ 1) || board[target] || board[originSquare]) return 0;
    return uint8_t(pawnSquare);
}

void fillFromBoard(positionStruct* pos, const int8_t board[64]) {
    std::memcpy(pos->board, board, 64);
    std::memset(pos->pieceBB, 0, sizeof(pos->pieceBB));
    pos->material[0] = pos->material[1] = 0;
    pos->psqScore[0] = pos->psqScore[1] = 0;
    pos->phase = 0;
    for (int s = 0; s < 64; s++) {
        int code = board[s];
        if (!code) continue;
        int colour = code & 1, kind = pieceIndex(code);
        pos->pieceBB[code] |= squareBit(s);
        pos->pieceBB[colour] |= squareBit(s);
        pos->psqScore[colour] += pieceSquareScore[kind][colour == WHITE ? s ^ 56 : s];
        if (kind != 5) pos->material[colour] += pieceValue[kind];
        if (kind != 0 && kind != 5) pos->phase += pieceValuePhase[kind];
    }
}

} // namespace

positionStruct::positionStruct() {
    // Everything starts at zero; setPosition fills the board part.
    std::memset(static_cast<void*>(this), 0, sizeof(positionStruct));
}

std::string squareToText(int square) {
    return std::string{char('a' + (square & 7)), char('1' + (square >> 3))};
}

std::string fenProblem(const std::string& fen) {
    std::vector<std::string> fields = splitWords(fen);
    if (fields.size() < 2) return "the FEN has fewer than two fields";
    int8_t board[64];
    std::string problem = readPlacement(fields[0], board);
    if (problem.empty()) problem = checkMen(board);
    if (!problem.empty()) return problem;
    if (fields[1] != "w" && fields[1] != "b") return "the side to move must be w or b";
    if (fields.size() > 2 && !(problem = checkCastlingField(fields[2])).empty()) return problem;
    if (fields.size() > 3 && !(problem = checkEnPassantField(fields[3])).empty()) return problem;
    if (fields.size() > 4 && !isCounter(fields[4])) return "malformed half-move clock '" + fields[4] + "'";
    if (fields.size() > 5 && !isCounter(fields[5])) return "malformed move number '" + fields[5] + "'";

    // The side that has just moved must not be left in check.
    U64 pieceBB[14] = {0};
    for (int s = 0; s < 64; s++) {
        if (!board[s]) continue;
        pieceBB[board[s]] |= squareBit(s);
        pieceBB[board[s] & 1] |= squareBit(s);
    }
    int side = fields[1] == "w" ? WHITE : BLACK;
    if (squareAttackedBy(lowestSquare(pieceBB[WKING + (side ^ 1)]), side, pieceBB[WHITE] | pieceBB[BLACK], pieceBB))
        return "the side not to move is in check";
    return "";
}

bool setPosition(std::string fen, positionStruct* pos, bool chess960) {
    if (!fenProblem(fen).empty()) return false;
    std::vector<std::string> fields = splitWords(fen);
    // Missing trailing fields read as no castling, no en passant, clock 0, move 1.
    static const char* defaults[] = {"", "", "-", "-", "0", "1"};
    while (fields.size() < 6) fields.push_back(defaults[fields.size()]);

    int8_t board[64];
    readPlacement(fields[0], board);
    fillFromBoard(pos, board);
    pos->sideToMove = fields[1] == "w" ? WHITE : BLACK;
    plyRecord& root = pos->plyStack[0];
    castlingFieldStruct castling = readCastlingField(fields[2], board, chess960);
    root.castleRights = castling.rights;
    fillCastling(pos, castling, chess960);
    root.epSquare = usableEnPassantSquare(fields[3], pos->sideToMove, board);
    pos->fiftyCounter = uint16_t(std::stoi(fields[4]));
    int gamePly = pos->sideToMove + 2 * std::stoi(fields[5]) - 2;
    if (gamePly < 0) gamePly = 0;
    if (gamePly > MAXGAMEPLY) gamePly = MAXGAMEPLY;

    pos->hashKey = calcHashKey(0, pos);
    pos->keyHistory[gamePly] = pos->hashKey;
    pos->historyCount = uint16_t(gamePly + 1);
    pos->pawnKingKey = calcPawnKingKey(pos);
    root.inCheck = kingInCheck(pos);
    return true;
}

std::string fenCastlingNote(const std::string& fen, bool chess960) {
    if (!fenProblem(fen).empty()) return "";
    std::vector<std::string> fields = splitWords(fen);
    if (fields.size() < 3) return "";
    int8_t board[64];
    readPlacement(fields[0], board);
    return readCastlingField(fields[2], board, chess960).note;
}

std::string positionToFen(positionStruct* pos) {
    std::string fen;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            int code = pos->board[rank * 8 + file];
            if (!code) {
                empty++;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += fenLabelPieces[code];
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    const plyRecord& root = pos->plyStack[0];
    int side = pos->sideToMove;
    fen += side == WHITE ? " w " : " b ";
    std::string castling;
    for (int index : {0, 2, 1, 3}) {
        if (!(root.castleRights >> index & 1)) continue;
        int colour = index & 1, rook = pos->castleRookSquare[index];
        bool standard = rook == cornerRookSquare[index] && pos->board[colour == WHITE ? 4 : 60] == WKING + colour;
        char letter = standard ? (index < 2 ? 'k' : 'q') : char('a' + (rook & 7));
        castling += colour == WHITE ? char(std::toupper(static_cast<unsigned char>(letter))) : letter;
    }
    fen += castling.empty() ? "-" : castling;
    int ep = root.epSquare;
    fen += " " + (ep ? squareToText(side == WHITE ? ep + 8 : ep - 8) : std::string("-"));
    int gamePly = pos->historyCount > 0 ? pos->historyCount - 1 : 0;
    fen += " " + std::to_string(pos->fiftyCounter) + " " + std::to_string((gamePly - side) / 2 + 1);
    return fen;
}

U64 calcPawnKingKey(positionStruct* pos) {
    U64 key = 0;
    for (int code : {WPAWN, BPAWN, WKING, BKING}) {
        U64 men = pos->pieceBB[code];
        while (men) key ^= hashCodePiece[code][popLowest(men)];
    }
    return key;
}

std::string boardToString(positionStruct* pos) {
    static const char border[] = "+---+---+---+---+---+---+---+---+\n";
    std::string text = border;
    for (int rank = 7; rank >= 0; rank--) {
        for (int file = 0; file < 8; file++) {
            text += "| ";
            text += fenLabelPieces[pos->board[rank * 8 + file]];
            text += " ";
        }
        text += "|\n";
        text += border;
    }
    return text;
}

std::string moveToLA(moveStruct* move, unsigned char side, const positionStruct* pos) {
    int destination = move->to;
    if (move->flag == ENPASSANT) destination = side == WHITE ? move->to + 8 : move->to - 8;
    if ((move->flag == CASTLESHORT || move->flag == CASTLELONG) && pos && pos->chess960)
        destination = pos->castleRookSquare[castleIndex(side, move->flag) & 3];
    std::string text = squareToText(move->from) + squareToText(destination);
    if (isPromotion(move->flag)) text += promotionLabels[move->flag];
    return text;
}

bool parseMoveWord(const std::string& word, positionStruct* pos, moveStruct* move) {
    if (word.size() != 4 && word.size() != 5) return false;
    std::string text = word;
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (int i = 0; i < 4; i += 2)
        if (text[i] < 'a' || text[i] > 'h' || text[i + 1] < '1' || text[i + 1] > '8') return false;
    // The word names the legal move whose text it is. Only castling can share its text with a
    // plain king move (a Chess960 king beside its rook, written as the king's move): the plain
    // move wins. Under Chess960 castling may also be written as the king's move.
    moveStruct* start = pos->plyStack[0].listStart;
    generateMovesLegal(0, start, pos);
    const moveStruct* castling = nullptr;
    const moveStruct* castlingAsKingMove = nullptr;
    for (moveStruct* m = start; m < pos->plyStack[0].listEnd; m++) {
        bool isCastling = m->flag == CASTLESHORT || m->flag == CASTLELONG;
        if (moveToLA(m, pos->sideToMove, pos) == text) {
            if (!isCastling) {
                *move = *m;
                return true;
            }
            castling = m;
        } else if (isCastling && pos->chess960 && moveToLA(m, pos->sideToMove) == text) {
            castlingAsKingMove = m;
        }
    }
    if (!castling) castling = castlingAsKingMove;
    if (!castling) return false;
    *move = *castling;
    return true;
}

void playRootMove(moveStruct move, positionStruct* pos) {
    makeMove(0, move, pos);
    plyRecord& root = pos->plyStack[0];
    const plyRecord& child = pos->plyStack[1];
    root.epSquare = child.epSquare;
    root.castleRights = child.castleRights;
    root.savedKeys[0] = child.savedKeys[0];
    root.savedKeys[1] = child.savedKeys[1];
    compactKeyHistory(pos);
}

moveListResultStruct applyMoveWords(const std::string& words, positionStruct* pos) {
    moveListResultStruct result{0, ""};
    for (const std::string& word : splitWords(words)) {
        moveStruct move;
        if (!parseMoveWord(word, pos, &move)) {
            result.problem = "illegal or malformed move '" + word + "', the moves after it are ignored";
            break;
        }
        playRootMove(move, pos);
        result.applied++;
    }
    pos->hashKey = calcHashKey(0, pos);
    pos->pawnKingKey = calcPawnKingKey(pos);
    pos->plyStack[0].inCheck = kingInCheck(pos);
    return result;
}

void compactKeyHistory(positionStruct* pos) {
    if (pos->historyCount < HISTORYCOMPACTAT) return;
    std::memmove(pos->keyHistory, pos->keyHistory + pos->historyCount - HISTORYKEPT, HISTORYKEPT * sizeof(U64));
    pos->historyCount = HISTORYKEPT;
}

void attachMoveStorage(positionStruct* pos, moveStruct* storage) { pos->plyStack[0].listStart = storage; }
