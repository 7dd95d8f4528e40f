// Probes of the Syzygy tables on the prober's own small position.
//
// Values are from the side to move's view. WDL: -2 loss, -1 loss saved by the fifty-move rule,
// 0 draw, 1 win spoilt by the fifty-move rule, 2 win. DTZ: plies to the next zeroing move,
// positive for wins, negative for losses, beyond 100 in absolute value when the fifty-move rule
// turns the result. The success flag: 0 the tables cannot answer, 1 value from a table, 2 value
// decided by a capture, -1 (DTZ table only) the table stores the other side to move.

#include "tbprobe.h"

#include "moveTable.h"

static const int wdl_to_dtz[] = {-1, -101, 0, 101, 1};
static const int wdl_to_map[] = {1, 3, 0, 2, 0};
static const u8 pa_flags[] = {8, 0, 0, 0, 4};

static inline u64 bit(int s) { return u64(1) << s; }
static inline int pop_lsb(u64* b) {
    int s = __builtin_ctzll(*b);
    *b &= *b - 1;
    return s;
}
static inline int popcount(u64 b) { return __builtin_popcountll(b); }

u64 calc_key(const pos* p, bool mirror) {
    u64 side[2] = {p->white, p->black};
    const u64 kinds[5] = {p->queens, p->rooks, p->bishops, p->knights, p->pawns};
    u64 key = 0;
    for (int c = 0; c < 2; c++)
        for (int k = 0; k < 5; k++)
            key += u64(popcount(side[c ^ int(mirror)] & kinds[k])) * tb_material_keys[c][k];
    return key;
}

void prt_str(const pos* p, char* str, bool mirror) {
    static const char letters[] = "QRBNP";
    const u64 kinds[5] = {p->queens, p->rooks, p->bishops, p->knights, p->pawns};
    u64 side[2] = {mirror ? p->black : p->white, mirror ? p->white : p->black};
    for (int c = 0; c < 2; c++) {
        if (c) *str++ = 'v';
        *str++ = 'K';
        for (int k = 0; k < 5; k++)
            for (int n = popcount(side[c] & kinds[k]); n > 0; n--) *str++ = letters[k];
    }
    *str = 0;
}

