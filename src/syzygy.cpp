// The Syzygy tables as the engine uses them: the root move from the distance-to-zeroing tables
// and the win/draw/loss verdict inside the search.

#include "syzygy.h"

#include <algorithm>

#include "hash.h"
#include "move.h"
#include "moveTable.h"
#include "score.h"
#include "settings.h"
#include "tablebase/tbprobe.h"

// The prober's half-move clock is one byte; anything beyond the fifty-move rule is alike.
constexpr unsigned MAXPROBERULE50 = 200;
constexpr uint32_t ILLEGALMOVEMARK = 32767;
// Engine promotion flags by the prober's promotion code (1 queen, 2 rook, 3 bishop, 4 knight).
static const uint8_t convPromotion[5] = {0, PROMOTEQUEEN, PROMOTEROOK, PROMOTEBISHOP, PROMOTEKNIGHT};

void setSyzygyPath(const std::string& path) {
    init_pawn_attacks();
    init_tablebases(path.c_str());
}

int syzygyLargestTable() { return TB_LARGEST; }

void positionToTB(positionStruct* position, uint8_t epSquare, unsigned fifty, pos* out) {
    const U64* bb = position->pieceBB;
    out->white = bb[WHITE];
    out->black = bb[BLACK];
    out->kings = bb[WKING] | bb[BKING];
    out->queens = bb[WQUEEN] | bb[BQUEEN];
    out->rooks = bb[WROOK] | bb[BROOK];
    out->bishops = bb[WBISHOP] | bb[BBISHOP];
    out->knights = bb[WKNIGHT] | bb[BKNIGHT];
    out->pawns = bb[WPAWN] | bb[BPAWN];
    out->rule50 = uint8_t(std::min(fifty, MAXPROBERULE50));
    out->ep = epSquare == 0 ? 0 : position->sideToMove == WHITE ? uint8_t(epSquare + 8) : uint8_t(epSquare - 8);
    out->turn = position->sideToMove == WHITE ? 1 : 0;
}

bool syzygyProbeWDL(unsigned char ply, positionStruct* position, int* wdl) {
    if (TB_LARGEST == 0 || position->plyStack[ply].castleRights) return false;
    if (popCount(position->pieceBB[WHITE] | position->pieceBB[BLACK]) > TB_LARGEST) return false;
    pos p;
    positionToTB(position, position->plyStack[ply].epSquare, 0, &p);
    int success;
    int v = probe_wdl(&p, &success);
    if (!success) return false;
    *wdl = v;
    return true;
}

// The root must be a position the prober can work on: one king each, consistent bitboards, no
// pawn on the first or last rank, and the side not to move not in check.
static bool consistentRoot(const pos* p) {
    U64 kinds[6] = {p->kings, p->queens, p->rooks, p->bishops, p->knights, p->pawns};
    U64 all = 0;
    for (U64 k : kinds) {
        if (all & k) return false;
        all |= k;
    }
    if ((p->white & p->black) || all != (p->white | p->black)) return false;
    if (popCount(p->kings & p->white) != 1 || popCount(p->kings & p->black) != 1) return false;
    if (p->pawns & 0xFF000000000000FFULL) return false;
    if (popCount(p->white | p->black) > TB_LARGEST) return false;  // no table, and a long capture search
    pos other = *p;
    other.turn ^= 1;
    return !in_check(&other);
}

// Whether an engine move is pseudo-legal for the moving man and leaves its king safe.
static bool engineMoveValid(positionStruct* position, moveStruct move) {
    const int side = position->sideToMove, opp = side ^ 1;
    const int from = move.from, to = move.to;
    const int piece = position->board[from];
    const U64* bb = position->pieceBB;
    const U64 occupancy = bb[WHITE] | bb[BLACK];
    if (piece == EMPTY || (piece & 1) != side) return false;
    const int target = position->board[to];
    if (move.flag != ENPASSANT && target != EMPTY && ((target & 1) == side || pieceType(target) == KING)) return false;

    const int forward = side == WHITE ? 8 : -8;
    switch (pieceType(piece)) {
    case PAWN:
        if (move.flag == ENPASSANT) {
            if (position->plyStack[0].epSquare != to || target != BPAWN - side) return false;
            if (!(attackByPawnTable[side][to + forward] & squareBit(from))) return false;
            if (occupancy & squareBit(to + forward)) return false;
        } else if (move.flag == DOUBLESTEP) {
            if ((from >> 3) != (side == WHITE ? 1 : 6) || to != from + 2 * forward ||
                (occupancy & (squareBit(to) | squareBit(from + forward))))
                return false;
        } else if (to == from + forward) {
            if (target != EMPTY) return false;
        } else if (!(attackByPawnTable[side][to] & squareBit(from)) || target == EMPTY) {
            return false;
        }
        if (((to >> 3) == 0 || (to >> 3) == 7) != isPromotion(move.flag) && move.flag != ENPASSANT) return false;
        break;
    case KNIGHT: if (!(knightAttackTable[from] & squareBit(to))) return false; break;
    case BISHOP: if (!(bishopAttacks(from, occupancy) & squareBit(to))) return false; break;
    case ROOK: if (!(rookAttacks(from, occupancy) & squareBit(to))) return false; break;
    case QUEEN: if (!(queenAttacks(from, occupancy) & squareBit(to))) return false; break;
    case KING: if (!(kingAttackTable[from] & squareBit(to))) return false; break;  // no castling rights here
    default: return false;
    }

    makeMove(0, move, position);
    U64 king = position->pieceBB[WKING + side];
    bool safe = king && !squareAttacked(lowestSquare(king), opp,
                                        position->pieceBB[WHITE] | position->pieceBB[BLACK], position);
    unmakeMove(0, move, position);
    return safe;
}

