// The alpha-beta node: table cut-offs, pruning before the move loop, extensions and reductions.
#include <cstdlib>

#include "evaluate.h"
#include "hash.h"
#include "history.h"
#include "move.h"
#include "movePicker.h"
#include "moveTable.h"
#include "search.h"
#include "settings.h"
#include "syzygy.h"
#include "threads.h"
#include "timeManager.h"

const int razor[4] = {0, 120, 190, 240};
const int futility[8] = {0, 65, 130, 195, 260, 325, 390, 455};
const int8_t LMP[8] = {2, 3, 5, 7, 9, 14, 20, 27};

namespace {

constexpr int RAZORMAXDEPTH = 3;
constexpr int FUTILITYMAXDEPTH = 6;
constexpr int NULLMOVEMINDEPTH = 3;
constexpr int NULLMOVEMATECAP = 31873; // a null-move mate score is not trusted beyond beta
constexpr int PROBCUTMINDEPTH = 5;
constexpr int PROBCUTMARGIN = 110;
constexpr int PROBCUTDEPTHCUT = 3;
constexpr int PROBCUTMAXMOVES = 4;
constexpr int IIDMINDEPTH = 4;
constexpr int IIDDEPTHCUT = 2;
constexpr int IIDMARGIN = 100;
constexpr int SINGULARMINDEPTH = 7;
constexpr int SINGULARTABLEDEPTHSLACK = 3;
constexpr int LMPMAXDEPTH = 7;
constexpr int LMRMINDEPTH = 3;
constexpr int REPETITIONMINFIFTY = 4;
constexpr int FIFTYMOVEPLIES = 99;

// The side to move owns a man other than its king and pawns.
inline bool sideHasPieces(positionStruct* pos) {
    int side = pos->sideToMove;
    return popCount(pos->pieceBB[side]) - popCount(pos->pieceBB[WPAWN + side]) >= 2;
}

inline bool isCastling(const moveStruct& m) { return m.flag == CASTLESHORT || m.flag == CASTLELONG; }

inline void prefetchTableSlot(U64 key) { __builtin_prefetch(&hashTable[key & hashKeyMask]); }

// Plays a legal move from ply and records it for the child.
inline void playMove(unsigned char ply, moveStruct m, positionStruct* pos) {
    makeMove(ply, m, pos);
    prefetchTableSlot(pos->hashKey);
    pos->plyStack[ply].currentMove = m;
    pos->plyStack[ply + 1].inCheck = kingInCheck(pos);
}

// Legality of a move handed out by the picker at a node.
inline bool pickedMoveIsLegal(unsigned char ply, moveStruct m, bool fromHashStage, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    if (rec.inCheck) return !fromHashStage || isMoveLegalAnyway(ply, m, pos); // evasions are legal
    if (fromHashStage) computeNotPinned(ply, pos); // handed out before the generators ran
    return isMoveLegal(ply, m, pos);
}

// Whether the hash move is singular: no other move reaches sBeta at half depth.
bool hashMoveIsSingular(unsigned char ply, int depth, int sBeta, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    plyRecord saved = rec;
    rec.genStage = STAGEGENCAPTURES; // the hash move itself is left out
    bool singular = true;
    moveStruct m;
    while (pickNextMove(ply, pos, &m, false)) {
        if (!rec.inCheck && !isMoveLegal(ply, m, pos)) continue;
        playMove(ply, m, pos);
        int score = -alfabeta(ply + 1, depth / 2 - 1, short(-sBeta), short(-sBeta + 1), pos);
        unmakeMove(ply, m, pos);
        if (score > sBeta) {
            singular = false;
            break;
        }
    }
    rec = saved;
    return singular;
}

} // namespace

