#!/usr/bin/python3
"""Trains Kestrune's network on the CPU and writes the quantised file the engine reads.

  python3 train/train.py --data data/train.txt --out nets/kestrune.nnue --epochs 4

--data is a file of '<FEN> | <score> | <result>' lines (score in centipawns and result 1.0 / 0.5 /
0.0, both from white's view) or a folder of such files (*.txt). The lines are converted once into
a cached feature file (numpy, beside the data or at --cache) that later runs read directly.

The target blends the score and the result: lambda * sigmoid(score / K) + (1 - lambda) * result,
from the side to move's view; the prediction is sigmoid(network centipawns / K), the loss the
mean squared error. The float network predicts centipawns / 400 (the engine's SCALE), so K only
shapes the loss. A log (data size, loss per epoch, times and the command) goes beside the net.
"""
import argparse
import glob
import math
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nnue_format as nf  # noqa: E402



def data_files(path):
    if os.path.isdir(path):
        return sorted(glob.glob(os.path.join(path, "*.txt")))
    return [path]


# A FEN placement with its digits spelt out as dots and without slashes: 64 squares, a8 first.
SPELL = str.maketrans({**{str(n): "." * n for n in range(1, 9)}, "/": None})
LOOKUP = np.full(256, -1, dtype=np.int16)
for _i, _c in enumerate("PNBRQKpnbrqk"):  # colour * 6 + type
    LOOKUP[ord(_c)] = _i
LOOKUP[ord(".")] = -2
CHUNK = 500000


def convert_chunk(placements, out):
    """Features of a list of spelt-out placements, vectorised; returns the rows kept."""
    board = np.frombuffer("".join(placements).encode("ascii", "replace"), dtype=np.uint8).reshape(-1, 64)
    pieces = LOOKUP[board]
    men = pieces >= 0
    counts = men.sum(axis=1)
    keep = ~(pieces == -1).any(axis=1) & (counts <= 32)
    pieces, men, counts = pieces[keep], men[keep], counts[keep]
    rows, cols = np.nonzero(men)
    # column j is the square j ^ 56 (a8 is 56)
    out["feats"].append((pieces[rows, cols].astype(np.int64) * 64 + (cols ^ 56)).astype(np.uint16))
    out["counts"].append(counts.astype(np.int64))
    return keep


def parse_lines(files, log):
    out = {"feats": [], "counts": []}
    stm, score, result = [], [], []
    bad = 0

    def flush(placements, sides, scores, results):
        keep = convert_chunk(placements, out)
        stm.append(np.array(sides, dtype=np.uint8)[keep])
        score.append(np.array(scores, dtype=np.float32)[keep])
        result.append(np.array(results, dtype=np.float32)[keep])
        return int((~keep).sum())

    placements, sides, scores, results = [], [], [], []
    for name in files:
        with open(name, errors="replace") as f:
            for line in f:
                parts = line.split("|")
                if len(parts) < 3:
                    bad += 1
                    continue
                fields = parts[0].split()
                if len(fields) < 2:
                    bad += 1
                    continue
                placement = fields[0].translate(SPELL)
                try:
                    s, r = float(parts[1]), float(parts[2])
                except ValueError:
                    bad += 1
                    continue
                if len(placement) != 64 or not math.isfinite(s) or not math.isfinite(r):
                    bad += 1
                    continue
                placements.append(placement)
                sides.append(fields[1] == "b")
                scores.append(s)
                results.append(r)
                if len(placements) >= CHUNK:
                    bad += flush(placements, sides, scores, results)
                    placements, sides, scores, results = [], [], [], []
    if placements:
        bad += flush(placements, sides, scores, results)
    counts = np.concatenate(out["counts"]) if out["counts"] else np.zeros(0, dtype=np.int64)
    offsets = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    feats = np.concatenate(out["feats"]) if out["feats"] else np.zeros(0, dtype=np.uint16)
    stm = np.concatenate(stm) if stm else np.zeros(0, dtype=np.uint8)
    score = np.concatenate(score) if score else np.zeros(0, dtype=np.float32)
    result = np.concatenate(result) if result else np.zeros(0, dtype=np.float32)
    log("parsed %d positions from %d file(s), %d lines skipped" % (len(stm), len(files), bad))
    return feats, offsets, stm, score, result


def load_data(path, cache, log):
    files = data_files(path)
    if not files:
        raise SystemExit("no data files at %s" % path)
    stamp = np.array([os.path.getsize(f) for f in files] + [int(os.path.getmtime(f)) for f in files], dtype=np.int64)
    if cache is None:
        cache = os.path.join(path, "kfeatures.npz") if os.path.isdir(path) else path + ".kfeatures.npz"
    if os.path.exists(cache):
        z = np.load(cache)
        if np.array_equal(z["stamp"], stamp):
            log("features from the cache %s" % cache)
            return z["feats"], z["offsets"], z["stm"], z["score"], z["result"]
    start = time.time()
    feats, offsets, stm, score, result = parse_lines(files, log)
    # stored in a shuffled order, so that contiguous batches are random samples
    rng = np.random.default_rng(12345)
    order = rng.permutation(len(stm))
    counts = np.diff(offsets)[order]
    new_offsets = np.zeros(len(stm) + 1, dtype=np.int64)
    np.cumsum(counts, out=new_offsets[1:])
    starts = offsets[:-1][order]
    index = np.repeat(starts - new_offsets[:-1], counts) + np.arange(new_offsets[-1])
    feats = feats[index]
    stm, score, result = stm[order], score[order], result[order]
    try:
        np.savez(cache, stamp=stamp, feats=feats, offsets=new_offsets, stm=stm, score=score, result=result)
        log("features cached at %s (%.1f s)" % (cache, time.time() - start))
    except OSError as e:
        log("features not cached (%s)" % e)
    return feats, new_offsets, stm, score, result