// Men of a table piece code (type 1 pawn .. 6 king, plus 8 for the black side).
static u64 pieces_by_code(const pos* p, int code) {
    u64 colour = (code & 8) ? p->black : p->white;
    switch (code & 7) {
    case 1: return colour & p->pawns;
    case 2: return colour & p->knights;
    case 3: return colour & p->bishops;
    case 4: return colour & p->rooks;
    case 5: return colour & p->queens;
    case 6: return colour & p->kings;
    default: return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Moves

static bool attacked_by(const pos* p, int sq, bool by_white) {
    u64 them = by_white ? p->white : p->black;
    u64 occ = p->white | p->black;
    if (kingAttackTable[sq] & p->kings & them) return true;
    if (knightAttackTable[sq] & p->knights & them) return true;
    if (pawn_attacks_table[by_white ? 0 : 1][sq] & p->pawns & them) return true;
    if (rookAttacks(sq, occ) & (p->rooks | p->queens) & them) return true;
    if (bishopAttacks(sq, occ) & (p->bishops | p->queens) & them) return true;
    return false;
}

bool in_check(const pos* p) {
    u64 king = p->kings & (p->turn ? p->white : p->black);
    return king && attacked_by(p, __builtin_ctzll(king), !p->turn);
}

static inline u16* add_move(u16* list, int from, int to, int promotes = 0) {
    *list++ = u16(to | (from << 6) | (promotes << 12));
    return list;
}

static u16* gen(const pos* p, u16* list, bool captures_only) {
    u64 us = p->turn ? p->white : p->black;
    u64 them = p->turn ? p->black : p->white;
    u64 occ = p->white | p->black;
    u64 mask = captures_only ? them : ~us;

    for (u64 b = p->kings & us; b;) {
        int from = pop_lsb(&b);
        for (u64 t = kingAttackTable[from] & mask; t;) list = add_move(list, from, pop_lsb(&t));
    }
    for (u64 b = p->queens & us; b;) {
        int from = pop_lsb(&b);
        for (u64 t = queenAttacks(from, occ) & mask; t;) list = add_move(list, from, pop_lsb(&t));
    }
    for (u64 b = p->rooks & us; b;) {
        int from = pop_lsb(&b);
        for (u64 t = rookAttacks(from, occ) & mask; t;) list = add_move(list, from, pop_lsb(&t));
    }
    for (u64 b = p->bishops & us; b;) {
        int from = pop_lsb(&b);
        for (u64 t = bishopAttacks(from, occ) & mask; t;) list = add_move(list, from, pop_lsb(&t));
    }
    for (u64 b = p->knights & us; b;) {
        int from = pop_lsb(&b);
        for (u64 t = knightAttackTable[from] & mask; t;) list = add_move(list, from, pop_lsb(&t));
    }
    for (u64 b = p->pawns & us; b;) {
        int from = pop_lsb(&b);
        u64 attacks = pawn_attacks_table[p->turn][from];
        if (p->ep && (attacks & bit(p->ep))) list = add_move(list, from, p->ep);
        u64 targets = attacks & them;
        if (!captures_only) {
            int step = p->turn ? from + 8 : from - 8;
            if (step >= 0 && step < 64 && !(occ & bit(step))) {
                targets |= bit(step);
                int rank = from >> 3;
                int dbl = p->turn ? from + 16 : from - 16;
                if ((p->turn ? rank == 1 : rank == 6) && !(occ & bit(dbl))) targets |= bit(dbl);
            }
        }
        while (targets) {
            int to = pop_lsb(&targets);
            if ((to >> 3) == 0 || (to >> 3) == 7) {
                list = add_move(list, from, to, 1);  // queen, knight, rook, bishop
                list = add_move(list, from, to, 4);
                list = add_move(list, from, to, 2);
                list = add_move(list, from, to, 3);
            } else {
                list = add_move(list, from, to);
            }
        }
    }
    return list;
}

u16* gen_moves(const pos* p, u16* list) { return gen(p, list, false); }
u16* gen_captures(const pos* p, u16* list) { return gen(p, list, true); }

bool is_en_passant(const pos* p, u16 move) {
    return p->ep && move_to(move) == p->ep && (p->pawns & bit(move_from(move)));
}

bool is_capture(const pos* p, u16 move) {
    return ((p->white | p->black) & bit(move_to(move))) || is_en_passant(p, move);
}

bool do_move(pos* out, const pos* in, u16 move) {
    int from = move_from(move), to = move_to(move), promotes = move_promotes(move);
    u64 fromBB = bit(from), toBB = bit(to);
    bool capture = (in->white | in->black) & toBB;
    u64* boards[8] = {&out->white, &out->black, &out->kings, &out->queens,
                      &out->rooks, &out->bishops, &out->knights, &out->pawns};
    *out = *in;
    out->turn = in->turn ^ 1;
    out->ep = 0;
    for (u64* b : boards) *b = (*b & fromBB) ? (*b & ~fromBB) | toBB : *b & ~toBB;
    out->rule50 = capture ? 0 : u8(in->rule50 + 1);
    if (in->pawns & fromBB) {
        out->rule50 = 0;
        if (promotes) {
            out->pawns &= ~toBB;
            switch (promotes) {
            case 1: out->queens |= toBB; break;
            case 2: out->rooks |= toBB; break;
            case 3: out->bishops |= toBB; break;
            default: out->knights |= toBB; break;
            }
        } else if ((from ^ to) == 16) {
            int passed = (from + to) / 2;
            u64 enemy_pawns = in->pawns & (in->turn ? in->black : in->white);
            if (pawn_attacks_table[in->turn][passed] & enemy_pawns) out->ep = u8(passed);
        } else if (in->ep && to == in->ep) {
            u64 captured = bit(in->turn ? to - 8 : to + 8);
            out->pawns &= ~captured;
            out->white &= ~captured;
            out->black &= ~captured;
        }
    }
    u64 king = out->kings & (in->turn ? out->white : out->black);
    if (!king) return false;
    return !attacked_by(out, __builtin_ctzll(king), !in->turn);
}

bool has_legal_move(const pos* p) {
    u16 moves[TB_MAX_MOVES];
    u16* end = gen_moves(p, moves);
    pos child;
    for (u16* m = moves; m < end; m++)
        if (do_move(&child, p, *m)) return true;
    return false;
}

// Whether the side to move has a legal move other than an en-passant capture.
static bool has_legal_non_ep_move(const pos* p) {
    u16 moves[TB_MAX_MOVES];
    u16* end = gen_moves(p, moves);
    pos child;
    for (u16* m = moves; m < end; m++)
        if (!is_en_passant(p, *m) && do_move(&child, p, *m)) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Table look-ups

struct Orientation {
    int bside;    // sub-table side
    int cmirror;  // 8 when colours are swapped
    int mirror;   // 0x38 when squares are rank-mirrored (pawn tables only)
};

static Orientation orient(const TBEntry* entry, u64 key, const pos* p) {
    if (entry->symmetric) return {0, p->turn ? 0 : 8, p->turn ? 0 : 0x38};
    if (entry->key == key) return {p->turn ? 0 : 1, 0, 0};
    return {p->turn ? 1 : 0, 8, 0x38};
}

// Squares of the men in the sub-table's order; false when the position's men do not fit it.
static bool list_squares(const pos* p, const u8* pieces, int from, int num, int cmirror, int mirror, int* sq) {
    for (int i = from; i < num;) {
        u64 bb = pieces_by_code(p, pieces[i] ^ cmirror);
        if (!bb) return false;
        while (bb && i < num) sq[i++] = pop_lsb(&bb) ^ mirror;
    }
    return true;
}

// Index of the position in a pawn table; *file receives the pawn file.
static u64 pawn_index(const pos* p, int lead, const EncInfo* files, int stride, const u8* pawns, int num,
                      const Orientation& o, int* file, const EncInfo** ei) {
    int sq[TBPIECES];
    u64 bb = pieces_by_code(p, lead ^ o.cmirror);
    int i = 0;
    while (bb && i < num) sq[i++] = pop_lsb(&bb) ^ o.mirror;
    if (i != pawns[0]) return ~u64(0);
    *file = pawn_file(sq, i);
    *ei = &files[*file * stride];
    if (!(*ei)->precomp || !list_squares(p, (*ei)->pieces, i, num, o.cmirror, o.mirror, sq)) return ~u64(0);
    return encode_pawn(pawns, num, (*ei)->norm, sq, (*ei)->factor);
}

static int probe_wdl_table(const pos* p, int* success) {
    // Bare kings are a draw; there is no table for them.
    if (!((p->white | p->black) & ~p->kings)) return 0;
    u64 key = calc_key(p, false);
    TBHashEntry* slot = tb_find(key);
    if (!slot) {
        *success = 0;
        return 0;
    }
    TBEntry* entry = slot->ptr;
    if (!entry->ready.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(TB_MUTEX);
        if (!entry->ready.load(std::memory_order_relaxed)) {
            char str[16];
            prt_str(p, str, entry->key != key);
            if (!init_table_wdl(entry, str)) {
                slot->key.store(0, std::memory_order_relaxed);
                *success = 0;
                return 0;
            }
            entry->ready.store(1, std::memory_order_release);
        }
    }

    Orientation o = orient(entry, key, p);
    int num = entry->num;
    int res;
    if (!entry->has_pawns) {
        const TBEntry_piece* e = static_cast<const TBEntry_piece*>(entry);
        const EncInfo* ei = &e->ei[o.bside];
        int sq[TBPIECES];
        if (!ei->precomp || !list_squares(p, ei->pieces, 0, num, o.cmirror, 0, sq)) {
            *success = 0;
            return 0;
        }
        res = decompress_pairs(ei->precomp, encode_piece(e->enc_type, num, ei->norm, sq, ei->factor));
    } else {
        const TBEntry_pawn* e = static_cast<const TBEntry_pawn*>(entry);
        int file;
        const EncInfo* ei = nullptr;
        u64 idx = pawn_index(p, e->ei[0][0].pieces[0], &e->ei[0][o.bside], 2, e->pawns, num, o, &file, &ei);
        res = ei && ei->precomp ? decompress_pairs(ei->precomp, idx) : -1;
    }
    if (res < 0 || res > 4) {
        *success = 0;
        return 0;
    }
    return res - 2;
}

static TBEntry* load_dtz(const pos* p, u64 key) {
    TBHashEntry* slot = tb_find(key);
    if (!slot) return nullptr;
    TBEntry* wdl = slot->ptr;
    bool mirror = wdl->key != key;
    char str[16];
    prt_str(p, str, mirror);

    free_dtz_entry(DTZ_table[DTZ_ENTRIES - 1].entry);
    for (int i = DTZ_ENTRIES - 1; i > 0; i--) DTZ_table[i] = DTZ_table[i - 1];
    DTZ_table[0] = DTZTableEntry{calc_key(p, mirror), calc_key(p, !mirror), nullptr};

    TBEntry* entry;
    if (wdl->has_pawns) {
        DTZEntry_pawn* e = new DTZEntry_pawn();
        e->pawns[0] = static_cast<TBEntry_pawn*>(wdl)->pawns[0];
        e->pawns[1] = static_cast<TBEntry_pawn*>(wdl)->pawns[1];
        entry = e;
    } else {
        DTZEntry_piece* e = new DTZEntry_piece();
        e->enc_type = static_cast<TBEntry_piece*>(wdl)->enc_type;
        entry = e;
    }
    entry->data = nullptr;
    entry->mapped_size = 0;
    entry->key = wdl->key;
    entry->num = wdl->num;
    entry->symmetric = wdl->symmetric;
    entry->has_pawns = wdl->has_pawns;
    entry->ready.store(1, std::memory_order_relaxed);
    if (!init_table_dtz(entry, str)) {
        free_dtz_entry(entry);
        return nullptr;
    }
    DTZ_table[0].entry = entry;
    return entry;
}

int probe_dtz_table(const pos* p, int wdl, int* success, bool* exact) {
    u64 key = calc_key(p, false);
    int i;
    for (i = 0; i < DTZ_ENTRIES; i++)
        if (DTZ_table[i].key1 == key || DTZ_table[i].key2 == key) break;
    TBEntry* entry;
    if (i < DTZ_ENTRIES && key != 0) {
        DTZTableEntry hit = DTZ_table[i];
        for (; i > 0; i--) DTZ_table[i] = DTZ_table[i - 1];
        DTZ_table[0] = hit;
        entry = hit.entry;
    } else {
        entry = load_dtz(p, key);
    }
    if (!entry) {
        *success = 0;
        return 0;
    }

    Orientation o = orient(entry, key, p);
    int num = entry->num;
    int res;
    u8 flags;
    const u8* map;
    const u16* map_idx;
    if (!entry->has_pawns) {
        const DTZEntry_piece* e = static_cast<const DTZEntry_piece*>(entry);
        flags = e->flags;
        if ((flags & 1) != o.bside && !e->symmetric) {
            *success = -1;
            return 0;
        }
        int sq[TBPIECES];
        if (!list_squares(p, e->ei.pieces, 0, num, o.cmirror, 0, sq)) {
            *success = 0;
            return 0;
        }
        res = decompress_pairs(e->ei.precomp, encode_piece(e->enc_type, num, e->ei.norm, sq, e->ei.factor));
        map = e->map;
        map_idx = e->map_idx;
    } else {
        const DTZEntry_pawn* e = static_cast<const DTZEntry_pawn*>(entry);
        int sq[TBPIECES];
        u64 bb = pieces_by_code(p, e->ei[0].pieces[0] ^ o.cmirror);
        int n = 0;
        while (bb && n < num) sq[n++] = pop_lsb(&bb) ^ o.mirror;
        if (n != e->pawns[0]) {
            *success = 0;
            return 0;
        }
        int f = pawn_file(sq, n);
        flags = e->flags[f];
        // A symmetric table needs no side: its first side is always the side to move.
        if ((flags & 1) != o.bside && !e->symmetric) {
            *success = -1;
            return 0;
        }
        if (!list_squares(p, e->ei[f].pieces, n, num, o.cmirror, o.mirror, sq)) {
            *success = 0;
            return 0;
        }
        res = decompress_pairs(e->ei[f].precomp, encode_pawn(e->pawns, num, e->ei[f].norm, sq, e->ei[f].factor));
        map = e->map;
        map_idx = e->map_idx[f];
    }
    if (res < 0) {
        *success = 0;
        return 0;
    }
    if (flags & 2) {
        int start = map_idx[wdl_to_map[wdl + 2]];
        if (res >= map[start - 1]) {  // the map's length byte precedes its values
            *success = 0;
            return 0;
        }
        res = map[start + res];
    }
    bool stored_exact = (flags & pa_flags[wdl + 2]) && !(wdl & 1);
    if (exact) *exact = stored_exact;
    if (!stored_exact) res *= 2;
    *success = 1;
    return res;
}

bool dtz_stores_exact(const pos* p, int wdl) {
    int success = 1;
    bool exact = false;
    probe_dtz_table(p, wdl, &success, &exact);
    return success > 0 && exact;
}

// ---------------------------------------------------------------------------------------------
// Probes

int probe_ab(const pos* p, int alpha, int beta, int* success) {
    u16 moves[TB_MAX_MOVES];
    u16* end = gen_captures(p, moves);
    pos child;
    for (u16* m = moves; m < end; m++) {
        if (is_en_passant(p, *m)) continue;
        if (!do_move(&child, p, *m)) continue;
        int v = -probe_ab(&child, -beta, -alpha, success);
        if (*success == 0) return 0;
        if (v > alpha) {
            if (v >= beta) {
                *success = 2;
                return v;
            }
            alpha = v;
        }
    }
    int v = probe_wdl_table(p, success);
    if (*success == 0) return 0;
    if (alpha >= v) {
        *success = 1 + (alpha > 0);
        return alpha;
    }
    *success = 1;
    return v;
}

// Best value of the legal en-passant captures, -3 when there is none.
static int best_ep_capture(const pos* p, int* success) {
    int best = -3;
    if (!p->ep) return best;
    u64 us = p->turn ? p->white : p->black;
    pos child;
    for (u64 b = pawn_attacks_table[p->turn ^ 1][p->ep] & p->pawns & us; b;) {
        int from = pop_lsb(&b);
        if (!do_move(&child, p, u16(p->ep | (from << 6)))) continue;
        int v = -probe_ab(&child, -2, 2, success);
        if (*success == 0) return 0;
        if (v > best) best = v;
    }
    return best;
}

int probe_wdl(const pos* p, int* success) {
    *success = 1;
    int v = probe_ab(p, -2, 2, success);
    if (*success == 0) return 0;
    if (!p->ep) return v;
    int w = best_ep_capture(p, success);
    if (*success == 0) return 0;
    if (w == -3) return v;
    if (w >= v) return w;
    if (v != 0) return v;
    // A draw by the table, but the en-passant capture loses: it counts only when forced.
    return has_legal_non_ep_move(p) ? 0 : w;
}

static int probe_dtz_no_ep(const pos* p, int* success) {
    int wdl = probe_ab(p, -2, 2, success);
    if (wdl == 0) return 0;
    if (*success == 2) return wdl == 2 ? 1 : 101;

    u16 moves[TB_MAX_MOVES];
    u16* end = gen_moves(p, moves);
    pos child;
    if (wdl > 0) {
        // A pawn move that keeps the win zeroes the count at once.
        for (u16* m = moves; m < end; m++) {
            if (!(p->pawns & bit(move_from(*m))) || is_capture(p, *m)) continue;
            if (!do_move(&child, p, *m)) continue;
            int v = child.ep ? -probe_wdl(&child, success) : -probe_ab(&child, -2, -wdl + 1, success);
            if (*success == 0) return 0;
            if (v == wdl) return wdl == 2 ? 1 : 101;
        }
    }

    int dtz = 1 + probe_dtz_table(p, wdl, success);
    if (*success >= 0) {
        if (wdl & 1) dtz += 100;
        return wdl >= 0 ? dtz : -dtz;
    }

    // The table holds the other side to move: look one ply ahead.
    if (wdl > 0) {
        int best = 0xffff;
        for (u16* m = moves; m < end; m++) {
            if (!do_move(&child, p, *m) || child.rule50 == 0) continue;
            // A mate ends the game at once, one ply from here whichever side the table holds.
            if (in_check(&child) && !has_legal_move(&child)) {
                best = 1;
                break;
            }
            int d = probe_dtz(&child, success);
            if (*success == 0) return 0;
            if (d < 0 && 1 - d < best) best = 1 - d;
        }
        // A damaged table can leave no winning move; then the tables cannot answer.
        if (best == 0xffff) {
            *success = 0;
            return 0;
        }
        *success = 1;
        return best;
    }
    int best = -1;
    for (u16* m = moves; m < end; m++) {
        if (!do_move(&child, p, *m)) continue;
        int v;
        if (child.rule50 == 0) {
            if (wdl == -2) {
                v = -1;
            } else {
                v = probe_ab(&child, 1, 2, success) == 2 ? 0 : -101;
            }
        } else {
            v = -probe_dtz(&child, success) - 1;
        }
        if (*success == 0) return 0;
        if (v < best) best = v;
    }
    *success = 1;
    return best;
}

int probe_dtz(const pos* p, int* success) {
    *success = 1;
    int r = probe_dtz_no_ep(p, success);
    if (*success == 0) return 0;
    if (!p->ep) return r;
    int saved = *success;
    int w = best_ep_capture(p, success);
    if (*success == 0) return 0;
    *success = saved;
    if (w == -3) return r;
    int e = wdl_to_dtz[w + 2];
    if (r < -100) return e >= 0 ? e : r;
    if (r < 0) return e >= 0 || e < -100 ? e : r;
    if (r > 100) return e > 0 ? e : r;
    if (r > 0) return e == 1 ? e : r;
    if (e >= 0) return e;
    return has_legal_non_ep_move(p) ? r : e;
}
