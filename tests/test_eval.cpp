// Evaluation: colour symmetry, cache consistency, incremental sums and single terms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "eval.h"
#include "evaluate.h"
#include "general.h"
#include "hash.h"
#include "move.h"
#include "moveTable.h"

namespace {

void initTablesOnce() {
    static const bool done = [] {
        initBitboardConstants();
        initHashCodes();
        return true;
    }();
    (void)done;
}

// A position with its own move storage and its own evaluation caches.
struct evalBoard {
    std::unique_ptr<positionStruct> pos = std::make_unique<positionStruct>();
    std::vector<moveStruct> storage = std::vector<moveStruct>(MOVESTORAGESIZE);
    std::unique_ptr<pawnTableEntryStruct[]> pawnTable = std::make_unique<pawnTableEntryStruct[]>(PAWNTABLESIZE);
    std::unique_ptr<evalCacheEntryStruct[]> evalCache = std::make_unique<evalCacheEntryStruct[]>(EVALCACHESIZE);

    evalBoard() {
        initTablesOnce();
        attachMoveStorage(pos.get(), storage.data());
        clear();
    }
    void clear() { clearEvalTables(pawnTable.get(), evalCache.get()); }
    void set(const std::string& fen) {
        ASSERT_TRUE(setPosition(fen, pos.get())) << fen;
        attachMoveStorage(pos.get(), storage.data());
        pos->pawnTable = pawnTable.get();
        pos->evalCache = evalCache.get();
    }
    int eval() { return evaluateN(0, pos.get()); }
    evalTermsStruct terms() {
        evalTermsStruct t{};
        evaluatePacked(pos.get(), &t);
        return t;
    }
};

// FEN of the position reached at ply, optionally mirrored top to bottom with colours swapped.
std::string toFen(const positionStruct* pos, int ply, bool flip) {
    std::string fen;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            const int s = rank * 8 + file;
            int code = flip ? pos->board[s ^ 56] : pos->board[s];
            if (code && flip) code ^= 1;
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
    fen += (pos->sideToMove ^ (flip ? 1 : 0)) ? " b " : " w ";
    int rights = pos->plyStack[ply].castleRights;
    if (flip) rights = ((rights & 5) << 1) | ((rights & 10) >> 1);
    std::string castling;
    if (rights & WHITESHORT) castling += 'K';
    if (rights & WHITELONG) castling += 'Q';
    if (rights & BLACKSHORT) castling += 'k';
    if (rights & BLACKLONG) castling += 'q';
    fen += castling.empty() ? "-" : castling;
    int ep = pos->plyStack[ply].epSquare;
    if (ep) {
        if (flip) ep ^= 56;
        fen += ' ' + squareToText(ep < 32 ? ep - 8 : ep + 8); // the square the pawn passed
    } else {
        fen += " -";
    }
    return fen + " 0 1";
}

// The legal moves at ply, generated the way the search does.
std::vector<moveStruct> legalMoves(int ply, positionStruct* pos) {
    plyRecord& record = pos->plyStack[ply];
    record.inCheck = kingInCheck(pos);
    generateMovesCaptures(ply, record.listStart, pos);
    if (record.inCheck) return std::vector<moveStruct>(record.listStart, record.listEnd);
    generateMovesQuiets(ply, record.listEnd, pos);
    std::vector<moveStruct> moves;
    for (moveStruct* m = record.listStart; m < record.listEnd; m++)
        if (isMoveLegal(ply, *m, pos)) moves.push_back(*m);
    return moves;
}

std::vector<std::string> perftSuiteFens() {
    std::vector<std::string> fens;
    std::ifstream file(std::string(KESTRUNE_TEST_DATA) + "/perft-suite.txt");
    std::string line;
    while (std::getline(file, line))
        if (line.find(';') != std::string::npos) fens.push_back(line.substr(0, line.find(';')));
    return fens;
}

// Positions of the perft suite and of short random games from each of them.
std::vector<std::string> samplePositions(int pliesPerGame) {
    std::vector<std::string> result;
    std::mt19937 random(20261207);
    evalBoard board;
    for (const std::string& start : perftSuiteFens()) {
        result.push_back(start);
        board.set(start);
        for (int i = 0; i < pliesPerGame; i++) {
            std::vector<moveStruct> moves = legalMoves(0, board.pos.get());
            if (moves.empty()) break;
            makeMove(0, moves[random() % moves.size()], board.pos.get());
            const std::string fen = toFen(board.pos.get(), 1, false);
            result.push_back(fen);
            board.set(fen);
        }
    }
    return result;
}

struct sumsStruct {
    int material[2] = {0, 0};
    int psq[2] = {0, 0};
    int phase = 0;
};

sumsStruct sumsFromScratch(const positionStruct* pos) {
    sumsStruct sums;
    for (int s = 0; s < 64; s++) {
        const int code = pos->board[s];
        if (!code) continue;
        const int c = code & 1, kind = pieceIndex(code);
        if (kind != 5) sums.material[c] += pieceValue[kind];
        if (kind >= 1 && kind <= 4) sums.phase += pieceValuePhase[kind];
        sums.psq[c] += pieceSquareScore[kind][c == WHITE ? s ^ 56 : s];
    }
    return sums;
}

void expectSums(const positionStruct* pos, const std::string& where) {
    const sumsStruct sums = sumsFromScratch(pos);
    for (int c = WHITE; c <= BLACK; c++) {
        ASSERT_EQ(pos->material[c], sums.material[c]) << where;
        ASSERT_EQ(pos->psqScore[c], sums.psq[c]) << where;
    }
    ASSERT_EQ(pos->phase, sums.phase) << where;
}

void walkTree(int ply, int depth, positionStruct* pos, const std::string& fen) {
    for (const moveStruct& move : legalMoves(ply, pos)) {
        makeMove(ply, move, pos);
        expectSums(pos, fen + " after " + moveToLA(const_cast<moveStruct*>(&move), 0));
        if (depth > 1) walkTree(ply + 1, depth - 1, pos, fen);
        unmakeMove(ply, move, pos);
    }
    expectSums(pos, fen + " after unmaking");
}

} // namespace

