// Move ordering: the staged move picker, the pickers of quiescence and probcut, and the static
// exchange test.
#include "movePicker.h"

#include <utility>

#include "move.h"
#include "moveTable.h"

const short seeValue[14] = {0, 0, 87, 87, 340, 340, 340, 340, 515, 515, 1005, 1005, 10000, 10000};

namespace {

constexpr uint8_t LOSINGCAPTUREMARK = 255; // captures waiting for the losing-captures stage
constexpr uint8_t EVASIONGOODSCORE = 250;  // pawn captures of the checker
constexpr uint8_t EVASIONSEEPENALTY = 100; // lowers an evasion that loses material

// Diagonal and line attackers of either colour onto square, through occupancy occ.
U64 attackersOf(int square, U64 occ, positionStruct* pos) {
    U64 diagonal = pos->pieceBB[WBISHOP] | pos->pieceBB[BBISHOP] | pos->pieceBB[WQUEEN] | pos->pieceBB[BQUEEN];
    U64 straight = pos->pieceBB[WROOK] | pos->pieceBB[BROOK] | pos->pieceBB[WQUEEN] | pos->pieceBB[BQUEEN];
    return (bishopAttacks(square, occ) & diagonal) | (rookAttacks(square, occ) & straight) |
           (knightAttackTable[square] & (pos->pieceBB[WKNIGHT] | pos->pieceBB[BKNIGHT])) |
           (kingAttackTable[square] & (pos->pieceBB[WKING] | pos->pieceBB[BKING])) |
           (attackByPawnTable[WHITE][square] & pos->pieceBB[WPAWN]) |
           (attackByPawnTable[BLACK][square] & pos->pieceBB[BPAWN]);
}

// Whether a generated move m is the stored move s (which carries its piece in the fourth byte).
inline bool isStoredMove(const moveStruct& m, const moveStruct& s, positionStruct* pos) {
    return sameMove(m, s) && pos->board[m.from] == s.score;
}

// Two stored moves are the same when all four bytes agree (a stored move whose piece does not
// match the board is never handed out, so it must not hide one that is).
inline bool sameStoredMove(const moveStruct& a, const moveStruct& b) { return moveToInt(a) == moveToInt(b); }

// The move as the search records it: the moving piece in the fourth byte.
inline moveStruct withPiece(moveStruct m, positionStruct* pos) {
    m.score = uint8_t(pos->board[m.from]);
    return m;
}

// An all-zero history row, read for an earlier move that is missing or has no piece.
const int16_t noHistoryRow[12 * 64] = {};

// The rows of the three history tables that order the quiet moves of the node at ply, each
// indexed by piece index * 64 + to-square: looked up once per pick instead of once per move.
struct quietRowsStruct {
    const int16_t* history;
    const int16_t* counter;  // by the previous move
    const int16_t* followup; // by the move two plies back
};

inline quietRowsStruct quietOrderRows(unsigned char ply, positionStruct* pos) {
    quietRowsStruct rows{&pos->history[0][0], noHistoryRow, noHistoryRow};
    if (ply >= 1) {
        const moveStruct& prev = pos->plyStack[ply - 1].currentMove;
        if (prev.score >= 2) rows.counter = &pos->counterHistory[prev.score - 2][prev.to][0][0];
        if (ply >= 2) {
            const moveStruct& prev2 = pos->plyStack[ply - 2].currentMove;
            if (prev2.score >= 2) rows.followup = &pos->followupHistory[prev2.score - 2][prev2.to][0][0];
        }
    }
    return rows;
}

// Quiet-move ordering: the sum of the three history tables for the move's piece (which the
// quiet list keeps in the fourth byte) and target.
inline int quietOrderValue(const quietRowsStruct& rows, const moveStruct& m) {
    const int i = (m.score - 2) * 64 + m.to;
    return rows.history[i] + rows.counter[i] + rows.followup[i];
}

// Whether a stored killer or counter move is handed out at its own stage. A quiet one always
// is; one that captures here is the same move as one of the capture list, so it comes at its
// stage only while it still waits there as a losing capture (which it then no longer does),
// and not at all once the good captures have handed it out.
bool storedMoveFits(unsigned char ply, moveStruct m, positionStruct* pos) {
    if (!isMovePseudoLegal(ply, m, pos)) return false;
    // a Chess960 king may castle onto its own rook's square: castling is never a capture
    bool castling = m.flag == CASTLESHORT || m.flag == CASTLELONG;
    if (castling || (pos->board[m.to] == EMPTY && m.flag != ENPASSANT)) return true;
    plyRecord& rec = pos->plyStack[ply];
    for (moveStruct* c = rec.listStart; c < rec.pickEnd; c++) {
        if (!sameMove(*c, m)) continue;
        if (c->score != LOSINGCAPTUREMARK) return false;
        c->score = 0;
        return true;
    }
    return false;
}

// A capture that gives away material by the exchange test.
inline bool losesMaterial(const moveStruct& m, positionStruct* pos) {
    return m.flag != ENPASSANT && seeValue[pos->board[m.to]] < seeValue[pos->board[m.from]] && !seeTest(pos, m, 0);
}

} // namespace

