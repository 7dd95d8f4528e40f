// Move generation (captures, quiet moves, evasions), legality, making and unmaking moves.
#include "move.h"

#include <cstring>

#include "eval.h"
#include "hash.h"
#include "moveTable.h"

namespace {

constexpr U64 RANK1 = 0x00000000000000FFULL;
constexpr U64 RANK3 = 0x0000000000FF0000ULL;
constexpr U64 RANK6 = 0x0000FF0000000000ULL;
constexpr U64 RANK8 = 0xFF00000000000000ULL;

// Ordering scores given by the generators.
constexpr int PAWNPROMOTIONCAPTUREBIAS = 14;
constexpr int PAWNCAPTUREBIAS = 2;
constexpr int KNIGHTCAPTUREBIAS = 4;
constexpr int BISHOPCAPTUREBIAS = 6;
constexpr int ROOKCAPTUREBIAS = 8;
constexpr int QUEENCAPTUREBIAS = 10;
constexpr int KINGCAPTUREBIAS = 12;
constexpr int ENPASSANTSCORE = 14;
constexpr int EVADECAPTURECHECKER = 221;
constexpr int EVADECAPTUREOTHER = 220;
constexpr int EVADEKINGQUIET = 202;
constexpr int EVADEPAWNCAPTURE = 250;
constexpr int EVADEPAWNBLOCK = 210;
// Blocking or capturing the checker with a piece: knight, bishop, rook, queen.
constexpr int EVADEPIECEBLOCK[4] = {206, 205, 204, 203};
constexpr int EVADEPIECECAPTUREBONUS = 30;

constexpr int promotionFlags[4] = {PROMOTEQUEEN, PROMOTEROOK, PROMOTEBISHOP, PROMOTEKNIGHT};

// One 32-bit store per move.
inline moveStruct* addMove(moveStruct* slot, int from, int to, int flag, int score) {
    uint32_t packed = uint32_t(from) | uint32_t(to) << 8 | uint32_t(flag) << 16 | uint32_t(score & 255) << 24;
    std::memcpy(slot, &packed, sizeof(packed));
    return slot + 1;
}

template <int type>
inline U64 pieceAttacks(int from, U64 occupancy) {
    if (type == KNIGHT) return knightAttackTable[from];
    if (type == BISHOP) return bishopAttacks(from, occupancy);
    if (type == ROOK) return rookAttacks(from, occupancy);
    if (type == QUEEN) return queenAttacks(from, occupancy);
    return kingAttackTable[from];
}

inline moveStruct* addPromotions(moveStruct* slot, int from, int to, int score) {
    for (int flag : promotionFlags) slot = addMove(slot, from, to, flag, score);
    return slot;
}

inline void finishList(unsigned char ply, moveStruct* end, positionStruct* pos) {
    pos->plyStack[ply].listEnd = end;
    if (ply + 1 < MAXPLY) pos->plyStack[ply + 1].listStart = end;
}

inline U64 occupancyOf(const positionStruct* pos) { return pos->pieceBB[WHITE] | pos->pieceBB[BLACK]; }
inline int kingSquare(const positionStruct* pos, int side) { return lowestSquare(pos->pieceBB[WKING + side]); }

// Pawn capture targets in the two capture directions: white +9/+7, black -9/-7.
inline U64 pawnCaptureTargets(U64 pawns, int side, int direction) {
    if (side == WHITE) return direction == 0 ? (pawns & ~files[7]) << 9 : (pawns & ~files[0]) << 7;
    return direction == 0 ? (pawns & ~files[0]) >> 9 : (pawns & ~files[7]) >> 7;
}
inline int pawnCaptureDelta(int side, int direction) {
    int delta = direction == 0 ? 9 : 7;
    return side == WHITE ? delta : -delta;
}

U64 findPinned(positionStruct* pos, int side) {
    int king = kingSquare(pos, side);
    int opp = side ^ 1;
    U64 occupancy = occupancyOf(pos);
    U64 snipers = ((pos->pieceBB[WBISHOP + opp] | pos->pieceBB[WQUEEN + opp]) & bishopAttackAll[king]) |
                  ((pos->pieceBB[WROOK + opp] | pos->pieceBB[WQUEEN + opp]) & rookAttackAll[king]);
    U64 pinned = 0;
    while (snipers) {
        U64 between = inBetweenSquares[king][popLowest(snipers)] & occupancy;
        if (popCount(between) == 1) pinned |= between;
    }
    return pinned & pos->pieceBB[side];
}

template <int type>
moveStruct* addPieceCaptures(moveStruct* slot, U64 pieces, U64 enemy, U64 occupancy, int bias, positionStruct* pos) {
    while (pieces) {
        int from = popLowest(pieces);
        U64 targets = pieceAttacks<type>(from, occupancy) & enemy;
        while (targets) {
            int to = popLowest(targets);
            slot = addMove(slot, from, to, NORMALMOVE, pos->board[to] * 8 - bias);
        }
    }
    return slot;
}

template <int type>
moveStruct* addPieceQuiets(moveStruct* slot, U64 pieces, U64 empty, U64 occupancy) {
    while (pieces) {
        int from = popLowest(pieces);
        U64 targets = pieceAttacks<type>(from, occupancy) & empty;
        while (targets) slot = addMove(slot, from, popLowest(targets), NORMALMOVE, 0);
    }
    return slot;
}

// Whether the way of the castling with this right index is free: the squares between king,
// rook and their targets empty, and no square the king crosses attacked. The destination is
// tested with the move, on the board after castling (isMoveLegalSlow).
inline bool castlingWayFree(positionStruct* pos, int index, U64 occupancy, int opp) {
    if (occupancy & pos->castleEmptyMask[index]) return false;
    U64 crossed = pos->castleCrossMask[index];
    while (crossed)
        if (squareAttacked(popLowest(crossed), opp, occupancy, pos)) return false;
    return true;
}

// Whether the king of `side` would be attacked by an enemy slider on this occupancy.
inline bool sliderAttacksKing(positionStruct* pos, int king, int side, U64 occupancy, U64 removed) {
    int opp = side ^ 1;
    U64 diagonal = (pos->pieceBB[WBISHOP + opp] | pos->pieceBB[WQUEEN + opp]) & ~removed;
    U64 straight = (pos->pieceBB[WROOK + opp] | pos->pieceBB[WQUEEN + opp]) & ~removed;
    return (bishopAttacks(king, occupancy) & diagonal) || (rookAttacks(king, occupancy) & straight);
}

} // namespace

