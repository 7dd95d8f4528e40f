#!/usr/bin/env python3
"""SPSA tuning of the network's search parameters in games under the fastchess match manager.

The engine built for tuning (make tune: build-tune/kestrune) lists the network's margins and
counts as "Tune ..." spin options. Each iteration perturbs every parameter at once by +c or -c
(a random sign each), plays game pairs of the engine with theta + c delta against theta - c delta
(both with Use NNUE on, genfens openings, each opening with both colours) and moves theta by
r c (wins - losses) delta, with the usual decaying steps (c_k = c / k^0.101, a_k = a / (A + k)^0.602,
A a tenth of the iterations; c and a chosen from the values wanted at the end: c_end, by default a
twentieth of the option's range, and r_end = a_end / c_end^2, by default 0.002).

Every iteration's theta goes to the log; the last line gives the values, rounded, in setoption's
words. The parameters tuned are all the engine lists, or those --params names.

    bench/spsa.py [--engine build-tune/kestrune] [--iterations 200] [--pairs 4] [--limit nodes=10000]
                  [--params "Tune LmpScale,Tune AspirationWindow"] [--log spsa.log] [--seed 1]
"""
import argparse
import math
import os
import random
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FASTCHESS = os.path.join(HERE, "..", "..", "shared", "tools", "fastchess", "fastchess")
OPTION = re.compile(r"^option name (Tune .+?) type spin default (-?\d+) min (-?\d+) max (-?\d+)$")


def tunable_options(engine):
    out = subprocess.run([engine], input="uci\nquit\n", capture_output=True, text=True, timeout=30).stdout
    params = []
    for line in out.splitlines():
        m = OPTION.match(line.strip())
        if m:
            params.append({"name": m.group(1), "value": float(m.group(2)),
                           "low": int(m.group(3)), "high": int(m.group(4))})
    return params


def openings(engine, count, seed):
    out = subprocess.run([engine, f"genfens {count} seed {seed} book None"], capture_output=True, text=True,
                         timeout=600).stdout
    return [line[len("info string genfens "):] for line in out.splitlines() if line.startswith("info string genfens ")]


def play(args, plus, minus, fens, workdir):
    """Game pairs of plus against minus; returns wins - losses of plus."""
    book = os.path.join(workdir, "openings.epd")
    with open(book, "w") as f:
        f.write("\n".join(fens) + "\n")
    limit = ["tc=inf", args.limit] if args.limit.startswith("nodes=") else [f"tc={args.limit}"]
    command = [args.fastchess,
               "-engine", f"cmd={args.engine}", "name=plus", *[f"option.{n}={v}" for n, v in plus.items()],
               "-engine", f"cmd={args.engine}", "name=minus", *[f"option.{n}={v}" for n, v in minus.items()],
               "-each", "proto=uci", "option.Hash=16", "option.Threads=1", "option.Use NNUE=true", *limit,
               "-openings", f"file={book}", "format=epd", "order=sequential",
               "-repeat", "-rounds", str(len(fens)), "-concurrency", str(args.concurrency),
               "-pgnout", f"file={os.path.join(workdir, 'games.pgn')}"]
    done = subprocess.run(command, cwd=workdir, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("fastchess failed:\n" + done.stdout[-2000:] + done.stderr[-2000:])
    pgn = open(os.path.join(workdir, "games.pgn")).read()
    os.remove(os.path.join(workdir, "games.pgn"))
    score = 0
    for white, black, result in re.findall(r'\[White "(\w+)"\]\s*\[Black "(\w+)"\]\s*\[Result "([^"]+)"\]', pgn):
        if result == "1-0":
            score += 1 if white == "plus" else -1
        elif result == "0-1":
            score += 1 if black == "plus" else -1
    return score


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engine", default=os.path.join(HERE, "..", "build-tune", "kestrune"))
    parser.add_argument("--fastchess", default=FASTCHESS)
    parser.add_argument("--iterations", type=int, default=200)
    parser.add_argument("--pairs", type=int, default=4, help="game pairs an iteration")
    parser.add_argument("--limit", default="nodes=10000", help="nodes=<n> or a time control such as 2+0.02")
    parser.add_argument("--concurrency", type=int, default=2)
    parser.add_argument("--params", default="", help="comma-separated option names (default: all)")
    parser.add_argument("--r-end", type=float, default=0.002)
    parser.add_argument("--log", default="")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    args.engine = os.path.abspath(args.engine)
    for path, what in ((args.engine, "the tuning engine (make tune)"), (args.fastchess, "fastchess")):
        if not os.access(path, os.X_OK):
            sys.exit(f"no {what} at {path}")

    params = tunable_options(args.engine)
    if not params:
        sys.exit(f"{args.engine} lists no Tune options: build it with make tune")
    if args.params:
        wanted = [name.strip() for name in args.params.split(",")]
        params = [p for p in params if p["name"] in wanted]
        if len(params) != len(wanted):
            sys.exit("unknown --params: " + ", ".join(set(wanted) - {p["name"] for p in params}))

    n = args.iterations
    big_a = 0.1 * n
    for p in params:
        c_end = max(1.0, (p["high"] - p["low"]) / 20)
        p["c"] = c_end * n ** 0.101
        p["a"] = args.r_end * c_end ** 2 * (big_a + n) ** 0.602
    rng = random.Random(args.seed)
    fens = openings(args.engine, n * args.pairs, args.seed)
    log = open(args.log, "a") if args.log else None
    with tempfile.TemporaryDirectory() as workdir:
        for k in range(1, n + 1):
            plus, minus, signs = {}, {}, []
            for p in params:
                ck = p["c"] / k ** 0.101
                sign = rng.choice((-1, 1))
                signs.append((sign, ck))
                plus[p["name"]] = min(p["high"], max(p["low"], round(p["value"] + ck * sign)))
                minus[p["name"]] = min(p["high"], max(p["low"], round(p["value"] - ck * sign)))
            batch = fens[(k - 1) * args.pairs:k * args.pairs]
            result = play(args, plus, minus, batch, workdir)
            for p, (sign, ck) in zip(params, signs):
                ak = p["a"] / (big_a + k) ** 0.602
                p["value"] = min(p["high"], max(p["low"], p["value"] + ak / ck * result * sign))
            line = f"iteration {k} result {result:+d} " + " ".join(
                f"{p['name'][5:]}={p['value']:.2f}" for p in params)
            print(line, flush=True)
            if log:
                print(line, file=log, flush=True)
    final = "; ".join(f"setoption name {p['name']} value {round(p['value'])}" for p in params)
    print("final: " + final)
    if log:
        print("final: " + final, file=log)


if __name__ == "__main__":
    main()