def black_view(white_features):
    """The same men seen from black's side: colours swapped, squares mirrored."""
    piece = white_features // 64
    square = white_features % 64
    colour = piece // 6
    kind = piece % 6
    return ((1 - colour) * 6 + kind) * 64 + (square ^ 56)


class Network(torch.nn.Module):
    def __init__(self, buckets):
        super().__init__()
        self.buckets = buckets
        self.ft = torch.nn.EmbeddingBag(nf.INPUTS, nf.HIDDEN, mode="sum")
        self.ft_bias = torch.nn.Parameter(torch.zeros(nf.HIDDEN))
        self.out = torch.nn.Linear(2 * nf.HIDDEN, buckets)
        with torch.no_grad():
            self.ft.weight.normal_(0.0, 0.05)
            self.ft_bias.fill_(0.1)

    def forward(self, white, black, offsets, stm, bucket):
        # both views in one pass over the shared weights
        n = offsets.shape[0]
        both = self.ft(torch.cat([white, black]), torch.cat([offsets, offsets + white.shape[0]])) + self.ft_bias
        w, b = both[:n], both[n:]
        black_to_move = stm.unsqueeze(1).bool()
        us = torch.where(black_to_move, b, w)
        them = torch.where(black_to_move, w, b)
        x = torch.clamp(torch.cat([us, them], dim=1), 0.0, 1.0) ** 2
        # the output bucket of each position's number of men
        return self.out(x).gather(1, bucket.unsqueeze(1)).squeeze(1)  # centipawns / SCALE

    def clip(self):
        # keeps what the quantised file can hold: output weights within +-128 / QB
        with torch.no_grad():
            limit = nf.MAXOUTPUTWEIGHT / nf.QB
            self.out.weight.clamp_(-limit, limit)
            self.ft.weight.clamp_(-32000 / nf.QA / 32, 32000 / nf.QA / 32)


def bucket_tensor(offsets, start, end, buckets):
    men = torch.from_numpy(offsets[start + 1:end + 1] - offsets[start:end])
    if buckets == 1:
        return torch.zeros_like(men)
    return torch.clamp(torch.div(men - 2, 4, rounding_mode="floor"), 0, buckets - 1)


def batch_tensors(feats, offsets, stm, score, result, start, end, buckets):
    a, b = offsets[start], offsets[end]
    white = torch.from_numpy(feats[a:b].astype(np.int64))
    black = black_view(white)
    offs = torch.from_numpy(offsets[start:end] - a)
    s = torch.from_numpy(stm[start:end].astype(np.int64))
    sc = torch.from_numpy(score[start:end])
    r = torch.from_numpy(result[start:end])
    # the side to move's view
    sign = 1.0 - 2.0 * s.float()
    sc = sc * sign
    r = torch.where(s.bool(), 1.0 - r, r)
    return white, black, offs, s, bucket_tensor(offsets, start, end, buckets), sc, r


def loss_of(model, tensors, k, lam):
    white, black, offs, s, bucket, sc, r = tensors
    predicted = model(white, black, offs, s, bucket) * nf.SCALE
    target = lam * torch.sigmoid(sc / k) + (1.0 - lam) * r
    return torch.mean((torch.sigmoid(predicted / k) - target) ** 2)