bool squareAttacked(int square, int byColour, U64 occupancy, positionStruct* pos) {
    return squareAttackedBy(square, byColour, occupancy, pos->pieceBB);
}

bool squareAttackedBy(int square, int byColour, U64 occupancy, const U64 bb[14]) {
    return (bishopAttacks(square, occupancy) & (bb[WBISHOP + byColour] | bb[WQUEEN + byColour])) ||
           (rookAttacks(square, occupancy) & (bb[WROOK + byColour] | bb[WQUEEN + byColour])) ||
           (attackByPawnTable[byColour][square] & bb[WPAWN + byColour]) ||
           (knightAttackTable[square] & bb[WKNIGHT + byColour]) ||
           (kingAttackTable[square] & bb[WKING + byColour]);
}

bool kingInCheck(positionStruct* pos) {
    int side = pos->sideToMove;
    return squareAttacked(kingSquare(pos, side), side ^ 1, occupancyOf(pos), pos);
}

void generateMovesCaptures(unsigned char ply, moveStruct* slot, positionStruct* pos) {
    plyRecord& record = pos->plyStack[ply];
    int side = pos->sideToMove;
    slot->score = 0;
    record.notPinned = ~findPinned(pos, side);
    if (record.inCheck) {
        generateMovesEvade(ply, slot, pos);
        record.genStage = 'c';
        return;
    }
    const U64* bb = pos->pieceBB;
    U64 enemy = bb[side ^ 1];
    U64 occupancy = bb[WHITE] | bb[BLACK];
    U64 lastRank = side == WHITE ? RANK8 : RANK1;
    U64 pawns = bb[WPAWN + side];

    for (int direction = 0; direction < 2; direction++) {
        U64 targets = pawnCaptureTargets(pawns, side, direction) & enemy;
        int delta = pawnCaptureDelta(side, direction);
        U64 promotions = targets & lastRank;
        while (promotions) {
            int to = popLowest(promotions);
            slot = addPromotions(slot, to - delta, to, pos->board[to] * 8 - PAWNPROMOTIONCAPTUREBIAS);
        }
        targets &= ~lastRank;
        while (targets) {
            int to = popLowest(targets);
            slot = addMove(slot, to - delta, to, NORMALMOVE, pos->board[to] * 8 - PAWNCAPTUREBIAS);
        }
    }
    slot = addPieceCaptures<KNIGHT>(slot, bb[WKNIGHT + side] & record.notPinned, enemy, occupancy, KNIGHTCAPTUREBIAS, pos);
    slot = addPieceCaptures<BISHOP>(slot, bb[WBISHOP + side], enemy, occupancy, BISHOPCAPTUREBIAS, pos);
    slot = addPieceCaptures<ROOK>(slot, bb[WROOK + side], enemy, occupancy, ROOKCAPTUREBIAS, pos);
    slot = addPieceCaptures<QUEEN>(slot, bb[WQUEEN + side], enemy, occupancy, QUEENCAPTUREBIAS, pos);
    if (record.epSquare) {
        U64 capturers = enpassantTable[record.epSquare] & pawns;
        while (capturers) slot = addMove(slot, popLowest(capturers), record.epSquare, ENPASSANT, ENPASSANTSCORE);
    }
    int king = kingSquare(pos, side);
    U64 targets = kingAttackTable[king] & enemy;
    while (targets) {
        int to = popLowest(targets);
        slot = addMove(slot, king, to, NORMALMOVE, pos->board[to] * 8 - KINGCAPTUREBIAS);
    }
    finishList(ply, slot, pos);
}