// Evasions that lose material go after the others.
void lowerLosingEvasions(unsigned char ply, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    for (moveStruct* m = rec.listStart; m < rec.listEnd; m++) {
        int mover = pos->board[m->from];
        if (pieceType(mover) == KING || m->score == EVASIONGOODSCORE || m->flag == ENPASSANT ||
            m->flag == CASTLESHORT || m->flag == CASTLELONG)
            continue;
        if (seeValue[pos->board[m->to]] - seeValue[mover] >= 0) continue;
        if (!seeTest(pos, *m, 0)) m->score = uint8_t(m->score + (256 - EVASIONSEEPENALTY));
    }
}

namespace {

// Generates this ply's captures (or evasions in check) from the start of its list.
void generateCaptureStage(unsigned char ply, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    generateMovesCaptures(ply, rec.listStart, pos);
    rec.pickCursor = rec.listStart;
    if (rec.inCheck) {
        lowerLosingEvasions(ply, pos);
        rec.genStage = STAGEEVASIONS;
    } else {
        rec.genStage = STAGEGOODCAPTURES;
    }
}

} // namespace

bool seeTest(positionStruct* pos, moveStruct move, int threshold) {
    int from = move.from, to = move.to;
    int mover = pos->board[from];
    int balance = seeValue[pos->board[to]] - threshold;
    if (balance < 0) return false;
    balance -= seeValue[mover];
    if (balance >= 0) return true;

    U64 occ = (pos->pieceBB[WHITE] | pos->pieceBB[BLACK]) & ~squareBit(from) & ~squareBit(to);
    U64 attackers = attackersOf(to, occ, pos) & occ;
    int side = (mover & 1) ^ 1;
    bool result = true;
    while (true) {
        U64 own = attackers & pos->pieceBB[side];
        if (!own) break;
        int code = WPAWN + side;
        while (!(own & pos->pieceBB[code])) code += 2;
        if (pieceType(code) == KING) {
            if (attackers & pos->pieceBB[side ^ 1]) break; // the king may not capture into a defence
            result = !result;
            break;
        }
        U64 bit = squareBit(lowestSquare(own & pos->pieceBB[code]));
        occ ^= bit;
        attackers ^= bit;
        int type = pieceType(code);
        if (type == PAWN || type == BISHOP || type == QUEEN) {
            attackers |= bishopAttacks(to, occ) & (pos->pieceBB[WBISHOP + side] | pos->pieceBB[WQUEEN + side]) & occ;
        } else if (type == ROOK) {
            attackers |= rookAttacks(to, occ) & (pos->pieceBB[WROOK + side] | pos->pieceBB[WQUEEN + side]) & occ;
        }
        result = !result;
        balance += seeValue[code];
        if (balance < 0) break;
        balance = -balance;
        side ^= 1;
    }
    return result;
}

