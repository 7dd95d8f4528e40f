// The position record, moves, FEN and text conversions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// A right's index is the position of its bit: colour + 2 for the long side.
inline int castleIndex(int side, int flag) { return side + (flag == CASTLELONG ? 2 : 0); }
// Where king and rook end, by right index: g1, g8, c1, c8 and f1, f8, d1, d8, in every variant.
constexpr uint8_t castleKingTarget[4] = {6, 62, 2, 58};
constexpr uint8_t castleRookTarget[4] = {5, 61, 3, 59};

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
struct accumulatorStruct;

struct positionStruct {
    int8_t board[64];
    U64 hashKey;
    U64 pawnKingKey;
    U64 pieceBB[14]; // [0] white men, [1] black men, [2..13] per piece code
    uint8_t sideToMove;
    int32_t material[2];
    int32_t psqScore[2];
    int16_t phase;
    // Castling as set up from the FEN, fixed for the game: the rook's home square for each
    // right, the squares that must be empty, the squares the king crosses on its way (its
    // destination is left to the legality test), and the rights kept when a man moves from or
    // to a square. chess960 writes castling as the king taking its own rook.
    uint8_t castleRookSquare[4];
    uint8_t castleKeep[64];
    uint8_t chess960;
    U64 castleEmptyMask[4];
    U64 castleCrossMask[4];
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
    // the owning thread's network accumulators by ply (null: computed afresh); last, so that
    // the fields the search reads keep their places
    accumulatorStruct* nnueStack;

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

// The blank-separated words of a text.
std::vector<std::string> splitWords(const std::string& text);

// Describes what is wrong with a FEN text, or returns "" for a usable one.
std::string fenProblem(const std::string& fen);
// Sets up the position from a FEN; a FEN with a problem leaves it untouched and returns false.
// The castling field may name the rooks' files (HAha); with chess960 the letters KQkq mean the
// outermost rook on that side of the king, otherwise the rook in the corner with the king on e1/e8.
bool setPosition(std::string fen, positionStruct* pos, bool chess960 = false);
// Says which castling letters of a usable FEN name no castling rook or one wing twice and are
// dropped, or returns "" (rights that only lack their king or rook are dropped silently).
std::string fenCastlingNote(const std::string& fen, bool chess960 = false);
// The FEN of the position at ply 0; castling rights whose king and rook are not on e1/e8 and in
// the corner are written as the rook's file.
std::string positionToFen(positionStruct* pos);

std::string boardToString(positionStruct* pos);
// With pos in a Chess960 set-up, castling is written as the king taking its rook (e1h1).
std::string moveToLA(moveStruct* move, unsigned char side, const positionStruct* pos = nullptr);

// Result of applying the move words of a `position` command.
struct moveListResultStruct {
    int applied;         // words played
    std::string problem; // "" when every word was played
};
// Plays the move words (whitespace separated) from ply 0 of pos; stops at the first word that
// is malformed or not legal in the position reached.
moveListResultStruct applyMoveWords(const std::string& words, positionStruct* pos);
// Plays a legal move from ply 0 and makes the position after it the root (its ply record, the
// key history).
void playRootMove(moveStruct move, positionStruct* pos);
// Decodes one move word into the legal move it names; false when it names none. In a Chess960
// set-up castling may also be written as the king's move where no plain king move reads the same.
bool parseMoveWord(const std::string& word, positionStruct* pos, moveStruct* move);

// Recomputes the pawn-king key from the board.
U64 calcPawnKingKey(positionStruct* pos);
// Keeps the key history far from its end in very long games (only the recent keys matter).
void compactKeyHistory(positionStruct* pos);
// Points a copied position at its own move storage.
void attachMoveStorage(positionStruct* pos, moveStruct* storage);
