#!/usr/bin/env python3
"""Self-play stress: many fast games of the engine against itself through UCI.

Each game starts two engine processes, plays a random opening of a few plies, then lets them
play on a clock with increment. A referee written here (its own legal-move generator, not the
engine's) checks every move. The run fails on any illegal move, crash (the process dies or
quits with a non-zero status), hang (no bestmove long after the clock ran out) or time forfeit
(the clock is kept here, from sending "go" to reading "bestmove").

    bench/selfplay.py [--games 200] [--concurrency 2] [--tc 1000+100] [--engine build/kestrune]
"""
import argparse
import concurrent.futures
import os
import random
import select
import subprocess
import sys
import threading
import time

# ---------------------------------------------------------------- referee

KNIGHT = [(1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2)]
KING = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]
ROOK = [(1, 0), (-1, 0), (0, 1), (0, -1)]
BISHOP = [(1, 1), (1, -1), (-1, 1), (-1, -1)]
START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def sq(f, r):
    return r * 8 + f


def name(s):
    return "abcdefgh"[s & 7] + str((s >> 3) + 1)


class Board:
    def __init__(self, fen=START):
        parts = fen.split()
        self.b = ["."] * 64
        for r, row in enumerate(parts[0].split("/")):
            f = 0
            for c in row:
                if c.isdigit():
                    f += int(c)
                else:
                    self.b[sq(f, 7 - r)] = c
                    f += 1
        self.white = parts[1] == "w"
        self.castle = "" if parts[2] == "-" else parts[2]
        self.ep = None if parts[3] == "-" else sq(ord(parts[3][0]) - 97, int(parts[3][1]) - 1)
        self.half = int(parts[4])
        self.history = [self.key()]

    def key(self):
        return ("".join(self.b), self.white, self.castle, self.ep)

    def fen(self, fullmove=1):
        rows = []
        for r in range(7, -1, -1):
            row, empty = "", 0
            for f in range(8):
                c = self.b[sq(f, r)]
                if c == ".":
                    empty += 1
                    continue
                row += (str(empty) if empty else "") + c
                empty = 0
            rows.append(row + (str(empty) if empty else ""))
        ep = name(self.ep) if self.ep is not None else "-"
        return "%s %s %s %s %d %d" % ("/".join(rows), "w" if self.white else "b", self.castle or "-", ep, self.half,
                                      fullmove)

    def own(self, c, white):
        return c != "." and c.isupper() == white

    def attacked(self, s, by_white):
        f, r = s & 7, s >> 3
        pawn = "P" if by_white else "p"
        dr = -1 if by_white else 1
        for df in (-1, 1):
            ff, rr = f + df, r + dr
            if 0 <= ff < 8 and 0 <= rr < 8 and self.b[sq(ff, rr)] == pawn:
                return True
        for steps, pieces, slide in ((KNIGHT, "N", False), (KING, "K", False), (ROOK, "RQ", True), (BISHOP, "BQ", True)):
            want = pieces if by_white else pieces.lower()
            for df, dr in steps:
                ff, rr = f + df, r + dr
                while 0 <= ff < 8 and 0 <= rr < 8:
                    c = self.b[sq(ff, rr)]
                    if c != ".":
                        if c in want:
                            return True
                        break
                    if not slide:
                        break
                    ff, rr = ff + df, rr + dr
        return False

    def king(self, white):
        return self.b.index("K" if white else "k")

    def in_check(self):
        return self.attacked(self.king(self.white), not self.white)

    def pseudo(self):
        w = self.white
        moves = []
        for s in range(64):
            c = self.b[s]
            if not self.own(c, w):
                continue
            f, r = s & 7, s >> 3
            p = c.upper()
            if p == "P":
                d = 1 if w else -1
                last = 7 if w else 0
                t = s + 8 * d
                if 0 <= t < 64 and self.b[t] == ".":
                    self.add_pawn(moves, s, t, last)
                    home = 1 if w else 6
                    if r == home and self.b[t + 8 * d] == ".":
                        moves.append((s, t + 8 * d, ""))
                for df in (-1, 1):
                    ff = f + df
                    if 0 <= ff < 8:
                        t = sq(ff, r + d)
                        if (self.b[t] != "." and not self.own(self.b[t], w)) or t == self.ep:
                            self.add_pawn(moves, s, t, last)
                continue
            steps = {"N": KNIGHT, "K": KING, "R": ROOK, "B": BISHOP, "Q": ROOK + BISHOP}[p]
            slide = p in "RBQ"
            for df, dr in steps:
                ff, rr = f + df, r + dr
                while 0 <= ff < 8 and 0 <= rr < 8:
                    t = sq(ff, rr)
                    if self.own(self.b[t], w):
                        break
                    moves.append((s, t, ""))
                    if self.b[t] != "." or not slide:
                        break
                    ff, rr = ff + df, rr + dr
        # Castling: rights, empty squares between, and no attacked square on the king's path.
        rank = 0 if w else 7
        k = sq(4, rank)
        if self.b[k] == ("K" if w else "k") and not self.attacked(k, not w):
            rook = "R" if w else "r"
            if ("K" if w else "k") in self.castle and self.b[sq(7, rank)] == rook and \
                    self.b[sq(5, rank)] == "." and self.b[sq(6, rank)] == "." and \
                    not self.attacked(sq(5, rank), not w) and not self.attacked(sq(6, rank), not w):
                moves.append((k, sq(6, rank), ""))
            if ("Q" if w else "q") in self.castle and self.b[sq(0, rank)] == rook and \
                    self.b[sq(1, rank)] == "." and self.b[sq(2, rank)] == "." and self.b[sq(3, rank)] == "." and \
                    not self.attacked(sq(3, rank), not w) and not self.attacked(sq(2, rank), not w):
                moves.append((k, sq(2, rank), ""))
        return moves

    @staticmethod
    def add_pawn(moves, s, t, last):
        if t >> 3 == last:
            for p in "qrbn":
                moves.append((s, t, p))
        else:
            moves.append((s, t, ""))

    def push(self, m):
        s, t, promo = m
        c = self.b[s]
        p = c.upper()
        capture = self.b[t] != "."
        if p == "P" and t == self.ep:
            self.b[t + (-8 if self.white else 8)] = "."
            capture = True
        if p == "K" and abs(t - s) == 2:
            rank = s >> 3
            if t > s:
                self.b[sq(5, rank)], self.b[sq(7, rank)] = self.b[sq(7, rank)], "."
            else:
                self.b[sq(3, rank)], self.b[sq(0, rank)] = self.b[sq(0, rank)], "."
        self.b[t] = c
        self.b[s] = "."
        if promo:
            self.b[t] = promo.upper() if self.white else promo
        self.ep = (s + t) // 2 if p == "P" and abs(t - s) == 16 else None
        for corner, right in ((0, "Q"), (7, "K"), (56, "q"), (63, "k"), (4, "KQ"), (60, "kq")):
            if s == corner or t == corner:
                for x in right:
                    self.castle = self.castle.replace(x, "")
        self.half = 0 if capture or p == "P" else self.half + 1
        self.white = not self.white
        self.history.append(self.key())

    def legal(self):
        result = []
        for m in self.pseudo():
            saved = (self.b[:], self.white, self.castle, self.ep, self.half)
            self.push(m)
            if not self.attacked(self.king(not self.white), self.white):
                result.append(m)
            self.b, self.white, self.castle, self.ep, self.half = saved
            self.history.pop()
        return result

    def parse(self, text):
        for m in self.legal():
            if name(m[0]) + name(m[1]) + m[2] == text:
                return m
        return None

    def insufficient(self):
        men = [c for c in self.b if c != "."]
        if len(men) == 2:
            return True
        return len(men) == 3 and any(c in "NBnb" for c in men)

    def outcome(self):
        """None while the game goes on, else (result, reason)."""
        if not self.legal():
            if self.in_check():
                return ("0-1" if self.white else "1-0", "checkmate")
            return ("1/2-1/2", "stalemate")
        if self.half >= 100:
            return ("1/2-1/2", "fifty moves")
        if self.history.count(self.history[-1]) >= 3:
            return ("1/2-1/2", "repetition")
        if self.insufficient():
            return ("1/2-1/2", "insufficient material")
        return None