short alfabeta(unsigned char ply, int depth, short alphaIn, short betaIn, positionStruct* pos) {
    int alpha = alphaIn, beta = betaIn;
    plyRecord& rec = pos->plyStack[ply];

    // Counters
    bumpCounter(pos->nodeCount);
    if (ply > pos->selDepth) pos->selDepth = ply;

    // The clock, read once per node-check interval
    uint32_t countdown = pos->timeCheckCountdown;
    pos->timeCheckCountdown = countdown - 1;
    if (int32_t(countdown) <= 0) {
        pos->timeCheckCountdown = uint32_t(engine.nodeCheckInterval);
        if (!theWorkForce.pondering.load(std::memory_order_relaxed) && !engine.infinite && hardLimitPassed()) {
            theWorkForce.stop.store(true, std::memory_order_relaxed);
            return 0;
        }
        if (engine.nodesLimit && !theWorkForce.pondering.load(std::memory_order_relaxed) && nodeLimitReached(pos)) {
            theWorkForce.stop.store(true, std::memory_order_relaxed);
            return 0;
        }
    }

    // Stop
    if (theWorkForce.stop.load(std::memory_order_relaxed)) return 0;

    // Mate distance, ply limit, repetition
    if (ply > 0) {
        if (alpha < ply - MATESCORE) alpha = ply - MATESCORE;
        if (beta > MATESCORE - ply) beta = MATESCORE + 1 - ply;
        if (alpha >= beta) return short(alpha);
        if (ply >= MAXPLY - 1) return short(evaluateN(ply, pos));
        if (pos->fiftyCounter >= REPETITIONMINFIFTY) {
            int last = pos->historyCount - pos->fiftyCounter - 1;
            if (last < 0) last = 0;
            for (int i = pos->historyCount - 5; i >= last; i -= 2) {
                if (pos->keyHistory[i] == pos->hashKey) return DRAWSCORE;
            }
        }
    }
    // with the move storage nearly used up the node becomes a leaf
    if (moveStorageRoom(ply, pos) < NODESTORAGEGUARD) return quiescence(ply, 0, short(alpha), short(beta), pos);
    const int alphaAtEntry = alpha;
    const bool pvNode = alpha + 1 < beta;

    // Table cut-off
    rec.hashMove = EMPTYMOVE;
    U64 data;
    int ttBound = BOUNDNONE, ttScore = 0, ttDepth = 0;
    if (probeHashTable(pos->hashKey, &data)) {
        ttBound = hashDataBound(data);
        if (ttBound != BOUNDNONE) {
            ttScore = scoreFromHash(hashDataScore(data), ply);
            ttDepth = hashDataDepth(data);
            if (!pvNode && ply > 0 && ttDepth >= depth) {
                if ((ttBound & BOUNDLOWER) && ttScore >= beta) return short(ttScore);
                if (ttBound == BOUNDEXACT) return short(ttScore);
                if (ttBound == BOUNDUPPER && ttScore <= alpha) return short(ttScore);
            }
        }
        rec.hashMove = hashDataMove(data);
    }

    // Tablebase verdict
    int tbLargest = syzygyLargestTable();
    if (ply > 0 && tbLargest > 0 && pos->fiftyCounter == 0 && rec.castleRights == 0) {
        int men = popCount(pos->pieceBB[WHITE] | pos->pieceBB[BLACK]);
        int wdl;
        if ((men < tbLargest || (men == tbLargest && depth >= engine.syzygyProbeDepth)) &&
            syzygyProbeWDL(ply, pos, &wdl)) {
            bumpCounter(pos->tbHitCount);
            // without the fifty-move rule a cursed win is a win and a blessed loss a loss
            if (!engine.syzygy50MoveRule && (wdl == 1 || wdl == -1)) wdl *= 2;
            if (wdl == -2) {
                int s = ply - MATETHRESHOLD;
                if (s <= alpha) {
                    storeHashTable(pos->hashKey, ply, EMPTYMOVE, s, TBDEPTH, BOUNDUPPER);
                    return short(s);
                }
            } else if (wdl == 2) {
                int s = MATETHRESHOLD - ply;
                if (s >= beta) {
                    storeHashTable(pos->hashKey, ply, EMPTYMOVE, s, TBDEPTH, BOUNDLOWER);
                    return short(s);
                }
            } else {
                // the fifty-move rule (when on) turns cursed wins and blessed losses into draws
                storeHashTable(pos->hashKey, ply, EMPTYMOVE, DRAWSCORE, TBDEPTH, BOUNDEXACT);
                return DRAWSCORE;
            }
        }
    }

    // Static evaluation and pruning, not in check
    if (!rec.inCheck) {
        int eval = evaluateN(ply, pos);
        int refined = eval;
        if (ttBound == BOUNDEXACT || (ttBound == BOUNDLOWER && eval < ttScore) || (ttBound == BOUNDUPPER && eval > ttScore))
            refined = ttScore;

        // Razoring
        if (depth <= RAZORMAXDEPTH && !pvNode && refined + razor[depth] < alpha) {
            int v = quiescence(ply, 0, short(alpha), short(beta), pos);
            if (v < alpha) return short(v);
        }

        // Reverse futility pruning
        if (depth <= FUTILITYMAXDEPTH && !pvNode && std::abs(refined) <= MAXEVALSCORE &&
            refined - futility[depth] >= beta && sideHasPieces(pos))
            return short(refined);

        // Null move: the child searches the same ply with the other side to move
        if (depth >= NULLMOVEMINDEPTH && !pvNode && refined >= beta && !rec.nullMoveSearched && sideHasPieces(pos)) {
            int n = nullMoveDepth(depth);
            U64 savedKey = pos->hashKey;
            plyRecord saved = rec;
            pos->sideToMove ^= 1;
            pos->hashKey ^= hashCodeBlackToMove;
            if (rec.epSquare) {
                pos->hashKey ^= hashCodeEnpassant[rec.epSquare & 7];
                rec.epSquare = 0;
            }
            rec.nullMoveSearched = 1;
            int score = n > 0 ? -alfabeta(ply, n, short(-beta), short(-beta + 1), pos)
                              : -quiescence(ply, 0, short(-beta), short(-beta + 1), pos);
            pos->sideToMove ^= 1;
            pos->hashKey = savedKey;
            rec = saved;
            if (score >= beta) return short(score >= NULLMOVEMATECAP ? beta : score);
        }

        // Probcut: a capture that beats beta by a margin in a reduced search cuts off
        if (depth >= PROBCUTMINDEPTH && !pvNode && std::abs(refined) <= MAXEVALSCORE) {
            int rbeta = beta + PROBCUTMARGIN;
            int threshold = rbeta - eval;
            initMovePicker(ply, pos);
            moveStruct m;
            int tried = 0;
            while (tried < PROBCUTMAXMOVES && pickNextProbcutMove(ply, pos, &m, threshold)) {
                if (rec.genStage == STAGEGENCAPTURES) computeNotPinned(ply, pos);
                if (!isMoveLegal(ply, m, pos)) continue;
                playMove(ply, m, pos);
                tried++;
                int score = -quiescence(ply + 1, 0, short(-rbeta), short(-rbeta + 1), pos);
                if (score >= rbeta)
                    score = -alfabeta(ply + 1, depth - PROBCUTDEPTHCUT, short(-rbeta), short(-rbeta + 1), pos);
                unmakeMove(ply, m, pos);
                if (score >= rbeta) return short(score);
            }
        }

        // Internal iterative deepening finds a move to try first
        if (depth >= IIDMINDEPTH && !(rec.hashMove.from | rec.hashMove.to | rec.hashMove.flag) &&
            (pvNode || refined >= beta - IIDMARGIN)) {
            alfabeta(ply, depth - IIDDEPTHCUT, short(alpha), short(beta), pos);
            if (probeHashTable(pos->hashKey, &data)) {
                rec.hashMove = hashDataMove(data);
                ttBound = hashDataBound(data);
                ttScore = scoreFromHash(hashDataScore(data), ply);
                ttDepth = hashDataDepth(data);
            }
        }
    }

    // The move loop
    const bool singularCandidate = ply > 0 && depth >= SINGULARMINDEPTH && ttDepth >= depth - SINGULARTABLEDEPTHSLACK &&
                                   (ttBound & BOUNDLOWER) && std::abs(ttScore) <= MAXEVALSCORE;
    initMovePicker(ply, pos);
    int bestScore = -MATESCORE;
    int movesSearched = 0;
    int lateMoves = 0;
    bool pruning = false;
    moveStruct m;
    while (pickNextMove(ply, pos, &m, pruning)) {
        const int stage = rec.genStage; // the stage after the one that handed m out
        const bool isHashMove = stage == STAGEGENCAPTURES;
        if (!pickedMoveIsLegal(ply, m, isHashMove, pos)) continue;
        if (ply == 0 && pos->searchField && rootMoveExcluded(m, pos)) continue;

        bool extended = false;
        if (isHashMove && singularCandidate) extended = hashMoveIsSingular(ply, depth, ttScore - 2 * depth, pos);

        const int captured = isCastling(m) ? int(EMPTY) : pos->board[m.to]; // a Chess960 king may land on its rook
        const int mover = m.score;
        playMove(ply, m, pos);
        const bool givesCheck = pos->plyStack[ply + 1].inCheck;

        // Late-move pruning
        const bool lateStage =
            stage == STAGEKILLER2 || stage == STAGECOUNTERMOVE || stage == STAGELOSINGCAPTURES || stage == STAGEQUIETS;
        if (ply > 0 && !givesCheck &&
            (pruning || (!pvNode && depth <= LMPMAXDEPTH && !rec.inCheck && lateStage && lateMoves >= LMP[depth]))) {
            pruning = true;
            unmakeMove(ply, m, pos);
            continue;
        }

        // Extensions
        int newDepth = depth - 1;
        if (extended) {
            newDepth++;
        } else if (givesCheck) {
            if (m.flag == ENPASSANT || isCastling(m) || seeValue[captured] - seeValue[mover] >= 0) {
                newDepth++;
            } else {
                unmakeMove(ply, m, pos);
                bool safe = seeTest(pos, m, 0);
                playMove(ply, m, pos);
                if (safe) newDepth++;
            }
        }

        if (stage != STAGELOSINGCAPTURESNEXT) lateMoves++;

        // Late-move reductions
        int reduction = 0;
        if (movesSearched > 0 && depth >= LMRMINDEPTH && captured == EMPTY && !(pvNode && lateMoves == 4)) {
            reduction = LMR[depth][lateMoves < 255 ? lateMoves : 255];
            if (reduction && pvNode) reduction--;
            if (reduction && stage != STAGEQUIETS) reduction--;
            if (reduction && pieceType(mover) == PAWN && ((m.to >> 3) == 6 || (m.to >> 3) == 1)) reduction--;
        }

        // Principal-variation search
        int score;
        if (movesSearched == 0) {
            score = newDepth > 0 ? -alfabeta(ply + 1, newDepth, short(-beta), short(-alpha), pos)
                                 : -quiescence(ply + 1, 0, short(-beta), short(-alpha), pos);
        } else {
            int reducedDepth = newDepth - reduction;
            score = reducedDepth > 0 ? -alfabeta(ply + 1, reducedDepth, short(-alpha - 1), short(-alpha), pos)
                                     : -quiescence(ply + 1, 0, short(-alpha - 1), short(-alpha), pos);
            if (reduction > 0 && newDepth > 0 && score > alpha)
                score = -alfabeta(ply + 1, newDepth, short(-alpha - 1), short(-alpha), pos);
            if (alpha < score && score < beta) {
                score = newDepth > 0 ? -alfabeta(ply + 1, newDepth, short(-beta), short(-alpha), pos)
                                     : -quiescence(ply + 1, 0, short(-beta), short(-alpha), pos);
            }
        }
        unmakeMove(ply, m, pos);
        movesSearched++;

        if (theWorkForce.stop.load(std::memory_order_relaxed)) return 0;

        if (score > bestScore) {
            bestScore = score;
            if (score > alpha) {
                rec.pvMove = m;
                if (ply == 0) {
                    pos->rootChanges++;
                    pos->rootDepth = int16_t(depth);
                    pos->rootDepthDone = 0;
                }
                if (score >= beta) {
                    storeHashTable(pos->hashKey, ply, m, score, depth, BOUNDLOWER);
                    if (!rec.inCheck && captured == EMPTY) updateQuietHistory(ply, depth, m, pos);
                    return short(score);
                }
                alpha = score;
            }
        }
    }

    // Mate, stalemate, fifty-move rule, the table
    if (movesSearched == 0) return short(rec.inCheck ? ply - MATESCORE : DRAWSCORE);
    if (pos->fiftyCounter > FIFTYMOVEPLIES) return DRAWSCORE;
    if (bestScore > alphaAtEntry)
        storeHashTable(pos->hashKey, ply, rec.pvMove, bestScore, depth, BOUNDEXACT);
    else
        storeHashTable(pos->hashKey, ply, rec.hashMove, bestScore, depth, BOUNDUPPER);
    return short(bestScore);
}