void computeNotPinned(unsigned char ply, positionStruct* pos) {
    int side = pos->sideToMove;
    int king = lowestSquare(pos->pieceBB[WKING + side]);
    U64 occ = pos->pieceBB[WHITE] | pos->pieceBB[BLACK];
    int opp = side ^ 1;
    U64 snipers = ((pos->pieceBB[WBISHOP + opp] | pos->pieceBB[WQUEEN + opp]) & bishopAttackAll[king]) |
                  ((pos->pieceBB[WROOK + opp] | pos->pieceBB[WQUEEN + opp]) & rookAttackAll[king]);
    U64 pinned = 0;
    while (snipers) {
        int s = popLowest(snipers);
        U64 between = inBetweenSquares[king][s] & occ;
        if (between && !(between & (between - 1))) pinned |= between;
    }
    pos->plyStack[ply].notPinned = ~(pinned & pos->pieceBB[side]);
}

bool isMovePseudoLegal(unsigned char ply, moveStruct m, positionStruct* pos) {
    int from = m.from, to = m.to;
    if (from > 63 || to > 63) return false;
    int side = pos->sideToMove;
    int code = pos->board[from];
    if (code < WPAWN || code != m.score || (code & 1) != side) return false;
    // a Chess960 king may castle without moving or onto its rook's square
    if (m.flag == CASTLESHORT || m.flag == CASTLELONG) return castlingMoveFits(ply, m, pos);
    if (from == to) return false;
    int target = pos->board[to];
    if ((pos->pieceBB[side] & squareBit(to)) || pieceType(target) == KING) return false;
    U64 occ = pos->pieceBB[WHITE] | pos->pieceBB[BLACK];
    U64 toBit = squareBit(to);
    int type = pieceType(code);

    if (type == PAWN) {
        int forward = side == WHITE ? 8 : -8;
        int toRank = to >> 3;
        bool lastRank = toRank == (side == WHITE ? 7 : 0);
        switch (m.flag) {
        case NORMALMOVE:
        case PROMOTEKNIGHT:
        case PROMOTEBISHOP:
        case PROMOTEROOK:
        case PROMOTEQUEEN:
            if (lastRank != (m.flag != NORMALMOVE)) return false;
            if (to == from + forward) return target == EMPTY;
            return target != EMPTY && (attackByPawnTable[side][to] & squareBit(from));
        case DOUBLESTEP: {
            int startRank = side == WHITE ? 1 : 6;
            return (from >> 3) == startRank && to == from + 2 * forward && target == EMPTY &&
                   pos->board[from + forward] == EMPTY;
        }
        case ENPASSANT: {
            int ep = pos->plyStack[ply].epSquare;
            return ep != 0 && to == ep && (enpassantTable[ep] & squareBit(from)) && target == WPAWN + (side ^ 1) &&
                   pos->board[to + forward] == EMPTY;
        }
        default:
            return false;
        }
    }
    if (m.flag != NORMALMOVE) return false;
    switch (type) {
    case KNIGHT:
        return knightAttackTable[from] & toBit;
    case BISHOP:
        return bishopAttacks(from, occ) & toBit;
    case ROOK:
        return rookAttacks(from, occ) & toBit;
    case QUEEN:
        return queenAttacks(from, occ) & toBit;
    default:
        return kingAttackTable[from] & toBit;
    }
}

bool isMoveLegalAnyway(unsigned char ply, moveStruct move, positionStruct* pos) {
    int mover = pos->sideToMove;
    makeMove(ply, move, pos);
    int king = lowestSquare(pos->pieceBB[WKING + mover]);
    bool legal = !squareAttacked(king, mover ^ 1, pos->pieceBB[WHITE] | pos->pieceBB[BLACK], pos);
    unmakeMove(ply, move, pos);
    return legal;
}

void initMovePicker(unsigned char ply, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    rec.genStage = STAGEHASHMOVE;
    rec.listEnd = rec.listStart;
    rec.pickCursor = rec.listStart;
    rec.pickEnd = rec.listStart;
    // a child must never generate over a list of this ply or below
    pos->plyStack[ply + 1].listStart = rec.listStart;
}

