#!/usr/bin/env python3
"""Time to depth and nodes per second with 1 and 2 search threads, over the bench positions,
driving the engine through UCI as a GUI does.

Usage: bench/thread_speedup.py [build directory] [depth]
"""
import re
import subprocess
import sys
import time
from pathlib import Path

here = Path(__file__).resolve().parent
build = Path(sys.argv[1]) if len(sys.argv) > 1 else here.parent / "build"
depth = int(sys.argv[2]) if len(sys.argv) > 2 else 12

source = (here.parent / "src" / "tools" / "bench.cpp").read_text()
block = source.split("// BEGIN POSITIONS")[1].split("// END POSITIONS")[0]
positions = re.findall(r'"([^"]+)"', block)


def search_all(threads):
    engine = subprocess.Popen([str(build / "kestrune")], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                              bufsize=1)

    def send(line):
        engine.stdin.write(line + "\n")
        engine.stdin.flush()

    def wait_for(prefix):
        lines = []
        for line in engine.stdout:
            lines.append(line.strip())
            if line.startswith(prefix):
                return lines
        raise RuntimeError("engine ended early")

    send("setoption name Hash value 64")
    send(f"setoption name Threads value {threads}")
    send("isready")
    wait_for("readyok")
    total_time, total_nodes = 0.0, 0
    for fen in positions:
        send("ucinewgame")
        wait_for("readyok")
        send(f"position fen {fen}")
        start = time.monotonic()
        send(f"go depth {depth}")
        lines = wait_for("bestmove")
        total_time += time.monotonic() - start
        nodes = [int(m.group(1)) for m in (re.search(r" nodes (\d+)", l) for l in lines) if m]
        total_nodes += nodes[-1] if nodes else 0
    send("quit")
    engine.wait()
    return total_time, total_nodes


results = {threads: search_all(threads) for threads in (1, 2)}
for threads, (seconds, nodes) in results.items():
    print(f"threads {threads}: depth {depth} over {len(positions)} positions in {seconds:.2f} s, "
          f"{nodes} nodes, {nodes / seconds:,.0f} nodes/s")
speedup = results[1][0] / results[2][0]
print(f"time-to-depth speedup with 2 threads: {speedup:.2f}; nodes/s ratio: "
      f"{(results[2][1] / results[2][0]) / (results[1][1] / results[1][0]):.2f}")
print("machine load:", Path("/proc/loadavg").read_text().split()[:3])