void generateMovesQuiets(unsigned char ply, moveStruct* slot, positionStruct* pos) {
    plyRecord& record = pos->plyStack[ply];
    int side = pos->sideToMove;
    slot->score = 0;
    const U64* bb = pos->pieceBB;
    U64 occupancy = bb[WHITE] | bb[BLACK];
    U64 empty = ~occupancy;
    U64 pawns = bb[WPAWN + side];
    int forward = side == WHITE ? 8 : -8;
    U64 pushes = (side == WHITE ? pawns << 8 : pawns >> 8) & empty;
    U64 lastRank = side == WHITE ? RANK8 : RANK1;
    U64 promotions = pushes & lastRank;
    while (promotions) {
        int to = popLowest(promotions);
        slot = addPromotions(slot, to - forward, to, 0);
    }
    U64 singles = pushes & ~lastRank;
    while (singles) {
        int to = popLowest(singles);
        slot = addMove(slot, to - forward, to, NORMALMOVE, 0);
    }
    U64 doubles = side == WHITE ? ((pushes & RANK3) << 8) & empty : ((pushes & RANK6) >> 8) & empty;
    while (doubles) {
        int to = popLowest(doubles);
        slot = addMove(slot, to - 2 * forward, to, DOUBLESTEP, 0);
    }

    // Castling, short before long; the king's destination is left to the legality test. The
    // side's two rights are shifted onto the white bits.
    uint8_t rights = record.castleRights >> side & (WHITESHORT | WHITELONG);
    if (!record.inCheck && rights) {
        int king = lowestSquare(bb[WKING + side]);
        if ((rights & WHITESHORT) && castlingWayFree(pos, side, occupancy, side ^ 1))
            slot = addMove(slot, king, castleKingTarget[side], CASTLESHORT, 0);
        if ((rights & WHITELONG) && castlingWayFree(pos, side + 2, occupancy, side ^ 1))
            slot = addMove(slot, king, castleKingTarget[side + 2], CASTLELONG, 0);
    }
    slot = addPieceQuiets<KNIGHT>(slot, bb[WKNIGHT + side] & record.notPinned, empty, occupancy);
    slot = addPieceQuiets<BISHOP>(slot, bb[WBISHOP + side], empty, occupancy);
    slot = addPieceQuiets<ROOK>(slot, bb[WROOK + side], empty, occupancy);
    slot = addPieceQuiets<QUEEN>(slot, bb[WQUEEN + side], empty, occupancy);
    slot = addPieceQuiets<KING>(slot, bb[WKING + side], empty, occupancy);
    finishList(ply, slot, pos);
}

