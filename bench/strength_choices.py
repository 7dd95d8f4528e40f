#!/usr/bin/env python3
"""How often the rating-limited engine plays the full engine's move.

Over positions from real games (tests/data/texel-sample.epd) the engine at full strength picks
its move with `go nodes N`; then, with UCI_LimitStrength on, the same position is searched at
each rating with the same command (the rating's own node budget applies when it is smaller).
Printed per rating: the share of moves equal to the full engine's, and the mean time per move.

    bench/strength_choices.py [--positions 2000] [--nodes 200000] [--elo 1000 1400 1800 2200 2400]
"""
import argparse
import os
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Engine:
    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def wait_for(self, prefix):
        for line in self.process.stdout:
            if line.startswith(prefix):
                return line.strip()
        raise RuntimeError("engine ended early")

    def best_move(self, fen, go):
        self.send("position fen " + fen)
        self.send(go)
        return self.wait_for("bestmove").split()[1]

    def quit(self):
        self.send("quit")
        self.process.wait()


def read_positions(count):
    fens = []
    with open(os.path.join(HERE, "..", "tests", "data", "texel-sample.epd")) as f:
        for line in f:
            words = line.split()
            if "c9" not in words:
                continue
            fens.append(" ".join(words[:words.index("c9")]))
            if len(fens) == count:
                break
    return fens


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", default=os.path.join(HERE, "..", "build", "kestrune"))
    parser.add_argument("--positions", type=int, default=2000)
    parser.add_argument("--nodes", type=int, default=200000)
    parser.add_argument("--elo", type=int, nargs="+", default=[1000, 1400, 1800, 2200, 2400])
    args = parser.parse_args()
    fens = read_positions(args.positions)
    go = "go nodes %d" % args.nodes

    engine = Engine(os.path.abspath(args.engine))
    engine.send("setoption name Hash value 16")
    reference = []
    for fen in fens:
        engine.send("ucinewgame")
        reference.append(engine.best_move(fen, go))
    engine.send("setoption name UCI_LimitStrength value true")
    print("%d positions, full strength at %s; with UCI_LimitStrength:" % (len(fens), go))
    print("%6s %12s %14s" % ("elo", "same move", "ms per move"))
    for elo in args.elo:
        engine.send("setoption name UCI_Elo value %d" % elo)
        same = 0
        started = time.monotonic()
        for fen, best in zip(fens, reference):
            engine.send("ucinewgame")
            same += engine.best_move(fen, go) == best
        ms = 1000 * (time.monotonic() - started) / len(fens)
        print("%6d %11.1f%% %14.1f" % (elo, 100.0 * same / len(fens), ms), flush=True)
    engine.quit()


if __name__ == "__main__":
    main()