def perft(board, depth):
    if depth == 0:
        return 1
    total = 0
    for m in board.legal():
        saved = (board.b[:], board.white, board.castle, board.ep, board.half)
        board.push(m)
        total += perft(board, depth - 1)
        board.b, board.white, board.castle, board.ep, board.half = saved
        board.history.pop()
    return total


# ---------------------------------------------------------------- engine process

class Engine:
    def __init__(self, path, threads, hash_mb):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, bufsize=0)
        self.pending = b""
        self.send("uci")
        self.wait_for("uciok", 10.0)
        self.send("setoption name Hash value %d" % hash_mb)
        self.send("setoption name Threads value %d" % threads)
        self.send("ucinewgame")
        self.send("isready")
        self.wait_for("readyok", 10.0)

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def read_line(self, deadline):
        """Next line, None on timeout; raises EOFError when the process has closed its output."""
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise EOFError()
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode(errors="replace").rstrip("\r")

    def wait_for(self, prefix, seconds):
        deadline = time.monotonic() + seconds
        while True:
            line = self.read_line(deadline)
            if line is None:
                raise TimeoutError(prefix)
            if line.startswith(prefix):
                return line

    def sched_ms(self):
        """(processor time, time spent runnable but waiting for a processor) of all the engine's
        threads so far, in milliseconds; (0, 0) where the kernel does not tell."""
        cpu = wait = 0
        task_dir = "/proc/%d/task" % self.proc.pid
        try:
            for task in os.listdir(task_dir):
                with open(os.path.join(task_dir, task, "schedstat")) as f:
                    fields = f.read().split()
                cpu += int(fields[0])
                wait += int(fields[1])
        except (OSError, IndexError, ValueError):
            pass
        return cpu // 1000000, wait // 1000000

    def quit(self):
        """Exit status after quit, or None when it does not end."""
        try:
            self.send("quit")
        except OSError:
            pass
        try:
            return self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


