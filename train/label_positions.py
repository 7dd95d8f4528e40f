#!/usr/bin/env python3
"""Labels FEN lines with the engine's own search score: writes '<FEN> | <score> | <result>' lines.

  python3 train/label_positions.py --bench build/bench_search --depth 6 fens.txt > data.txt

The score is the fixed-depth search score of bench_search in centipawns, turned to white's view.
Without a game to take the result from, the result is read off the score (1.0 above +300, 0.0
below -300, else 0.5): such files are for trying the trainer, not for real networks.
"""
import argparse
import subprocess


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True, help="the bench_search program of a build")
    parser.add_argument("--depth", type=int, default=6)
    parser.add_argument("fens")
    args = parser.parse_args()
    out = subprocess.run([args.bench, str(args.depth), args.fens], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        words = line.split()
        if len(words) < 8 or words[2] != "score":
            continue
        fen = line[line.index(" s  ") + 4:].strip()
        score = int(words[3])
        white = score if fen.split()[1] == "w" else -score
        result = 1.0 if white > 300 else 0.0 if white < -300 else 0.5
        print("%s | %d | %.1f" % (fen, white, result))


if __name__ == "__main__":
    main()