void generateMovesEvade(unsigned char ply, moveStruct* slot, positionStruct* pos) {
    plyRecord& record = pos->plyStack[ply];
    int side = pos->sideToMove, opp = side ^ 1;
    U64* bb = pos->pieceBB;
    int king = kingSquare(pos, side);
    U64 occupancy = bb[WHITE] | bb[BLACK];
    U64 checkers = (bishopAttacks(king, occupancy) & (bb[WBISHOP + opp] | bb[WQUEEN + opp])) |
                   (rookAttacks(king, occupancy) & (bb[WROOK + opp] | bb[WQUEEN + opp])) |
                   (attackByPawnTable[opp][king] & bb[WPAWN + opp]) | (knightAttackTable[king] & bb[WKNIGHT + opp]);
    bool singleCheck = popCount(checkers) == 1;

    // Sliders must see through the king's square when it steps back along their line.
    U64 withoutKing = occupancy & ~squareBit(king);
    U64 kingTargets = kingAttackTable[king] & ~bb[side];
    while (kingTargets) {
        int to = popLowest(kingTargets);
        if (squareAttacked(to, opp, withoutKing, pos)) continue;
        int victim = pos->board[to];
        int score = !victim ? EVADEKINGQUIET
                            : victim + ((singleCheck && (checkers & squareBit(to))) ? EVADECAPTURECHECKER : EVADECAPTUREOTHER);
        slot = addMove(slot, king, to, NORMALMOVE, score & 255);
    }

    if (singleCheck) {
        int checker = lowestSquare(checkers);
        U64 pawns = bb[WPAWN + side] & record.notPinned;
        U64 lastRank = side == WHITE ? RANK8 : RANK1;
        for (int direction = 0; direction < 2; direction++) {
            U64 targets = pawnCaptureTargets(pawns, side, direction) & checkers;
            int delta = pawnCaptureDelta(side, direction);
            if (targets & lastRank) slot = addPromotions(slot, checker - delta, checker, EVADEPAWNCAPTURE);
            else if (targets) slot = addMove(slot, checker - delta, checker, NORMALMOVE, EVADEPAWNCAPTURE);
        }
        if (record.epSquare && record.epSquare == checker) {
            U64 capturers = enpassantTable[checker] & pawns;
            while (capturers) slot = addMove(slot, popLowest(capturers), checker, ENPASSANT, EVADEPAWNCAPTURE);
        }

        U64 between = inBetweenSquares[king][checker];
        int forward = side == WHITE ? 8 : -8;
        U64 empty = ~occupancy;
        U64 pushes = (side == WHITE ? pawns << 8 : pawns >> 8) & empty;
        U64 blocks = pushes & between;
        U64 promotions = blocks & lastRank;
        while (promotions) {
            int to = popLowest(promotions);
            slot = addPromotions(slot, to - forward, to, EVADEPAWNBLOCK);
        }
        blocks &= ~lastRank;
        while (blocks) {
            int to = popLowest(blocks);
            slot = addMove(slot, to - forward, to, NORMALMOVE, EVADEPAWNBLOCK);
        }
        U64 doubles = (side == WHITE ? ((pushes & RANK3) << 8) : ((pushes & RANK6) >> 8)) & empty & between;
        while (doubles) {
            int to = popLowest(doubles);
            slot = addMove(slot, to - 2 * forward, to, DOUBLESTEP, EVADEPAWNBLOCK);
        }

        U64 targetsAll = between | checkers;
        for (int type = KNIGHT; type <= QUEEN; type++) {
            U64 pieces = bb[2 * type + side] & record.notPinned;
            while (pieces) {
                int from = popLowest(pieces);
                U64 targets = (type == KNIGHT   ? knightAttackTable[from]
                               : type == BISHOP ? bishopAttacks(from, occupancy)
                               : type == ROOK   ? rookAttacks(from, occupancy)
                                                : queenAttacks(from, occupancy)) &
                              targetsAll;
                while (targets) {
                    int to = popLowest(targets);
                    int score = EVADEPIECEBLOCK[type - KNIGHT] + (to == checker ? EVADEPIECECAPTUREBONUS : 0);
                    slot = addMove(slot, from, to, NORMALMOVE, score);
                }
            }
        }
    }
    finishList(ply, slot, pos);
}

