#!/usr/bin/env python3
"""How each engine of a match spent its clock, read from the fastchess game record.

For every engine: the mean time a move took by stage of the game (own moves 1-10, 11-20, ...), the
share of the whole budget (base time plus the increments of the moves it played) that it used, the
time left on its clock at the end of each game (mean and lowest) and the lowest point its clock
reached in any game, and the games it lost on time. The clock follows fastchess's rule: the
increment is added after each move.

    bench/clock_use.py games.pgn [more.pgn ...]
"""
import os
import re
import sys
from collections import defaultdict

TAG = re.compile(r'^\[(\w+) "(.*)"\]')
MOVE_TIME = re.compile(r'\{[^}]*?(\d+(?:\.\d+)?)s\}')
STAGES = [(1, 10), (11, 20), (21, 30), (31, 40), (41, 60), (61, 10**6)]


def games(paths):
    for path in paths:
        tags, text = {}, []
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = TAG.match(line)
                if m:
                    if text:
                        yield tags, " ".join(text)
                        tags, text = {}, []
                    tags[m.group(1)] = m.group(2)
                elif line.strip():
                    text.append(line.strip())
        if text:
            yield tags, " ".join(text)


def control(tc):
    # "10+0.1", "60+0.6" or "40/60+0.6": base seconds and increment
    tc = tc.split("/")[-1]
    base, _, inc = tc.partition("+")
    return float(base), float(inc or 0)


class Clock:
    def __init__(self):
        self.stage_sum = defaultdict(float)
        self.stage_count = defaultdict(int)
        self.used = self.budget = 0.0
        self.left_at_end = []
        self.lowest = float("inf")
        self.time_losses = 0
        self.games = 0


def main(paths):
    clocks = defaultdict(Clock)
    for tags, text in games(paths):
        if "TimeControl" not in tags:
            continue
        base, inc = control(tags["TimeControl"])
        times = [float(t) for t in MOVE_TIME.findall(text)]
        # The side to move at the start comes from the FEN; without one, White moves first.
        first = 0 if tags.get("FEN", " w ").split(" ")[1] == "w" else 1
        names = [tags.get("White", "?"), tags.get("Black", "?")]
        for side in (0, 1):
            own = times[(side - first) % 2::2]
            clock = clocks[names[side]]
            clock.games += 1
            left = base
            for number, spent in enumerate(own, 1):
                left -= spent
                clock.lowest = min(clock.lowest, left)
                left += inc
                for low, high in STAGES:
                    if low <= number <= high:
                        clock.stage_sum[low] += spent
                        clock.stage_count[low] += 1
            clock.used += sum(own)
            clock.budget += base + inc * len(own)
            clock.left_at_end.append(left)
        if "time" in tags.get("Termination", "") and tags.get("Result") in ("1-0", "0-1"):
            loser = 1 if tags["Result"] == "1-0" else 0
            clocks[names[loser]].time_losses += 1

    header = "engine".ljust(18) + "".join(
        (f"{low}-{high}" if high < 10**6 else f"{low}+").rjust(8) for low, high in STAGES)
    print("mean seconds a move, by the engine's own move number")
    print(header + "    used  left(mean)  left(min)  lowest  time losses  games")
    for name, clock in sorted(clocks.items()):
        row = name.ljust(18)
        for low, _ in STAGES:
            n = clock.stage_count[low]
            row += (f"{clock.stage_sum[low] / n:.3f}" if n else "-").rjust(8)
        ends = clock.left_at_end
        row += f"{100 * clock.used / clock.budget:7.1f}%" if clock.budget else "      -"
        row += f"{sum(ends) / len(ends):11.2f}s{min(ends):10.2f}s{clock.lowest:7.2f}s"
        row += f"{clock.time_losses:13d}{clock.games:7d}"
        print(row)


if __name__ == "__main__":
    paths = sys.argv[1:]
    if not paths or paths[0] in ("-h", "--help"):
        sys.exit(__doc__.strip())
    missing = [p for p in paths if not os.path.isfile(p)]
    if missing:
        sys.exit("no game record at " + ", ".join(missing))
    main(paths)