TEST(EvalSymmetry, FlipHelperIsAnInvolution) {
    evalBoard board;
    board.set("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w Kq - 0 1");
    const std::string flipped = toFen(board.pos.get(), 0, true);
    EXPECT_EQ(flipped, "r3k2r/pppbbppp/2n2q1P/1P2p3/3pn3/BN2PNP1/P1PPQPB1/R3K2R b Qk - 0 1");
    board.set("rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1");
    EXPECT_EQ(toFen(board.pos.get(), 0, true), "rnbqkbnr/pppp1ppp/8/3Pp3/8/8/PPP1PPPP/RNBQKBNR w KQkq e6 0 1");
}

TEST(EvalSymmetry, FlippedPositionsScoreTheSame) {
    evalBoard board, mirror;
    const std::vector<std::string> fens = samplePositions(40);
    ASSERT_GT(fens.size(), 3000u);
    for (const std::string& fen : fens) {
        board.set(fen);
        mirror.set(toFen(board.pos.get(), 0, true));
        const int packed = evaluatePacked(board.pos.get());
        ASSERT_EQ(packed, -evaluatePacked(mirror.pos.get())) << fen;
        ASSERT_EQ(board.eval(), mirror.eval()) << fen;
    }
}

TEST(EvalCache, ColdAndWarmTablesAgree) {
    evalBoard board;
    const std::vector<std::string> fens = samplePositions(25);
    std::vector<int> cold;
    for (const std::string& fen : fens) {
        board.clear();
        board.set(fen);
        cold.push_back(board.eval());
    }
    // Warm: the tables are full of other positions, many of them sharing slots.
    for (size_t i = 0; i < fens.size(); i++) {
        board.set(fens[i]);
        ASSERT_EQ(board.eval(), cold[i]) << fens[i];
    }
    // Pawn table warm, evaluation cache cold.
    clearEvalTables(nullptr, board.evalCache.get());
    for (size_t i = 0; i < fens.size(); i++) {
        board.set(fens[i]);
        ASSERT_EQ(board.eval(), cold[i]) << fens[i];
    }
}

TEST(EvalCache, CachedScoreSurvivesAnOverwrittenPawnEntry) {
    evalBoard board;
    board.set("r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R b KQ - 0 1");
    const int first = board.eval();
    pawnTableEntryStruct& entry = board.pawnTable[board.pos->pawnKingKey & (PAWNTABLESIZE - 1)];
    ASSERT_EQ(entry.key, board.pos->pawnKingKey);
    entry = pawnTableEntryStruct{entry.key ^ 1, 0, S(999, 999)};
    EXPECT_EQ(board.eval(), first);
}

TEST(EvalIncremental, SumsMatchTheBoardThroughPerftTrees) {
    evalBoard board;
    const std::vector<std::string> fens = perftSuiteFens();
    ASSERT_FALSE(fens.empty());
    for (size_t i = 0; i < fens.size(); i++) {
        board.set(fens[i]);
        expectSums(board.pos.get(), fens[i]);
        walkTree(0, i < 12 ? 3 : 2, board.pos.get(), fens[i]);
        if (HasFatalFailure()) return;
    }
}

