// The shared entry of both evaluations: a position found in the cache is answered from it, a
// pawnless position that cannot be won is a draw, and only then does an evaluation run.
#include "evaluate.h"

#include <cstring>

#include "eval.h"
#include "nnue.h"

evalCacheEntryStruct GEvalCache[EVALCACHESIZE];

namespace {

// Without pawns, at most one minor piece each (a bishop is the larger) or one rook each is a draw.
constexpr int DRAWMINORMATERIAL = 382;
constexpr int DRAWROOKMATERIAL = 478;

bool pawnlessDraw(const positionStruct* pos) {
    if (pos->pieceBB[WPAWN] | pos->pieceBB[BPAWN]) return false;
    const int white = mgScore(pos->material[WHITE]);
    const int black = mgScore(pos->material[BLACK]);
    if (white <= DRAWMINORMATERIAL && black <= DRAWMINORMATERIAL) return true;
    return white == DRAWROOKMATERIAL && black == DRAWROOKMATERIAL;
}

// The cache under cacheKey, the draw rule, then whiteScore(): the evaluation from white's view.
template <typename evaluation>
int cachedEvaluation(positionStruct* pos, U64 cacheKey, evaluation whiteScore) {
    evalCacheEntryStruct* entry = &pos->evalCache[cacheKey & (EVALCACHESIZE - 1)];
    if (entry->key == cacheKey) return pos->sideToMove ? -entry->score : entry->score;
    if (pawnlessDraw(pos)) return 0;
    const int score = whiteScore();
    entry->key = cacheKey;
    entry->score = int16_t(score);
    return pos->sideToMove ? -score : score;
}

} // namespace

void clearEvalTables(pawnTableEntryStruct* pawnTable, evalCacheEntryStruct* evalCache) {
    if (pawnTable) std::memset(static_cast<void*>(pawnTable), 0, sizeof(pawnTableEntryStruct) * PAWNTABLESIZE);
    if (evalCache) std::memset(static_cast<void*>(evalCache), 0, sizeof(evalCacheEntryStruct) * EVALCACHESIZE);
}

int evaluateClassic(positionStruct* pos) {
    return cachedEvaluation(pos, pos->hashKey, [pos] { return blendScore(evaluatePacked(pos), pos->phase); });
}

int evaluateNetwork(int ply, positionStruct* pos) {
    return cachedEvaluation(pos, pos->hashKey ^ networkCacheSalt, [ply, pos] {
        const int score = networkScoreAtPly(ply, pos);
        return pos->sideToMove ? -score : score;
    });
}

int evaluateN(int ply, positionStruct* pos) {
    if (nnueActive) return evaluateNetwork(ply, pos);
    return evaluateClassic(pos);
}
