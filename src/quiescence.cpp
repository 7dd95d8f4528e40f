// Quiescence: captures (and evasions) below the horizon until the position is quiet.
#include "evaluate.h"
#include "hash.h"
#include "move.h"
#include "movePicker.h"
#include "search.h"

namespace {

constexpr int QSEEMINDEPTH = -4;      // losing captures are left out from here up
constexpr int QRECAPTUREDEPTH = -5;   // from here down only recaptures are searched
constexpr int QEVASIONLIMIT = -14;    // from here down even a side in check only recaptures

} // namespace

short quiescence(unsigned char ply, int depth, short alphaIn, short betaIn, positionStruct* pos) {
    int alpha = alphaIn, beta = betaIn;
    plyRecord& rec = pos->plyStack[ply];

    bumpCounter(pos->qNodeCount);

    // Mate-distance bounds
    if (alpha < ply - MATESCORE) alpha = ply - MATESCORE;
    if (beta > MATESCORE + 1 - ply) beta = MATESCORE + 1 - ply;
    if (alpha >= beta) return short(alpha);

    // Ply limit, and the move storage's end
    if (ply >= MAXPLY - 1 || moveStorageRoom(ply, pos) < QUIESCENCESTORAGEGUARD) return short(evaluateN(ply, pos));

    // The static evaluation comes before the table probe that may make it unneeded: here the
    // probe nearly always misses, and evaluating hides the wait for the table's memory, which
    // the parent asked for when it made the move. The evaluation has no effect on the table.
    const bool inCheck = rec.inCheck;
    const int staticEval = inCheck ? 0 : evaluateN(ply, pos);

    // Table cut-off, at any stored depth
    U64 data;
    int ttBound = BOUNDNONE, ttScore = 0;
    if (probeHashTable(pos->hashKey, &data)) {
        ttBound = hashDataBound(data);
        if (ttBound != BOUNDNONE) {
            ttScore = scoreFromHash(hashDataScore(data), ply);
            if ((ttBound & BOUNDLOWER) && ttScore >= beta) return short(ttScore);
            if (ttBound == BOUNDEXACT) return short(ttScore);
            if (ttBound == BOUNDUPPER && ttScore <= alpha) return short(ttScore);
        }
    }

    // Stand pat
    int bestScore = ply - MATESCORE;
    if (!inCheck) {
        int e = staticEval;
        if (ttBound == BOUNDLOWER && ttScore > e) e = ttScore;
        if (ttBound == BOUNDUPPER && ttScore < e) e = ttScore;
        if (e >= beta) return short(e);
        bestScore = e;
        if (e > alpha) alpha = e;
    }

    // Generation by depth: evasions, captures, or recaptures only
    const bool evasions = inCheck && depth > QEVASIONLIMIT;
    bool useSee = false;
    // a side in check that only recaptures needs the full legality test
    const bool fullLegality = inCheck && !evasions;
    if (evasions) {
        generateMovesCaptures(ply, rec.listStart, pos);
        // evasions that lose material go last
        if (rec.listEnd == rec.listStart) return short(bestScore);
        lowerLosingEvasions(ply, pos);
    } else {
        if (inCheck) rec.inCheck = 0;
        generateMovesCaptures(ply, rec.listStart, pos);
        if (depth <= QRECAPTUREDEPTH) {
            keepRecaptures(ply, ply > 0 ? pos->plyStack[ply - 1].currentMove.to : 64, pos);
        } else if (depth <= 0) {
            useSee = depth >= QSEEMINDEPTH;
        }
    }

    if (rec.listEnd == rec.listStart) return short(bestScore);

    // The move loop, best ordering score first
    int searched = 0;
    for (moveStruct* cursor = rec.listStart; (cursor = pickQuiescenceMove(cursor, rec.listEnd, useSee, pos)); cursor++) {
        moveStruct m = *cursor;
        if (fullLegality) {
            if (!isMoveLegalAnyway(ply, m, pos)) continue;
        } else if (!evasions && !isMoveLegal(ply, m, pos)) {
            continue;
        }

        makeMove(ply, m, pos);
        prefetchHashWindow(pos->hashKey);
        m.score = 0;
        rec.currentMove = m;
        pos->plyStack[ply + 1].inCheck = kingInCheck(pos);
        int score;
        if (searched == 0) {
            score = -quiescence(ply + 1, depth - 1, short(-beta), short(-alpha), pos);
        } else {
            score = -quiescence(ply + 1, depth - 1, short(-alpha - 1), short(-alpha), pos);
            if (alpha < score && score < beta) score = -quiescence(ply + 1, depth - 1, short(-beta), short(-alpha), pos);
        }
        unmakeMove(ply, m, pos);
        searched++;

        if (score > bestScore) {
            bestScore = score;
            if (score > alpha) {
                if (score >= beta) return short(score);
                alpha = score;
            }
        }
    }
    return short(bestScore);
}