TEST(EvalIncremental, SquareTablesAreReadFromEachSidesView) {
    evalBoard board;
    board.set("8/8/8/8/8/8/8/K6k w - - 0 1");
    EXPECT_EQ(board.pos->psqScore[WHITE], pieceSquareScore[5][56]);
    EXPECT_EQ(board.pos->psqScore[BLACK], pieceSquareScore[5][7]);
    board.set(fenStartPos);
    EXPECT_EQ(board.pos->phase, 6952);
    EXPECT_EQ(board.pos->psqScore[WHITE], board.pos->psqScore[BLACK]);
}

TEST(EvalExamples, PackedScoresSplitBackIntoTheirParts) {
    EXPECT_EQ(S(0, -1), -65536);
    EXPECT_EQ(S(-10, -5), -327690);
    for (int mg = -2000; mg <= 2000; mg += 37)
        for (int eg = -2000; eg <= 2000; eg += 41) {
            const int sum = S(mg, eg) + S(-7, 3) - 2 * S(5, -9);
            ASSERT_EQ(mgScore(sum), mg - 17);
            ASSERT_EQ(egScore(sum), eg + 21);
        }
}

TEST(EvalExamples, PawnlessDraws) {
    evalBoard board;
    for (const char* fen : {"8/8/4k3/8/8/2n5/8/3BK3 w - - 0 1", "8/8/4k3/8/8/2n5/8/3BK3 b - - 0 1",
                            "3rk3/8/8/8/8/8/8/4KR2 w - - 0 1", "8/8/4k3/8/8/8/8/4K3 b - - 0 1",
                            "8/8/4k3/8/8/8/8/3NK3 w - - 0 1"}) {
        board.set(fen);
        EXPECT_EQ(board.eval(), 0) << fen;
        // Draws are not cached.
        EXPECT_NE(board.evalCache[board.pos->hashKey & (EVALCACHESIZE - 1)].key, board.pos->hashKey) << fen;
    }
    // Two knights, a rook against a minor, or a pawn more are not taken as draws.
    for (const char* fen : {"8/8/4k3/8/8/8/8/2NNK3 w - - 0 1", "3nk3/8/8/8/8/8/8/4KR2 w - - 0 1",
                            "3rk3/8/8/8/8/8/P7/4KR2 w - - 0 1"}) {
        board.set(fen);
        const int score = board.eval();
        EXPECT_GT(score, 0) << fen;
        EXPECT_EQ(board.evalCache[board.pos->hashKey & (EVALCACHESIZE - 1)].key, board.pos->hashKey) << fen;
        EXPECT_EQ(score, blendScore(evaluatePacked(board.pos.get()), board.pos->phase)) << fen;
    }
}

