#!/usr/bin/env python3
"""Calibration of the strength limit: Kestrune with UCI_LimitStrength at a rating E against
Debian's Stockfish limited to the same rating, under the fastchess match manager.

For each rating the engines play --games games (openings of a few random plies, each with both
colours) and the score of Kestrune is printed; a well calibrated limit scores about 50 %.

    bench/strength_vs_stockfish.py [--elo 1400 1800 2200] [--games 20] [--tc 10+0.1]
"""
import argparse
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time

from selfplay_fastchess import FASTCHESS, random_openings

HERE = os.path.dirname(os.path.abspath(__file__))
STOCKFISH = "/usr/games/stockfish"


def install_stockfish():
    if os.path.exists(STOCKFISH):
        return
    command = ["apt-get", "install", "-y", "stockfish"]
    if os.geteuid() != 0:
        command = ["sudo"] + command
    if subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        subprocess.run(command[:-3] + ["update"], stdout=subprocess.DEVNULL)
        subprocess.run(command, stdout=subprocess.DEVNULL)


def elo_of(score):
    score = min(max(score, 0.001), 0.999)
    return -400 * math.log10(1 / score - 1)


def match(engine, elo, games, tc, seed, fastchess):
    rounds = (games + 1) // 2
    with tempfile.TemporaryDirectory(prefix="kestrune-strength-") as folder:
        with open(os.path.join(folder, "openings.epd"), "w") as out:
            out.write("\n".join(random_openings(rounds, random.Random(seed))) + "\n")
        command = [fastchess,
                   "-engine", "cmd=" + engine, "name=kestrune", "option.UCI_LimitStrength=true",
                   "option.UCI_Elo=%d" % elo,
                   "-engine", "cmd=" + STOCKFISH, "name=stockfish", "option.UCI_LimitStrength=true",
                   "option.UCI_Elo=%d" % elo,
                   "-each", "tc=" + tc, "option.Hash=16", "option.Threads=1",
                   "-openings", "file=openings.epd", "format=epd", "order=sequential",
                   "-rounds", str(rounds), "-games", "2", "-concurrency", "1", "-pgnout", "file=games.pgn"]
        run = subprocess.run(command, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    finished = re.findall(r"^Finished game \d+ \((\S+) vs (\S+)\): (\S+) \{(.*)\}$", run.stdout, re.M)
    points, abnormal = 0.0, []
    for white, black, result, reason in finished:
        if result == "1/2-1/2":
            points += 0.5
        elif (result == "1-0") == (white == "kestrune"):
            points += 1
        if not re.match(r"(White|Black) mates|Draw by|.*adjudication", reason):
            abnormal.append(reason)
    return len(finished), points, abnormal


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", default=os.path.join(HERE, "..", "build", "kestrune"))
    parser.add_argument("--elo", type=int, nargs="+", default=[1400, 1800, 2200])
    parser.add_argument("--games", type=int, default=20)
    parser.add_argument("--tc", default="10+0.1")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--fastchess", default=FASTCHESS)
    args = parser.parse_args()
    if not os.path.exists(args.fastchess):
        print("no match manager at %s" % args.fastchess)
        sys.exit(2)
    install_stockfish()
    engine = os.path.abspath(args.engine)
    print("Kestrune and Stockfish both limited to the same rating, %d games each at %s" % (args.games, args.tc))
    print("%6s %6s %8s %8s %10s  %s" % ("elo", "games", "points", "score", "elo diff", "abnormal endings"))
    for elo in args.elo:
        started = time.monotonic()
        games, points, abnormal = match(engine, elo, args.games, args.tc, args.seed + elo, args.fastchess)
        score = points / games if games else 0
        print("%6d %6d %8.1f %7.1f%% %+10.0f  %s (%.0f s)" % (elo, games, points, 100 * score, elo_of(score),
                                                             ", ".join(abnormal) or "none", time.monotonic() - started),
              flush=True)


if __name__ == "__main__":
    main()
