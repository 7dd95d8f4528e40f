#!/usr/bin/env python3
"""Analysis costs over the bench positions, driving the engine through UCI as a GUI does:
time to depth with MultiPV 1, 3 and 5 (the price of each extra line), and the node count a
`go nodes` search ends with against its limit, with one and two threads.

Usage: bench/analysis.py [build directory] [depth] [node limit]
"""
import re
import subprocess
import sys
import time
from pathlib import Path

here = Path(__file__).resolve().parent
build = Path(sys.argv[1]) if len(sys.argv) > 1 else here.parent / "build"
depth = int(sys.argv[2]) if len(sys.argv) > 2 else 12
node_limit = int(sys.argv[3]) if len(sys.argv) > 3 else 200000

source = (here.parent / "src" / "tools" / "bench.cpp").read_text()
block = source.split("// BEGIN POSITIONS")[1].split("// END POSITIONS")[0]
positions = re.findall(r'"([^"]+)"', block)


class Engine:
    def __init__(self, threads, multipv=1):
        self.process = subprocess.Popen([str(build / "kestrune")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        self.send("setoption name Hash value 64")
        self.send(f"setoption name Threads value {threads}")
        self.send(f"setoption name MultiPV value {multipv}")
        self.send("isready")
        self.wait_for("readyok")

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def wait_for(self, prefix):
        lines = []
        for line in self.process.stdout:
            lines.append(line.strip())
            if line.startswith(prefix):
                return lines
        raise RuntimeError("engine ended early")

    def search(self, fen, go):
        """Runs one search from a cleared table; returns its seconds and its lines."""
        self.send("ucinewgame")
        self.wait_for("readyok")
        self.send(f"position fen {fen}")
        start = time.monotonic()
        self.send(f"go {go}")
        lines = self.wait_for("bestmove")
        return time.monotonic() - start, lines

    def quit(self):
        self.send("quit")
        self.process.wait()


def last_nodes(lines):
    nodes = [int(m.group(1)) for m in (re.search(r" nodes (\d+)", l) for l in lines) if m]
    return nodes[-1] if nodes else 0


print(f"MultiPV: time to depth {depth} over {len(positions)} positions, one thread")
baseline = None
for multipv in (1, 3, 5):
    engine = Engine(1, multipv)
    seconds = nodes = 0
    for fen in positions:
        s, lines = engine.search(fen, f"depth {depth}")
        seconds += s
        nodes += last_nodes(lines)
    engine.quit()
    baseline = baseline or (seconds, nodes)
    time_ratio, node_ratio = seconds / baseline[0], nodes / baseline[1]
    line = f"  MultiPV {multipv}: {seconds:7.2f} s ({time_ratio:4.2f} x), {nodes:>11} nodes ({node_ratio:4.2f} x)"
    if multipv > 1:
        line += (f"; each extra line {(time_ratio - 1) / (multipv - 1):+.0%} time, "
                 f"{(node_ratio - 1) / (multipv - 1):+.0%} nodes of MultiPV 1")
    print(line)

for threads in (1, 2):
    engine = Engine(threads)
    overshoot, ended_early = [], 0
    for fen in positions:
        _, lines = engine.search(fen, f"nodes {node_limit}")
        nodes = last_nodes(lines)
        if nodes < node_limit:
            ended_early += 1  # a mate found ends the search before its node count
        else:
            overshoot.append(nodes - node_limit)
    engine.quit()
    allowed = node_limit // 100 + 4096 * threads
    print(f"go nodes {node_limit}, {threads} thread(s): reported count minus limit min {min(overshoot)}, "
          f"mean {sum(overshoot) / len(overshoot):.0f}, max {max(overshoot)} (allowed {allowed}); "
          f"{ended_early} of {len(positions)} ended earlier by a mate")
print("machine load:", Path("/proc/loadavg").read_text().split()[:3])