bool isMoveLegalSlow(unsigned char ply, moveStruct move, positionStruct* pos) {
    int side = pos->sideToMove, opp = side ^ 1;
    U64 from = squareBit(move.from), to = squareBit(move.to);
    int mover = pos->board[move.from];
    int king = kingSquare(pos, side);
    U64 occupancy = occupancyOf(pos);
    if ((mover >> 1) != KING) {
        if (move.flag != ENPASSANT) {
            if (pos->plyStack[ply].notPinned & from) return true;
            return !sliderAttacksKing(pos, king, side, (occupancy & ~from) | to, to);
        }
        // Both pawns leave their rank: this catches a pin along it.
        int landing = side == WHITE ? move.to + 8 : move.to - 8;
        U64 afterCapture = (occupancy & ~from & ~to) | squareBit(landing);
        return !sliderAttacksKing(pos, king, side, afterCapture, to);
    }
    if (move.flag >= CASTLESHORT) {
        // the board after castling: the rook lifted from its home may have shielded the target
        // (white K c1, R b1, black R a1: long castling leaves the king in check)
        int index = castleIndex(side, move.flag);
        U64 rookHome = squareBit(pos->castleRookSquare[index]);
        U64 after = (occupancy & ~from & ~rookHome) | to | squareBit(castleRookTarget[index]);
        return !squareAttacked(move.to, opp, after, pos);
    }
    return !squareAttacked(move.to, opp, (occupancy & ~from) | to, pos);
}

bool castlingMoveFits(unsigned char ply, moveStruct move, positionStruct* pos) {
    const plyRecord& record = pos->plyStack[ply];
    int side = pos->sideToMove;
    int index = castleIndex(side, move.flag);
    if ((move.flag != CASTLESHORT && move.flag != CASTLELONG) || record.inCheck || !(record.castleRights >> index & 1))
        return false;
    // with the right still there, the king stands on its home square and the rook on its own
    if (move.from > 63 || pos->board[move.from] != WKING + side || move.to != castleKingTarget[index]) return false;
    if (pos->board[pos->castleRookSquare[index]] != WROOK + side) return false;
    return castlingWayFree(pos, index, occupancyOf(pos), side ^ 1);
}

namespace {

// Moves counted as legal among the pseudo-legal moves from `from` to `targets`: for a pinned man,
// whose moves the pin may forbid. A pawn reaching the last rank counts four times.
uint64_t countTestedMoves(unsigned char ply, int from, U64 targets, int flag, positionStruct* pos) {
    const U64 lastRanks = RANK1 | RANK8;
    uint64_t count = 0;
    while (targets) {
        int to = popLowest(targets);
        moveStruct move{uint8_t(from), uint8_t(to), uint8_t(flag), 0};
        bool promotes = (pos->board[from] >> 1) == PAWN && (squareBit(to) & lastRanks);
        if (isMoveLegalSlow(ply, move, pos)) count += promotes ? 4 : 1;
    }
    return count;
}

// Pawn moves counted from target sets: pushes, double steps and captures (not en passant).
uint64_t countPawnMoves(U64 pawns, int side, U64 empty, U64 enemy) {
    U64 lastRank = side == WHITE ? RANK8 : RANK1;
    U64 pushes = (side == WHITE ? pawns << 8 : pawns >> 8) & empty;
    U64 doubles = side == WHITE ? ((pushes & RANK3) << 8) & empty : ((pushes & RANK6) >> 8) & empty;
    uint64_t count = popCount(pushes & ~lastRank) + 4 * popCount(pushes & lastRank) + popCount(doubles);
    for (int direction = 0; direction < 2; direction++) {
        U64 targets = pawnCaptureTargets(pawns, side, direction) & enemy;
        count += popCount(targets & ~lastRank) + 4 * popCount(targets & lastRank);
    }
    return count;
}

} // namespace

