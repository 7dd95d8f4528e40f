// The position record, moves, FEN and text conversions.
#pragma once

#include <cstdint>
#include <string>

using U64 = uint64_t;

enum colours { WHITE = 0, BLACK = 1 };

// Piece codes are 2 * type + colour.
enum pieceCodes {
    EMPTY = 0,
    WPAWN = 2, BPAWN = 3, WKNIGHT = 4, BKNIGHT = 5, WBISHOP = 6, BBISHOP = 7,
    WROOK = 8, BROOK = 9, WQUEEN = 10, BQUEEN = 11, WKING = 12, BKING = 13
};
enum pieceTypes { PAWN = 1, KNIGHT = 2, BISHOP = 3, ROOK = 4, QUEEN = 5, KING = 6 };

// Move kinds stored in moveStruct::flag.
enum moveFlags {
    NORMALMOVE = 0,
    PROMOTEKNIGHT = 4, PROMOTEBISHOP = 6, PROMOTEROOK = 8, PROMOTEQUEEN = 10,
    ENPASSANT = 12, DOUBLESTEP = 13, CASTLESHORT = 14, CASTLELONG = 15
};

// Castling right bits.
enum castleBits { WHITESHORT = 1, BLACKSHORT = 2, WHITELONG = 4, BLACKLONG = 8 };

constexpr int MAXPLY = 128;
constexpr int MOVESTORAGESIZE = 8192;
constexpr int KEYHISTORYSIZE = 1024;
// Bound on the pseudo-legal moves of any accepted position (at most 16 men a side); legal
// chess positions have at most 218.
constexpr int MAXMOVESPERPOSITION = 512;

struct moveStruct {
    uint8_t from;
    uint8_t to;
    uint8_t flag;
    uint8_t score; // ordering score; the search keeps the moving piece here instead
};
static_assert(sizeof(moveStruct) == 4, "a move is one 32-bit unit");

constexpr moveStruct EMPTYMOVE = {0, 0, 0, 0};

inline bool sameMove(const moveStruct& a, const moveStruct& b) {
    return a.from == b.from && a.to == b.to && a.flag == b.flag;
}
inline uint32_t moveToInt(const moveStruct& m) {
    return uint32_t(m.from) | uint32_t(m.to) << 8 | uint32_t(m.flag) << 16 | uint32_t(m.score) << 24;
}
inline moveStruct intToMove(uint32_t v) {
    return moveStruct{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
inline bool isPromotion(uint8_t flag) { return flag >= PROMOTEKNIGHT && flag <= PROMOTEQUEEN; }

struct plyRecord {
    int32_t savedMaterial[4]; // material[0..1] and psqScore[0..1] before the move into this ply
    U64 savedKeys[2];         // hashKey and pawnKingKey before that move
    moveStruct* listEnd;
    moveStruct* pickCursor;   // move-picker cursors
    moveStruct* pickEnd;
    moveStruct* listStart;
    moveStruct currentMove;
    moveStruct hashMove;
    moveStruct killerMove[2];
    moveStruct counterMove;
    moveStruct pvMove;
    U64 notPinned;
    uint32_t savedFifty;
    int16_t savedPhase;
    int8_t captured;
    uint8_t epSquare;     // square of the pawn that just made a double step, 0 = none
    uint8_t castleRights;
    uint8_t genStage;
    uint8_t inCheck;
    uint8_t nullMoveSearched;
};

struct pawnTableEntryStruct;
struct evalCacheEntryStruct;

struct positionStruct {
    int8_t board[64];
    U64 hashKey;
    U64 pawnKingKey;
    U64 pieceBB[14]; // [0] white men, [1] black men, [2..13] per piece code
    uint8_t sideToMove;
    int32_t material[2];
    int32_t psqScore[2];
    int16_t phase;
    pawnTableEntryStruct* pawnTable;
    evalCacheEntryStruct* evalCache;
    U64 nodeCount;
    U64 qNodeCount;
    U64 tbHitCount;
    uint16_t historyCount;
    uint16_t fiftyCounter;
    int16_t rootChanges;
    int16_t rootScore;
    int16_t rootDepth;
    uint8_t rootDepthDone;
    uint32_t timeCheckCountdown;
    uint32_t threadIndex;
    uint8_t pvLength;
    uint8_t selDepth;
    U64 searchField;
    U64 keyHistory[KEYHISTORYSIZE];
    plyRecord plyStack[MAXPLY];
    // per-thread search tables
    int16_t history[12][64];
    moveStruct counterMoves[12][64];
    int16_t followupHistory[12][64][12][64];
    int16_t counterHistory[12][64][12][64];

    positionStruct();
};

extern positionStruct GPSData;
extern moveStruct GMS[MOVESTORAGESIZE];

extern const char fenLabelPieces[];
extern const char promotionPieces[];
extern const char promotionLabels[];
extern const char fenStartPos[];

inline int pieceType(int code) { return code >> 1; }
inline int pieceIndex(int code) { return (code >> 1) - 1; } // evaluation-table index

inline int squareFromText(char file, char rank) { return (rank - '1') * 8 + (file - 'a'); }
std::string squareToText(int square);

// Describes what is wrong with a FEN text, or returns "" for a usable one.
std::string fenProblem(const std::string& fen);
// Sets up the position from a FEN; a FEN with a problem leaves it untouched and returns false.
bool setPosition(std::string fen, positionStruct* pos);

std::string boardToString(positionStruct* pos);
std::string moveToLA(moveStruct* move, unsigned char side);

// Result of applying the move words of a `position` command.
struct moveListResultStruct {
    int applied;         // words played
    std::string problem; // "" when every word was played
};
// Plays the move words (whitespace separated) from ply 0 of pos; stops at the first word that
// is malformed or not legal in the position reached.
moveListResultStruct applyMoveWords(const std::string& words, positionStruct* pos);
// Decodes one move word into the legal move it names; false when it names none.
bool parseMoveWord(const std::string& word, positionStruct* pos, moveStruct* move);

// Recomputes the pawn-king key from the board.
U64 calcPawnKingKey(positionStruct* pos);
// Keeps the key history far from its end in very long games (only the recent keys matter).
void compactKeyHistory(positionStruct* pos);
// Points a copied position at its own move storage.
void attachMoveStorage(positionStruct* pos, moveStruct* storage);
