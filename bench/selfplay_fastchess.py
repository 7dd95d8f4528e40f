#!/usr/bin/env python3
"""Self-play stress under the fastchess match manager, a strict UCI client with its own referee.

The engine with one search thread plays the engine with two, one game at a time, from random
openings of a few plies (each opening with both colours). The manager adjudicates illegal
moves, crashes, stalls and time losses; every game must end normally (mate, stalemate,
repetition, the fifty-move rule or insufficient material).

    bench/selfplay_fastchess.py [--games 200] [--tc 1+0.01] [--engine build/kestrune] [--nnue [file]]

--nnue plays both sides with the network on (the built-in one, or the file named).
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time

from selfplay import Board

HERE = os.path.dirname(os.path.abspath(__file__))
FASTCHESS = os.path.join(HERE, "..", "..", "shared", "tools", "fastchess", "fastchess")


def random_openings(count, rng, min_plies=4, max_plies=8):
    fens = []
    while len(fens) < count:
        board = Board()
        plies = rng.randint(min_plies, max_plies)
        for _ in range(plies):
            legal = board.legal()
            if not legal or board.outcome():
                break
            board.push(rng.choice(legal))
        if board.legal() and not board.outcome():
            fens.append(board.fen(1 + plies // 2))
    return fens


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", default=os.path.join(HERE, "..", "build", "kestrune"))
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--tc", default="1+0.01", help="seconds+increment, as the manager reads it")
    parser.add_argument("--hash", type=int, default=16)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--fastchess", default=FASTCHESS)
    parser.add_argument("--nnue", nargs="?", const="<internal>", default=None,
                        help="both sides evaluate with the network (the built-in one, or this file)")
    args = parser.parse_args()
    if not os.path.exists(args.fastchess):
        print("no match manager at %s" % args.fastchess)
        sys.exit(2)

    engine = os.path.abspath(args.engine)
    rounds = (args.games + 1) // 2
    network = []
    if args.nnue is not None:
        network = ["option.Use NNUE=true"]
        if args.nnue != "<internal>":
            network.append("option.EvalFile=" + os.path.abspath(args.nnue))
    with tempfile.TemporaryDirectory(prefix="kestrune-fastchess-") as folder:
        with open(os.path.join(folder, "openings.epd"), "w") as out:
            out.write("\n".join(random_openings(rounds, random.Random(args.seed))) + "\n")
        command = [args.fastchess,
                   "-engine", "cmd=" + engine, "name=threads1", "option.Threads=1",
                   "-engine", "cmd=" + engine, "name=threads2", "option.Threads=2",
                   "-each", "tc=" + args.tc, "option.Hash=%d" % args.hash,
                   *network,
                   "-openings", "file=openings.epd", "format=epd", "order=sequential",
                   "-rounds", str(rounds), "-games", "2", "-concurrency", "1",
                   "-pgnout", "file=games.pgn"]
        started = time.monotonic()
        run = subprocess.run(command, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        elapsed = time.monotonic() - started
        with open(os.path.join(folder, "games.pgn")) as f:
            pgn = f.read()

    finished = re.findall(r"^Finished game \d+ \((\S+) vs (\S+)\): (\S+) \{(.*)\}$", run.stdout, re.M)
    terminations = re.findall(r'\[Termination "([^"]*)"\]', pgn)
    endings, results = {}, {}
    for _, _, result, reason in finished:
        endings[reason] = endings.get(reason, 0) + 1
        results[result] = results.get(result, 0) + 1
    abnormal = [t for t in terminations if t != "normal"]
    for white, black, result, reason in finished:
        if not re.match(r"(White|Black) mates|Draw by (3-fold|fifty|insufficient|stalemate)", reason):
            print("abnormal: %s vs %s %s {%s}" % (white, black, result, reason))
    print("games %d (of %d), abnormal terminations %d (%s); results %s; %.0f s" % (
        len(finished), args.games, len(abnormal), ", ".join(sorted(set(abnormal))) or "none",
        ", ".join("%s %d" % kv for kv in sorted(results.items())), elapsed))
    print("endings: " + ", ".join("%s %d" % kv for kv in sorted(endings.items())))
    score = run.stdout.rfind("Results of")
    if score >= 0:
        print(run.stdout[score:].split("----")[0].strip())
    bad = abnormal or len(finished) != rounds * 2 or run.returncode != 0
    if bad:
        print(run.stdout[-3000:])
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