uint64_t countLegalMoves(unsigned char ply, positionStruct* pos) {
    plyRecord& record = pos->plyStack[ply];
    if (record.inCheck) {
        generateMovesCaptures(ply, record.listStart, pos);
        return uint64_t(record.listEnd - record.listStart);
    }
    int side = pos->sideToMove, opp = side ^ 1;
    const U64* bb = pos->pieceBB;
    U64 occupancy = occupancyOf(pos), own = bb[side], empty = ~occupancy;
    U64 pinned = findPinned(pos, side);
    record.notPinned = ~pinned;

    // men that are neither pinned nor the king: every pseudo-legal move is legal
    uint64_t count = countPawnMoves(bb[WPAWN + side] & ~pinned, side, empty, bb[opp]);
    for (U64 knights = bb[WKNIGHT + side] & ~pinned; knights;)
        count += popCount(knightAttackTable[popLowest(knights)] & ~own);
    for (U64 diagonal = (bb[WBISHOP + side] | bb[WQUEEN + side]) & ~pinned; diagonal;)
        count += popCount(bishopAttacks(popLowest(diagonal), occupancy) & ~own);
    for (U64 straight = (bb[WROOK + side] | bb[WQUEEN + side]) & ~pinned; straight;)
        count += popCount(rookAttacks(popLowest(straight), occupancy) & ~own);

    // pinned men (a pinned knight never moves), en passant, the king and castling: each tested
    for (U64 men = pinned & ~bb[WKNIGHT + side]; men;) {
        int from = popLowest(men);
        int piece = pos->board[from] >> 1;
        if (piece == PAWN) {
            U64 one = squareBit(from);
            U64 pushes = (side == WHITE ? one << 8 : one >> 8) & empty;
            U64 doubles = side == WHITE ? ((pushes & RANK3) << 8) & empty : ((pushes & RANK6) >> 8) & empty;
            U64 captures = (pawnCaptureTargets(one, side, 0) | pawnCaptureTargets(one, side, 1)) & bb[opp];
            count += countTestedMoves(ply, from, pushes | captures, NORMALMOVE, pos);
            count += countTestedMoves(ply, from, doubles, DOUBLESTEP, pos);
            continue;
        }
        U64 targets = piece == BISHOP ? bishopAttacks(from, occupancy)
                      : piece == ROOK ? rookAttacks(from, occupancy)
                                      : queenAttacks(from, occupancy);
        count += countTestedMoves(ply, from, targets & ~own, NORMALMOVE, pos);
    }
    if (record.epSquare)
        for (U64 capturers = enpassantTable[record.epSquare] & bb[WPAWN + side]; capturers;)
            count += countTestedMoves(ply, popLowest(capturers), squareBit(record.epSquare), ENPASSANT, pos);
    int king = kingSquare(pos, side);
    count += countTestedMoves(ply, king, kingAttackTable[king] & ~own, NORMALMOVE, pos);
    uint8_t rights = record.castleRights >> side & (WHITESHORT | WHITELONG);
    if ((rights & WHITESHORT) && castlingWayFree(pos, side, occupancy, opp))
        count += countTestedMoves(ply, king, squareBit(castleKingTarget[side]), CASTLESHORT, pos);
    if ((rights & WHITELONG) && castlingWayFree(pos, side + 2, occupancy, opp))
        count += countTestedMoves(ply, king, squareBit(castleKingTarget[side + 2]), CASTLELONG, pos);
    return count;
}

void generateMovesLegal(unsigned char, moveStruct* slot, positionStruct* pos) {
    plyRecord& root = pos->plyStack[0];
    root.inCheck = kingInCheck(pos);
    generateMovesCaptures(0, slot, pos);
    if (root.inCheck) return;
    generateMovesQuiets(0, root.listEnd, pos);
    moveStruct* end = root.listEnd;
    moveStruct* cursor = slot;
    while (cursor < end) {
        if (isMoveLegal(0, *cursor, pos)) cursor++;
        else *cursor = *--end;
    }
    finishList(0, end, pos);
}