# ---------------------------------------------------------------- one game

HANG_MARGIN = 5.0  # seconds past the clock before a silent engine counts as hung


def play(index, args):
    rng = random.Random(args.seed * 100003 + index)
    threads = 1 + index % 2 if args.threads == 0 else args.threads
    base, inc = (int(x) for x in args.tc.split("+"))
    board = Board()
    moves = []
    for _ in range(rng.randint(args.min_opening, args.max_opening)):
        legal = board.legal()
        if not legal or board.outcome():
            break
        m = rng.choice(legal)
        board.push(m)
        moves.append(name(m[0]) + name(m[1]) + m[2])
    game = {"index": index, "threads": threads, "result": None, "reason": "", "plies": 0, "moves": moves,
            "illegal": 0, "crash": 0, "forfeit": 0, "hang": 0, "maxMs": 0}
    engines = [Engine(args.engine, threads, args.hash), Engine(args.engine, threads, args.hash)]
    clock = [base, base]  # ms, white and black
    try:
        while True:
            out = board.outcome()
            if out:
                game["result"], game["reason"] = out
                break
            if len(moves) >= args.max_plies:
                game["result"], game["reason"] = "1/2-1/2", "ply limit"
                break
            side = 0 if board.white else 1
            engine = engines[len(moves) % 2 if index % 2 == 0 else (len(moves) + 1) % 2]
            engine.send("position startpos moves " + " ".join(moves) if moves else "position startpos")
            sched_before = engine.sched_ms()
            start = time.monotonic()
            engine.send("go wtime %d btime %d winc %d binc %d" % (clock[0], clock[1], inc, inc))
            deadline = start + clock[side] / 1000.0 + HANG_MARGIN
            best = None
            try:
                while best is None:
                    line = engine.read_line(deadline)
                    if line is None:
                        break
                    if line.startswith("bestmove"):
                        best = line
            except EOFError:
                game["crash"] = 1
                game["result"], game["reason"] = ("0-1" if side == 0 else "1-0"), "crash"
                break
            used = int((time.monotonic() - start) * 1000)
            game["maxMs"] = max(game["maxMs"], used)
            if best is None:
                game["hang"] = 1
                game["result"], game["reason"] = ("0-1" if side == 0 else "1-0"), "hang"
                break
            if used > clock[side]:
                game["forfeit"] = 1
                game["result"] = "0-1" if side == 0 else "1-0"
                # Processor time and run-queue wait tell an engine that overran its budget (or
                # blocked) from a machine too loaded to give it the processor in time.
                sched_after = engine.sched_ms()
                game["reason"] = "time forfeit (%d ms used, %d ms left; %d ms on a processor, %d ms waiting for one; %d threads)" % (
                    used, clock[side], sched_after[0] - sched_before[0], sched_after[1] - sched_before[1], threads)
                break
            clock[side] += inc - used
            words = best.split()
            m = board.parse(words[1]) if len(words) > 1 else None
            if m is None:
                game["illegal"] = 1
                game["result"] = "0-1" if side == 0 else "1-0"
                game["reason"] = "illegal move '%s'" % best
                break
            board.push(m)
            moves.append(words[1])
    finally:
        for e in engines:
            status = e.quit()
            if status != 0 and not game["crash"]:
                game["crash"] = 1
                game["reason"] += " (exit status %s)" % status
    game["plies"] = len(moves)
    # White of the game is the first engine for even games, the second for odd ones.
    return game


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", default=os.path.join(here, "..", "build", "kestrune"))
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--concurrency", type=int, default=2)
    parser.add_argument("--tc", default="1000+100", help="base+increment in milliseconds")
    parser.add_argument("--threads", type=int, default=0, help="search threads; 0 alternates 1 and 2")
    parser.add_argument("--hash", type=int, default=16)
    parser.add_argument("--min-opening", type=int, default=4)
    parser.add_argument("--max-opening", type=int, default=8)
    parser.add_argument("--max-plies", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--self-check", action="store_true", help="check the referee's move generator and exit")
    args = parser.parse_args()

    if args.self_check:
        # Known node counts: the start position and a position full of castling, pins and en passant.
        cases = [(START, 3, 8902), ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 2, 2039),
                 ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 3, 2812),
                 ("r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 3, 9467)]
        ok = True
        for fen, depth, want in cases:
            got = perft(Board(fen), depth)
            print("perft %d %s: %d (want %d)" % (depth, fen, got, want))
            ok &= got == want
        sys.exit(0 if ok else 1)

    lock = threading.Lock()
    totals = {"games": 0, "illegal": 0, "crash": 0, "forfeit": 0, "hang": 0, "1-0": 0, "0-1": 0, "1/2-1/2": 0}
    reasons = {}
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.concurrency) as pool:
        for game in pool.map(lambda i: play(i, args), range(args.games)):
            with lock:
                totals["games"] += 1
                for k in ("illegal", "crash", "forfeit", "hang"):
                    totals[k] += game[k]
                totals[game["result"]] += 1
                reason = game["reason"].split(" (")[0].split(" '")[0]
                reasons[reason] = reasons.get(reason, 0) + 1
                bad = game["illegal"] or game["crash"] or game["forfeit"] or game["hang"]
                print("game %3d threads %d: %-7s %-22s %3d plies, longest move %4d ms%s" % (
                    game["index"], game["threads"], game["result"], game["reason"][:110], game["plies"], game["maxMs"],
                    ("\n  moves: " + " ".join(game["moves"])) if bad else ""), flush=True)
    print("games %d, illegal moves %d, crashes %d, time forfeits %d, hangs %d; white wins %d, black wins %d, draws %d; %.0f s"
          % (totals["games"], totals["illegal"], totals["crash"], totals["forfeit"], totals["hang"], totals["1-0"],
             totals["0-1"], totals["1/2-1/2"], time.monotonic() - started))
    print("endings: " + ", ".join("%s %d" % kv for kv in sorted(reasons.items())))
    sys.exit(1 if totals["illegal"] or totals["crash"] or totals["forfeit"] or totals["hang"] else 0)


if __name__ == "__main__":
    main()
