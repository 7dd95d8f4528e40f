// Win/draw/loss and distance-to-zeroing probes of the Syzygy tables.
#pragma once

#include "tbcore.h"

// The prober's own position: men by colour and kind, no castling rights.
struct pos {
    u64 white, black;
    u64 kings, queens, rooks, bishops, knights, pawns;
    u8 rule50;
    u8 ep;    // square passed over by a pawn's double step, 0 when none
    u8 turn;  // 1 when white is to move
};

// A prober move: bits 0-5 to-square, 6-11 from-square, 12-14 promotion (1 queen, 2 rook,
// 3 bishop, 4 knight).
inline int move_to(u16 m) { return m & 0x3f; }
inline int move_from(u16 m) { return (m >> 6) & 0x3f; }
inline int move_promotes(u16 m) { return (m >> 12) & 0x7; }

constexpr int TB_MAX_MOVES = 256;

u64 calc_key(const pos* p, bool mirror);
void prt_str(const pos* p, char* str, bool mirror);

u16* gen_moves(const pos* p, u16* list);
u16* gen_captures(const pos* p, u16* list);
// Makes the move; false when it leaves the mover's king attacked.
bool do_move(pos* out, const pos* in, u16 move);
bool is_en_passant(const pos* p, u16 move);
bool is_capture(const pos* p, u16 move);
bool in_check(const pos* p);         // the side to move is in check
bool has_legal_move(const pos* p);

// Probes; *success is 0 when the tables cannot answer (see the values in tbprobe.cpp).
int probe_ab(const pos* p, int alpha, int beta, int* success);
int probe_wdl(const pos* p, int* success);
// Raw table distance; *exact (if given) tells whether the table keeps this result in plies
// rather than halved.
int probe_dtz_table(const pos* p, int wdl, int* success, bool* exact = nullptr);
// Whether the position's own DTZ table answers it with exact distances for this result.
bool dtz_stores_exact(const pos* p, int wdl);
int probe_dtz(const pos* p, int* success);