void makeMove(unsigned char ply, moveStruct move, positionStruct* pos) {
    plyRecord& current = pos->plyStack[ply];
    plyRecord& next = pos->plyStack[ply + 1];
    const int side = pos->sideToMove, opp = side ^ 1;
    const int from = move.from, to = move.to, flag = move.flag;
    const U64 fromBit = squareBit(from), toBit = squareBit(to);
    const int piece = pos->board[from];
    // for en passant the pawn that made the double step; a Chess960 king may castle onto its rook
    const int captured = flag < CASTLESHORT ? pos->board[to] : int(EMPTY);
    const int ownFlip = side == WHITE ? 56 : 0, oppFlip = opp == WHITE ? 56 : 0;

    next.captured = int8_t(captured);
    next.savedMaterial[0] = pos->material[0];
    next.savedMaterial[1] = pos->material[1];
    next.savedMaterial[2] = pos->psqScore[0];
    next.savedMaterial[3] = pos->psqScore[1];
    next.savedPhase = pos->phase;

    if (captured) {
        int kind = pieceIndex(captured);
        pos->material[opp] -= pieceValue[kind];
        pos->psqScore[opp] -= pieceSquareScore[kind][to ^ oppFlip];
        if (kind != 0) pos->phase -= pieceValuePhase[kind];
    }

    next.castleRights = current.castleRights & pos->castleKeep[from] & pos->castleKeep[to];
    next.epSquare = 0;
    next.savedKeys[0] = pos->hashKey;
    next.savedKeys[1] = pos->pawnKingKey;
    U64 key = pos->hashKey;
    if (next.castleRights != current.castleRights)
        key ^= hashCodeCastling[current.castleRights] ^ hashCodeCastling[next.castleRights];
    if (current.epSquare) key ^= hashCodeEnpassant[current.epSquare & 7];
    key ^= hashCodeBlackToMove;

    U64* bb = pos->pieceBB;
    int* psq = &pos->psqScore[side];
    const int kind = pieceIndex(piece);
    const bool pawnOrKing = kind == 0 || kind == 5;
    switch (flag) {
    case NORMALMOVE:
    case DOUBLESTEP: {
        *psq += pieceSquareScore[kind][to ^ ownFlip] - pieceSquareScore[kind][from ^ ownFlip];
        bb[piece] ^= fromBit | toBit;
        bb[side] ^= fromBit | toBit;
        pos->board[from] = 0;
        pos->board[to] = int8_t(piece);
        U64 delta = hashCodePiece[piece][to] ^ hashCodePiece[piece][from];
        key ^= delta;
        if (pawnOrKing) pos->pawnKingKey ^= delta;
        if (flag == DOUBLESTEP) {
            next.epSquare = uint8_t(to);
            key ^= hashCodeEnpassant[to & 7];
        }
        break;
    }
    case ENPASSANT: {
        int landing = side == WHITE ? to + 8 : to - 8;
        *psq += pieceSquareScore[0][landing ^ ownFlip] - pieceSquareScore[0][from ^ ownFlip];
        pos->board[from] = 0;
        pos->board[to] = 0;
        bb[piece] ^= fromBit | squareBit(landing);
        bb[side] ^= fromBit | squareBit(landing);
        pos->board[landing] = int8_t(piece);
        U64 delta = hashCodePiece[piece][landing] ^ hashCodePiece[piece][from];
        key ^= delta;
        pos->pawnKingKey ^= delta;
        break;
    }
    case CASTLESHORT:
    case CASTLELONG: {
        // In Chess960 king and rook may start on each other's targets or stay where they are:
        // both leave before either lands, and the bits change by exclusive or.
        int index = castleIndex(side, flag);
        int rookFrom = pos->castleRookSquare[index];
        int rookTo = castleRookTarget[index];
        int rook = WROOK + side;
        U64 rookBits = squareBit(rookFrom) ^ squareBit(rookTo);
        *psq += pieceSquareScore[5][to ^ ownFlip] - pieceSquareScore[5][from ^ ownFlip] -
                pieceSquareScore[3][rookFrom ^ ownFlip] + pieceSquareScore[3][rookTo ^ ownFlip];
        bb[piece] ^= fromBit ^ toBit;
        bb[side] ^= fromBit ^ toBit ^ rookBits;
        bb[rook] ^= rookBits;
        pos->board[from] = 0;
        pos->board[rookFrom] = 0;
        pos->board[to] = int8_t(piece);
        pos->board[rookTo] = int8_t(rook);
        U64 delta = hashCodePiece[piece][to] ^ hashCodePiece[piece][from];
        key ^= delta ^ hashCodePiece[rook][rookFrom] ^ hashCodePiece[rook][rookTo];
        pos->pawnKingKey ^= delta;
        break;
    }
    default: { // promotions
        int promoted = flag + side;
        int newKind = pieceIndex(flag);
        pos->material[side] += pieceValue[newKind] - pieceValue[0];
        *psq += pieceSquareScore[newKind][to ^ ownFlip] - pieceSquareScore[0][from ^ ownFlip];
        pos->phase += pieceValuePhase[newKind];
        bb[piece] ^= fromBit;
        bb[promoted] ^= toBit;
        bb[side] ^= fromBit | toBit;
        pos->board[from] = 0;
        pos->board[to] = int8_t(promoted);
        key ^= hashCodePiece[piece][from] ^ hashCodePiece[promoted][to];
        pos->pawnKingKey ^= hashCodePiece[piece][from];
        break;
    }
    }

    if (captured) {
        bb[captured] ^= toBit;
        bb[opp] ^= toBit;
        key ^= hashCodePiece[captured][to];
        if ((captured >> 1) == PAWN) pos->pawnKingKey ^= hashCodePiece[captured][to];
    }
    pos->hashKey = key;
    pos->keyHistory[pos->historyCount++] = key;
    next.savedFifty = pos->fiftyCounter;
    pos->fiftyCounter = (captured || piece < WKNIGHT) ? 0 : pos->fiftyCounter + 1;
    pos->sideToMove ^= 1;
}