def export(model, path):
    with torch.no_grad():
        fw = torch.clamp(torch.round(model.ft.weight * nf.QA), -32767, 32767).to(torch.int64)
        fb = torch.clamp(torch.round(model.ft_bias * nf.QA), -32767, 32767).to(torch.int64)
        ow = torch.clamp(torch.round(model.out.weight * nf.QB), -nf.MAXOUTPUTWEIGHT, nf.MAXOUTPUTWEIGHT)
        ob = torch.round(model.out.bias.double() * nf.QA * nf.QB).tolist()
    ob = [int(max(-2 ** 31, min(2 ** 31 - 1, b))) for b in ob]
    nf.write_net(path, fb.tolist(), fw.reshape(-1).tolist(), ow.to(torch.int64).reshape(-1).tolist(), ob)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", required=True, help="file or folder of '<FEN> | <score> | <result>' lines")
    parser.add_argument("--out", required=True, help="network file to write")
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--batch", type=int, default=16384)
    parser.add_argument("--lr", type=float, default=1e-3)
    parser.add_argument("--lr-decay", type=float, default=0.7, help="learning rate factor after each epoch")
    parser.add_argument("--lambda", dest="lam", type=float, default=0.8, help="weight of the score in the target")
    parser.add_argument("--k", type=float, default=400.0, help="logistic scale of the scores, in centipawns")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--limit", type=int, default=0, help="use at most this many positions (0: all)")
    parser.add_argument("--validation", type=float, default=0.01, help="share of positions held out")
    parser.add_argument("--cache", default=None, help="feature cache file (default: beside the data)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--init", default=None, help="start from this network file instead of random weights")
    parser.add_argument("--buckets", type=int, default=8, choices=nf.BUCKETS,
                        help="output buckets by the number of men (a one-bucket --init fills every bucket)")
    args = parser.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    log_path = os.path.splitext(args.out)[0] + ".log"
    log_file = open(log_path, "w")

    def log(text):
        line = "%s %s" % (time.strftime("%H:%M:%S"), text)
        print(line, flush=True)
        log_file.write(line + "\n")
        log_file.flush()

    log("command: " + " ".join(sys.argv))
    log("torch %s, %d threads" % (torch.__version__, args.threads))
    feats, offsets, stm, score, result = load_data(args.data, args.cache, log)
    n = len(stm)
    if args.limit and n > args.limit:
        n = args.limit
    held = int(n * args.validation) if n >= 1000 else 0
    train_n = n - held
    log("data %s: %d positions, %d for training, %d held out" % (args.data, n, train_n, held))

    model = Network(args.buckets)
    if args.init:
        fb, fw, ow, ob = nf.read_net(args.init)
        with torch.no_grad():
            model.ft.weight.copy_(torch.tensor(fw, dtype=torch.float32).reshape(nf.INPUTS, nf.HIDDEN) / nf.QA)
            model.ft_bias.copy_(torch.tensor(fb, dtype=torch.float32) / nf.QA)
            ow = torch.tensor(ow, dtype=torch.float32).reshape(len(ob), -1) / nf.QB
            ob = torch.tensor(ob, dtype=torch.float64) / (nf.QA * nf.QB)
            if len(ob) != args.buckets:
                if len(ob) != 1:
                    raise SystemExit("%s has %d output buckets, this training %d" % (args.init, len(ob), args.buckets))
                ow, ob = ow.expand(args.buckets, -1), ob.expand(args.buckets)
            model.out.weight.copy_(ow)
            model.out.bias.copy_(ob.float())
        log("initial weights from %s" % args.init)
    optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
    batches = [(s, min(s + args.batch, train_n)) for s in range(0, train_n, args.batch)]
    valid = batch_tensors(feats, offsets, stm, score, result, train_n, n, args.buckets) if held else None
    total_start = time.time()
    best_loss = float("inf")
    best_state = None
    for epoch in range(1, args.epochs + 1):
        start = time.time()
        order = np.random.default_rng(args.seed + epoch).permutation(len(batches))
        total, count = 0.0, 0
        model.train()
        for i in order:
            a, b = batches[i]
            tensors = batch_tensors(feats, offsets, stm, score, result, a, b, args.buckets)
            optimiser.zero_grad()
            loss = loss_of(model, tensors, args.k, args.lam)
            loss.backward()
            optimiser.step()
            model.clip()
            total += loss.item() * (b - a)
            count += b - a
        seconds = time.time() - start
        text = "epoch %d: train loss %.6f" % (epoch, total / max(count, 1))
        better = True
        if valid is not None:
            with torch.no_grad():
                valid_loss = loss_of(model, valid, args.k, args.lam).item()
            text += ", validation loss %.6f" % valid_loss
            # the file keeps the epoch that predicts the held-out positions best
            better = valid_loss < best_loss
            best_loss = min(best_loss, valid_loss)
        log(text + ", lr %.2e, %.1f s, %.0f positions/s%s" % (optimiser.param_groups[0]["lr"], seconds,
                                                              count / max(seconds, 1e-9), ", written" if better else ""))
        for group in optimiser.param_groups:
            group["lr"] *= args.lr_decay
        if better:
            export(model, args.out)
            best_state = {k: v.clone() for k, v in model.state_dict().items()}
    log("wrote %s after %.1f s of training" % (args.out, time.time() - total_start))
    # the exported file against the float network: the quantisation's cost in centipawns
    if best_state is not None:
        model.load_state_dict(best_state)
    net = nf.read_net(args.out)
    sample = range(train_n, min(n, train_n + 32)) if held else range(min(n, 32))
    diffs = []
    with torch.no_grad():
        for i in sample:
            white, black, offs, s, bucket, _, _ = batch_tensors(feats, offsets, stm, score, result, i, i + 1,
                                                                args.buckets)
            floating = float(model(white, black, offs, s, bucket)[0]) * nf.SCALE
            quantised = nf.forward_features(net, [white.tolist(), black.tolist()], int(s[0]))
            diffs.append(abs(floating - quantised))
    if diffs:
        log("quantised file against the float network: mean %.2f cp, largest %.2f cp apart over %d positions"
            % (sum(diffs) / len(diffs), max(diffs), len(diffs)))
    log_file.close()


if __name__ == "__main__":
    main()
