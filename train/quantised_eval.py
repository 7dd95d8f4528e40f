#!/usr/bin/env python3
"""The engine's quantised forward pass of a network file, without torch.

  python3 train/quantised_eval.py <net> <fen> [<fen> ...]
  python3 train/quantised_eval.py <net> --fens <file>      (one FEN a line)

Prints '<FEN> | <score>' lines, the score in centipawns from the side to move's view, computed
exactly as the engine computes its network score (the tests compare the two).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nnue_format as nf  # noqa: E402


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    net = nf.read_net(sys.argv[1])
    if sys.argv[2] == "--fens":
        fens = [line.strip() for line in open(sys.argv[3]) if line.strip()]
    else:
        fens = sys.argv[2:]
    for fen in fens:
        print("%s | %d" % (fen, nf.forward(net, fen)))


if __name__ == "__main__":
    main()