void unmakeMove(unsigned char ply, moveStruct move, positionStruct* pos) {
    const plyRecord& next = pos->plyStack[ply + 1];
    pos->sideToMove ^= 1;
    const int side = pos->sideToMove, opp = side ^ 1;
    const int from = move.from, to = move.to, flag = move.flag;
    const U64 fromBit = squareBit(from), toBit = squareBit(to);
    U64* bb = pos->pieceBB;

    pos->hashKey = next.savedKeys[0];
    pos->pawnKingKey = next.savedKeys[1];
    pos->historyCount--;
    pos->fiftyCounter = uint16_t(next.savedFifty);
    pos->material[0] = next.savedMaterial[0];
    pos->material[1] = next.savedMaterial[1];
    pos->psqScore[0] = next.savedMaterial[2];
    pos->psqScore[1] = next.savedMaterial[3];
    pos->phase = next.savedPhase;

    int mover;
    switch (flag) {
    case NORMALMOVE:
    case DOUBLESTEP:
        mover = pos->board[to];
        bb[mover] ^= fromBit | toBit;
        bb[side] ^= fromBit | toBit;
        break;
    case ENPASSANT: {
        int landing = side == WHITE ? to + 8 : to - 8;
        mover = WPAWN + side;
        bb[mover] ^= fromBit | squareBit(landing);
        bb[side] ^= fromBit | squareBit(landing);
        pos->board[landing] = 0;
        break;
    }
    case CASTLESHORT:
    case CASTLELONG: {
        // nothing was captured; both men leave their targets before either goes home
        int index = castleIndex(side, flag);
        int rookFrom = pos->castleRookSquare[index];
        int rookTo = castleRookTarget[index];
        U64 rookBits = squareBit(rookFrom) ^ squareBit(rookTo);
        bb[WKING + side] ^= fromBit ^ toBit;
        bb[WROOK + side] ^= rookBits;
        bb[side] ^= fromBit ^ toBit ^ rookBits;
        pos->board[to] = 0;
        pos->board[rookTo] = 0;
        pos->board[rookFrom] = int8_t(WROOK + side);
        pos->board[from] = int8_t(WKING + side);
        return;
    }
    default:
        mover = WPAWN + side;
        bb[mover] ^= fromBit;
        bb[flag + side] ^= toBit;
        bb[side] ^= fromBit | toBit;
        break;
    }
    pos->board[from] = int8_t(mover);
    pos->board[to] = next.captured;
    if (next.captured) {
        bb[next.captured] ^= toBit;
        bb[opp] ^= toBit;
    }
}