bool pickNextMove(unsigned char ply, positionStruct* pos, moveStruct* move, bool pruning) {
    plyRecord& rec = pos->plyStack[ply];
    while (true) {
        switch (rec.genStage) {
        case STAGEHASHMOVE:
            rec.genStage = STAGEGENCAPTURES;
            if (isMovePseudoLegal(ply, rec.hashMove, pos)) {
                *move = rec.hashMove;
                return true;
            }
            break;

        case STAGEGENCAPTURES:
            generateCaptureStage(ply, pos);
            break;

        case STAGEGOODCAPTURES:
            while (rec.pickCursor < rec.listEnd) {
                selectBest(rec.pickCursor, rec.listEnd);
                moveStruct* m = rec.pickCursor++;
                if (isStoredMove(*m, rec.hashMove, pos)) {
                    m->score = 0;
                    continue;
                }
                int mover = pos->board[m->from];
                if (m->flag == ENPASSANT || m->flag == CASTLESHORT || m->flag == CASTLELONG ||
                    seeValue[pos->board[m->to]] - seeValue[mover] >= 0 || seeTest(pos, *m, 0)) {
                    m->score = 0;
                    *move = withPiece(*m, pos);
                    return true;
                }
                // losing captures wait until the killers and the counter move have been tried
                m->score = LOSINGCAPTUREMARK;
            }
            rec.genStage = STAGEKILLER1;
            rec.pickCursor = rec.listStart;
            rec.pickEnd = rec.listEnd;
            break;

        case STAGEKILLER1:
            rec.genStage = STAGEKILLER2;
            if (!sameStoredMove(rec.killerMove[0], rec.hashMove) && storedMoveFits(ply, rec.killerMove[0], pos)) {
                *move = rec.killerMove[0];
                return true;
            }
            break;

        case STAGEKILLER2:
            rec.genStage = STAGECOUNTERMOVE;
            if (!sameStoredMove(rec.killerMove[1], rec.hashMove) && !sameStoredMove(rec.killerMove[1], rec.killerMove[0]) &&
                storedMoveFits(ply, rec.killerMove[1], pos)) {
                *move = rec.killerMove[1];
                return true;
            }
            break;

        case STAGECOUNTERMOVE:
            rec.genStage = STAGELOSINGCAPTURES;
            if (ply == 0) break;
            {
                const moveStruct& prev = pos->plyStack[ply - 1].currentMove;
                if (prev.score >= 2) rec.counterMove = pos->counterMoves[prev.score - 2][prev.to];
                moveStruct c = rec.counterMove;
                if (!sameStoredMove(c, rec.hashMove) && !sameStoredMove(c, rec.killerMove[0]) &&
                    !sameStoredMove(c, rec.killerMove[1]) && storedMoveFits(ply, c, pos)) {
                    *move = c;
                    return true;
                }
            }
            break;

        case STAGELOSINGCAPTURES:
        case STAGELOSINGCAPTURESNEXT:
            rec.genStage = STAGELOSINGCAPTURESNEXT;
            while (rec.pickCursor < rec.pickEnd) {
                moveStruct* m = rec.pickCursor++;
                if (m->score == LOSINGCAPTUREMARK) {
                    *move = withPiece(*m, pos);
                    return true;
                }
            }
            rec.genStage = STAGEGENQUIETS;
            break;

        case STAGEGENQUIETS: {
            moveStruct* quietStart = rec.listEnd;
            generateMovesQuiets(ply, quietStart, pos);
            moveStruct* end = rec.listEnd;
            for (moveStruct* m = quietStart; m < end;) {
                // the moving piece goes into the fourth byte, as in the stored moves
                m->score = uint8_t(pos->board[m->from]);
                // the stored moves came earlier when they fitted, and a generated quiet move fits
                if (sameStoredMove(*m, rec.hashMove) || sameStoredMove(*m, rec.killerMove[0]) ||
                    sameStoredMove(*m, rec.killerMove[1]) || (ply > 0 && sameStoredMove(*m, rec.counterMove))) {
                    *m = *--end;
                } else {
                    m++;
                }
            }
            rec.listEnd = end;
            pos->plyStack[ply + 1].listStart = end;
            rec.pickEnd = quietStart; // start of the quiet moves, for the history penalties
            rec.pickCursor = quietStart;
            rec.genStage = STAGEQUIETS;
            break;
        }

        case STAGEQUIETS: {
            if (rec.pickCursor >= rec.listEnd) return false;
            if (!pruning) {
                const quietRowsStruct rows = quietOrderRows(ply, pos);
                moveStruct* best = rec.pickCursor;
                int bestValue = quietOrderValue(rows, *best);
                for (moveStruct* m = best + 1; m < rec.listEnd; m++) {
                    int v = quietOrderValue(rows, *m);
                    if (v > bestValue) {
                        bestValue = v;
                        best = m;
                    }
                }
                if (best != rec.pickCursor) {
                    moveStruct t = *rec.pickCursor;
                    *rec.pickCursor = *best;
                    *best = t;
                }
            }
            *move = *rec.pickCursor++;
            return true;
        }

        case STAGEEVASIONS:
            while (rec.pickCursor < rec.listEnd) {
                selectBest(rec.pickCursor, rec.listEnd);
                moveStruct* m = rec.pickCursor++;
                if (isStoredMove(*m, rec.hashMove, pos)) continue;
                *move = withPiece(*m, pos);
                return true;
            }
            return false;

        default:
            return false;
        }
    }
}

