// The history tables: rewards for the quiet move that cut off, penalties for the quiet moves
// tried before it, and the killers and counter moves.
#include "history.h"

#include "movePicker.h"

namespace {

constexpr int HISTORYMAXDEPTHSQUARED = 324;
constexpr int HISTORYBONUSFACTOR = 32;
constexpr int HISTORYDIVISOR = 8192;

// The penalties apply wherever the earlier moves exist, also below null moves.
void penaliseQuiet(unsigned char ply, moveStruct m, int bonus, positionStruct* pos) {
    int p = pos->board[m.from] - 2;
    if (p < 0 || p > 11) return;
    pos->history[p][m.to] = historyPenalty(pos->history[p][m.to], bonus);
    if (ply >= 2) {
        const moveStruct& prev2 = pos->plyStack[ply - 2].currentMove;
        if (prev2.score >= 2) {
            short& h = pos->followupHistory[prev2.score - 2][prev2.to][p][m.to];
            h = historyPenalty(h, bonus);
        }
    }
    if (ply >= 1) {
        const moveStruct& prev = pos->plyStack[ply - 1].currentMove;
        if (prev.score >= 2) {
            short& h = pos->counterHistory[prev.score - 2][prev.to][p][m.to];
            h = historyPenalty(h, bonus);
        }
    }
}

} // namespace

int historyBonus(int depth) {
    int d2 = depth * depth;
    return HISTORYBONUSFACTOR * (d2 < HISTORYMAXDEPTHSQUARED ? d2 : HISTORYMAXDEPTHSQUARED);
}

short historyReward(short entry, int bonus) {
    int32_t h = entry;
    return short(h + bonus - h * bonus / HISTORYDIVISOR);
}

short historyPenalty(short entry, int bonus) {
    int32_t h = entry;
    return short(h - bonus - h * bonus / HISTORYDIVISOR);
}

void updateQuietHistory(unsigned char ply, int depth, moveStruct m, positionStruct* pos) {
    plyRecord& rec = pos->plyStack[ply];
    int bonus = historyBonus(depth);
    int p = pos->board[m.from] - 2;
    // after a null move of both this and the previous ply the earlier moves earn no reward
    bool earlierMovesCount = !(rec.nullMoveSearched && ply >= 1 && pos->plyStack[ply - 1].nullMoveSearched);

    if (ply >= 2 && earlierMovesCount) {
        const moveStruct& prev2 = pos->plyStack[ply - 2].currentMove;
        if (prev2.score >= 2) {
            short& h = pos->followupHistory[prev2.score - 2][prev2.to][p][m.to];
            h = historyReward(h, bonus);
        }
    }
    if (ply >= 1 && earlierMovesCount) {
        const moveStruct& prev = pos->plyStack[ply - 1].currentMove;
        if (prev.score >= 2) {
            pos->counterMoves[prev.score - 2][prev.to] = m;
            short& h = pos->counterHistory[prev.score - 2][prev.to][p][m.to];
            h = historyReward(h, bonus);
        }
    }
    pos->history[p][m.to] = historyReward(pos->history[p][m.to], bonus);

    moveStruct h = rec.hashMove;
    if ((h.from | h.to | h.flag) && !sameMove(h, m) && h.from < 64 && h.to < 64 && pos->board[h.to] == EMPTY &&
        pos->board[h.from] == h.score)
        penaliseQuiet(ply, h, bonus, pos);

    if (rec.genStage == STAGEQUIETS) {
        for (moveStruct* q = rec.pickEnd; q < rec.pickCursor - 1; q++) penaliseQuiet(ply, *q, bonus, pos);
    }

    if (!sameMove(m, rec.killerMove[0])) {
        rec.killerMove[1] = rec.killerMove[0];
        rec.killerMove[0] = m;
    }
}

void clearSearchTables(positionStruct* pos) {
    for (int ply = 0; ply < MAXPLY; ply++) {
        plyRecord& rec = pos->plyStack[ply];
        rec.killerMove[0] = rec.killerMove[1] = EMPTYMOVE;
        rec.counterMove = rec.hashMove = rec.currentMove = rec.pvMove = EMPTYMOVE;
        rec.nullMoveSearched = 0;
    }
    for (auto& row : pos->history)
        for (auto& h : row) h = 0;
    for (auto& row : pos->counterMoves)
        for (auto& c : row) c = EMPTYMOVE;
    for (auto& a : pos->followupHistory)
        for (auto& b : a)
            for (auto& c : b)
                for (auto& h : c) h = 0;
    for (auto& a : pos->counterHistory)
        for (auto& b : a)
            for (auto& c : b)
                for (auto& h : c) h = 0;
}