static bool isExcluded(const moveStruct& move, const moveStruct* excluded, int excludedCount) {
    for (int i = 0; i < excludedCount; i++)
        if (sameMove(excluded[i], move)) return true;
    return false;
}

// Whether the side to move has a move that mates.
static bool hasMateInOne(const pos* p) {
    u16 moves[TB_MAX_MOVES];
    u16* end = gen_moves(p, moves);
    for (u16* m = moves; m < end; m++) {
        pos child;
        if (do_move(&child, p, *m) && in_check(&child) && !has_legal_move(&child)) return true;
    }
    return false;
}

// The engine's form of a prober move of the root.
static moveStruct engineMoveOf(positionStruct* position, const pos* root, u16 m) {
    moveStruct move;
    move.from = uint8_t(move_from(m));
    move.to = uint8_t(move_to(m));
    move.flag = NORMALMOVE;
    move.score = uint8_t(position->board[move.from]);
    if (pieceType(position->board[move.from]) == PAWN) {
        if (is_en_passant(root, m)) {
            move.flag = ENPASSANT;
            move.to = uint8_t(position->sideToMove == WHITE ? move.to - 8 : move.to + 8);
        } else if (move_promotes(m)) {
            move.flag = convPromotion[move_promotes(m)];
        } else if ((move.from ^ move.to) == 16) {
            move.flag = DOUBLESTEP;  // the engine's double step sets its en-passant square
        }
    }
    return move;
}

uint32_t syzygyProbeDTZ(int, positionStruct* position, const moveStruct* excluded, int excludedCount, int* rootScore) {
    // Translate and check the root
    pos root;
    positionToTB(position, position->plyStack[0].epSquare, position->fiftyCounter, &root);
    if (!consistentRoot(&root)) return 0;

    // The root's distance to zeroing
    int success;
    int dtz = probe_dtz(&root, &success);
    if (!success) return 0;

    // A value for every root move
    u16 moves[TB_MAX_MOVES];
    uint32_t values[TB_MAX_MOVES];
    u16* end = gen_moves(&root, moves);
    int count = int(end - moves);
    int drawingMoves = 0;
    for (int i = 0; i < count; i++) {
        pos child;
        // a move left out by the caller is no candidate, like an illegal one
        if (isExcluded(engineMoveOf(position, &root, moves[i]), excluded, excludedCount) ||
            !do_move(&child, &root, moves[i])) {
            values[i] = ILLEGALMOVEMARK;
            continue;
        }
        int v;
        if (dtz > 0 && in_check(&child) && !has_legal_move(&child)) {
            v = 1;  // mate ends the game at once
        } else if (child.rule50 == 0) {
            static const int wdlToValue[5] = {-1, -101, 0, 101, 1};
            int w = -probe_wdl(&child, &success);
            if (!success) return 0;
            v = wdlToValue[w + 2];
        } else {
            int d = probe_dtz(&child, &success);
            if (!success) return 0;
            v = d > 0 ? -d - 1 : d < 0 ? -d + 1 : 0;
        }
        if (v == 0) drawingMoves++;
        values[i] = uint32_t(int32_t(v));
    }

    // The choice
    int chosen = -1;
    if (dtz > 0) {
        int best = 0;
        for (int i = 0; i < count; i++) {
            int v = int32_t(values[i]);
            if (values[i] != ILLEGALMOVEMARK && v >= 1 && (chosen < 0 || v < best)) chosen = i, best = v;
        }
    } else if (dtz < 0) {
        int best = 0;
        for (int i = 0; i < count; i++) {
            int v = int32_t(values[i]);
            if (values[i] != ILLEGALMOVEMARK && v < best) chosen = i, best = v;
        }
        // Of the moves that hold out equally long, one that lets the opponent mate at once is
        // the shorter defence: take the first that does not.
        for (int i = chosen; i >= 0 && i < count; i++) {
            if (values[i] == ILLEGALMOVEMARK || int32_t(values[i]) != best) continue;
            pos child;
            do_move(&child, &root, moves[i]);
            if (!hasMateInOne(&child)) {
                chosen = i;
                break;
            }
        }
    } else if (drawingMoves > 0) {
        // The choice among drawing moves is fixed by the material and the side to move.
        u64 k = calc_key(&root, root.turn == 0) % u64(drawingMoves);
        for (int i = 0; i < count; i++)
            if (values[i] == 0 && k-- == 0) {
                chosen = i;
                break;
            }
    }
    if (chosen < 0) return 0;

    // Classify the root by the fifty-move count; with moves left out, by the chosen move's
    // distance, which stands for the root's when the root is limited to the other moves
    int fifty = position->fiftyCounter;
    int distance = excludedCount > 0 ? int32_t(values[chosen]) : dtz;
    int score = 0;
    // without the fifty-move rule a cursed win is a win and a blessed loss a loss
    const bool rule = engine.syzygy50MoveRule;
    if (distance > 0 && (!rule || fifty + distance <= 100)) score = TBWINSCORE - distance;
    if (distance < 0 && (!rule || fifty - distance <= 100)) score = -distance - TBWINSCORE;
    score = int16_t(score);

    // The engine's form of the move
    moveStruct move = engineMoveOf(position, &root, moves[chosen]);

    // The move must be sound in the engine's own position
    if (!engineMoveValid(position, move)) return 0;

    if (rootScore) *rootScore = score;
    return moveToInt(move);
}