bool pickNextProbcutMove(unsigned char ply, positionStruct* pos, moveStruct* move, int threshold) {
    plyRecord& rec = pos->plyStack[ply];
    auto taken = [&](const moveStruct& m) {
        if (m.flag == ENPASSANT || m.flag == CASTLESHORT || m.flag == CASTLELONG) return threshold <= 0;
        return seeTest(pos, m, threshold);
    };
    while (true) {
        switch (rec.genStage) {
        case STAGEHASHMOVE: {
            rec.genStage = STAGEGENCAPTURES;
            moveStruct h = rec.hashMove;
            if (isMovePseudoLegal(ply, h, pos) && (pos->board[h.to] != EMPTY || isPromotion(h.flag)) && taken(h)) {
                *move = h;
                return true;
            }
            break;
        }
        case STAGEGENCAPTURES:
            generateMovesCaptures(ply, rec.listStart, pos);
            rec.pickCursor = rec.listStart;
            rec.genStage = STAGEGOODCAPTURES;
            break;
        case STAGEGOODCAPTURES:
            while (rec.pickCursor < rec.listEnd) {
                selectBest(rec.pickCursor, rec.listEnd);
                moveStruct* m = rec.pickCursor++;
                if (isStoredMove(*m, rec.hashMove, pos) || !taken(*m)) continue;
                *move = withPiece(*m, pos);
                return true;
            }
            return false;
        default:
            return false;
        }
    }
}

void keepRecaptures(unsigned char ply, int square, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    moveStruct* kept = rec.listStart;
    for (moveStruct* m = rec.listStart; m < rec.listEnd; m++) {
        if (m->to == square) *kept++ = *m;
    }
    rec.listEnd = kept;
    pos->plyStack[ply + 1].listStart = kept;
}

moveStruct* pickQuiescenceMove(moveStruct* cursor, moveStruct* end, bool skipLosing, positionStruct* pos) {
    if (cursor >= end) return nullptr;
    if (!skipLosing) {
        selectBest(cursor, end);
        return cursor;
    }
    // A losing capture is no candidate at all: it keeps its place and gets the score 0, which
    // no capture has, so that it cannot win a later selection either.
    while (true) {
        moveStruct* best = cursor;
        for (moveStruct* m = cursor + 1; m < end; m++) {
            if (m->score > best->score) best = m;
        }
        if (best->score == 0) return nullptr;
        if (!losesMaterial(*best, pos)) {
            std::swap(*cursor, *best);
            return cursor;
        }
        best->score = 0;
    }
}