TEST(EvalExamples, PhaseIsClampedBothWays) {
    const int packed = S(100, -50);
    EXPECT_EQ(blendScore(packed, 6952), 100);
    EXPECT_EQ(blendScore(packed, PHASEMAX), 100);
    EXPECT_EQ(blendScore(packed, PHASEMIN), -50);
    EXPECT_EQ(blendScore(packed, 0), -50);
    EXPECT_EQ(blendScore(packed, (PHASEMIN + PHASEMAX) / 2), 25);
    // Truncation toward zero, not down.
    EXPECT_EQ(blendScore(S(-3, 0), 2000), 0);
    EXPECT_EQ(blendScore(S(-3000, 0), 2000), -3000 * 1501 / 5692);

    evalBoard board;
    board.set("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(-board.eval(), mgScore(evaluatePacked(board.pos.get())));
    board.set("8/5k2/1p3p2/8/3PP3/8/5K2/8 w - - 0 1");
    EXPECT_EQ(board.eval(), egScore(evaluatePacked(board.pos.get())));
}

TEST(EvalExamples, PinnedKnightHasNoMobility) {
    evalBoard board;
    board.set("4r1k1/8/8/8/4N3/8/8/4K3 w - - 0 1");
    evalTermsStruct terms = board.terms();
    EXPECT_EQ(terms.mobility[WHITE], EVALMOBILITYKNIGHT[0]);
    EXPECT_EQ(terms.pins[WHITE], EVALPINNED[0][0]);
    // Attacked by a pawn as well.
    board.set("4r1k1/8/8/3p4/4N3/8/8/4K3 w - - 0 1");
    terms = board.terms();
    EXPECT_EQ(terms.mobility[WHITE], EVALMOBILITYKNIGHT[0]);
    EXPECT_EQ(terms.pins[WHITE], EVALPINNED[1][0]);
    // Off the line it reaches all eight squares.
    board.set("3r2k1/8/8/8/4N3/8/8/4K3 w - - 0 1");
    terms = board.terms();
    EXPECT_EQ(terms.mobility[WHITE], EVALMOBILITYKNIGHT[8]);
    EXPECT_EQ(terms.pins[WHITE], 0);
}

// The same king and the same sliders give pinned men of the king's side and discovering men of
// the sliders' side; a line with two men between gives neither. Both colours.
TEST(EvalExamples, PinsAndDiscoveriesOnOneKingsLines) {
    evalBoard board;
    for (bool flip : {false, true}) {
        const int slider = flip ? BLACK : WHITE, king = slider ^ 1;
        board.set("4k3/3n4/8/1B6/4N3/8/8/4R2K w - - 0 1");
        if (flip) board.set(toFen(board.pos.get(), 0, true));
        evalTermsStruct terms = board.terms();
        EXPECT_EQ(terms.pins[slider], EVALDISCOVERY[0]) << flip; // the knight in front of the rook
        EXPECT_EQ(terms.pins[king], EVALPINNED[0][0]) << flip;   // the knight in front of the bishop
        board.set("4k3/3n4/4p3/1B6/4N3/8/8/4R2K w - - 0 1");
        if (flip) board.set(toFen(board.pos.get(), 0, true));
        terms = board.terms();
        EXPECT_EQ(terms.pins[slider], 0) << flip;
        EXPECT_EQ(terms.pins[king], EVALPINNED[0][0]) << flip;
    }
}

TEST(EvalExamples, ShelterIsHalvedWithoutAnEnemyQueen) {
    evalBoard board;
    board.set("4k3/8/8/3P4/3K4/8/8/8 w - - 0 1");
    EXPECT_EQ(board.terms().shelter[WHITE], S(-3, 0));
    board.set("q3k3/8/8/3P4/3K4/8/8/8 w - - 0 1");
    EXPECT_EQ(board.terms().shelter[WHITE], S(-7, 0));
    // Only the pawn nearest the own side counts on each file.
    const int castled = EVALPAWNSHIELD[13 ^ 56] + EVALPAWNSHIELD[14 ^ 56] + EVALPAWNSHIELD[15 ^ 56];
    board.set("q3k3/8/8/8/8/8/5PPP/6K1 w - - 0 1");
    EXPECT_EQ(board.terms().shelter[WHITE], castled);
    board.set("q3k3/8/8/8/8/6P1/5PPP/6K1 w - - 0 1");
    EXPECT_EQ(board.terms().shelter[WHITE], castled);
    board.set("6k1/5ppp/8/8/8/8/8/Q3K3 b - - 0 1");
    EXPECT_EQ(board.terms().shelter[BLACK], castled);
}

TEST(EvalExamples, TempoSeparatesTheTwoSidesToMove) {
    evalBoard board;
    const char* placement = "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R";
    board.set(std::string(placement) + " w KQ - 0 1");
    const int whitePacked = evaluatePacked(board.pos.get());
    const int whiteToMove = board.eval();
    const int phase = board.pos->phase;
    board.set(std::string(placement) + " b KQ - 0 1");
    const int blackPacked = evaluatePacked(board.pos.get());
    const int blackToMove = board.eval();
    EXPECT_EQ(whitePacked - blackPacked, 2 * EVALTEMPO);
    EXPECT_NEAR(whiteToMove + blackToMove, blendScore(2 * EVALTEMPO, phase), 1);
    EXPECT_NE(whiteToMove + blackToMove, 0);
}

TEST(EvalTerms, RookFiles) {
    evalBoard board;
    board.set("4k3/8/8/8/8/8/8/3RK3 w - - 0 1");
    EXPECT_EQ(board.terms().placement[WHITE], EVALROOKONOPEN[1]);
    board.set("4k3/8/3p4/8/8/8/8/3RK3 w - - 0 1");
    EXPECT_EQ(board.terms().placement[WHITE], EVALROOKONOPEN[0]);
    board.set("4k3/8/3p4/8/8/3P4/8/3RK3 w - - 0 1");
    EXPECT_EQ(board.terms().placement[WHITE], 0);
}

TEST(EvalTerms, OutpostsAndMinorPlacement) {
    evalBoard board;
    // Knight on e5, defended by d4, four squares from its king.
    board.set("4k3/4p3/8/4N3/3P4/8/8/4K3 w - - 0 1");
    evalTermsStruct terms = board.terms();
    EXPECT_EQ(terms.outposts[WHITE], EVALOUTPOSTKNIGHT[1]);
    EXPECT_EQ(terms.placement[WHITE], 4 * EVALKINGDISTANCE);
    // A pawn on f7 can chase it away.
    board.set("4k3/5p2/8/4N3/3P4/8/8/4K3 w - - 0 1");
    EXPECT_EQ(board.terms().outposts[WHITE], 0);
    // Bishop on d5 defended by e4, which is blocked on the bishop's colour.
    board.set("4k3/8/8/3Bp3/4P3/8/8/4K3 w - - 0 1");
    terms = board.terms();
    EXPECT_EQ(terms.outposts[WHITE], EVALOUTPOSTBISHOP[1]);
    EXPECT_EQ(terms.placement[WHITE], 4 * EVALKINGDISTANCE + EVALBISHOPBLOCKEDPAWN);
}

TEST(EvalTerms, LonePassedPawn) {
    evalBoard board;
    // Kings on the same files and no pawn near them: the storm terms cancel.
    board.set("4k3/8/8/8/8/8/P7/4K3 w - - 0 1");
    const int expected = EVALPAWNPASSED[8 ^ 56] + 4 * EVALPAWNPASSEDDISTOWN[1] + 5 * EVALPAWNPASSEDDISTOTHER[1] +
                         EVALPAWNISOLATED[0];
    EXPECT_EQ(board.terms().pawns, expected);
    board.set("4k3/p7/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(board.terms().pawns, -expected);
}

TEST(EvalTerms, PawnStructureFromTheTables) {
    evalBoard board;
    // Doubled, isolated and passed on the a-file.
    board.set("4k3/8/8/8/8/P7/P7/4K3 w - - 0 1");
    EXPECT_EQ(board.terms().pawns,
              EVALPAWNPASSED[8 ^ 56] + 4 * EVALPAWNPASSEDDISTOWN[1] + 5 * EVALPAWNPASSEDDISTOTHER[1] +
                  EVALPAWNISOLATED[0] + EVALPAWNDOUBLED[0] + EVALPAWNPASSED[16 ^ 56] +
                  4 * EVALPAWNPASSEDDISTOWN[2] + 4 * EVALPAWNPASSEDDISTOTHER[2] + EVALPAWNISOLATED[0]);
    // b2 and c4 hold each other back: both isolated and backward on half-open files.
    board.set("4k3/8/8/8/2p5/8/1P6/4K3 w - - 0 1");
    EXPECT_EQ(board.terms().pawns,
              EVALPAWNISOLATED[1] + EVALPAWNBACKHALF[1] - EVALPAWNISOLATED[2] - EVALPAWNBACKHALF[2]);
    // b4 is a candidate (c4 beside it against c6 alone), backward, and both white pawns are neighbours.
    board.set("4k3/8/2p5/8/1PP5/8/8/4K3 w - - 0 1");
    EXPECT_EQ(board.terms().pawns, EVALPAWNPASSEDCANDIDATE[1][3] + EVALPAWNBACKHALF[1] + 2 * EVALPAWNNEIGHBOUR[3] -
                                       EVALPAWNISOLATED[2]);
    // Storms on the g-file with the kings on one wing: open, then blocked.
    board.set("6k1/8/8/8/6p1/8/6P1/6K1 w - - 0 1");
    EXPECT_EQ(board.terms().pawns, EVALPAWNSTORM[2][6][3] - EVALPAWNSTORM[2][6][6]);
    board.set("6k1/8/8/8/6p1/6P1/8/6K1 w - - 0 1");
    EXPECT_EQ(board.terms().pawns, EVALPAWNSTORM[3][6][3] - EVALPAWNSTORM[3][6][5]);
}

TEST(EvalTerms, KingDangerNeedsTwoAttackingUnits) {
    evalBoard board;
    // A lone rook near the king and no queen: no danger term at all.
    board.set("4k3/8/8/8/8/8/5r2/6K1 w - - 0 1");
    EXPECT_EQ(board.terms().kingDanger[WHITE], 0);
    // Queen and knight swarming the castled king.
    board.set("6k1/5ppp/8/8/4n3/7q/5PPP/6K1 w - - 0 1");
    const int danger = board.terms().kingDanger[WHITE];
    EXPECT_LT(mgScore(danger), 0);
    EXPECT_LE(egScore(danger), 0);
}
