"""Kestrune network files and the engine's exact quantised forward pass, in plain Python.

Layout (little-endian), as the engine reads it:
  magic "KSTRNNUE" (8 bytes), version, inputs, hidden, outputs (u32 each),
  FNV-1a 64 of the weight bytes (u64), then the weights:
  feature biases int16[hidden], feature weights int16[inputs][hidden] (feature by feature),
  output weights int16[outputs][2 * hidden] (bucket by bucket, side to move's half first),
  output biases int32[outputs]. outputs is the number of output buckets: 1 or 8 (version 3;
  version 2 files have 1). With 8 the bucket of a position is (men on the board - 2) // 4.

Quantisation: feature weights and biases = round(float * QA), output weights = round(float * QB),
output bias = round(float * QA * QB); accumulators are int16 and wrap; the activation is
clamp(acc, 0, QA) squared; score = (raw / QA + bias) * SCALE / (QA * QB) with truncating
divisions, clamped to +-MAXSCORE; the float network predicts centipawns / SCALE.
"""
import struct

MAGIC = b"KSTRNNUE"
VERSION = 3  # 2: output weights at QB = 256; 3: 1 or 8 output buckets
INPUTS, HIDDEN = 768, 256
BUCKETS = (1, 8)
QA, QB, SCALE = 255, 256, 400
MAXSCORE = 30000
MAXOUTPUTWEIGHT = 128
HEADERBYTES = 32


def weight_bytes(buckets):
    return 2 * HIDDEN + 2 * INPUTS * HIDDEN + buckets * (2 * 2 * HIDDEN + 4)


def bucket_of(men, buckets):
    return 0 if buckets == 1 else min(buckets - 1, max(0, (men - 2) // 4))

PIECES = "PNBRQK"


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def fnv1a64_fast(data):
    """The same checksum; numpy-free but quicker for the 394 kB of weights."""
    h = 0xCBF29CE484222325
    mask = 0xFFFFFFFFFFFFFFFF
    prime = 0x100000001B3
    for b in memoryview(data):
        h = ((h ^ b) * prime) & mask
    return h


def pack_weights(feature_bias, feature_weights, output_weights, output_biases):
    """feature_weights: flat list of INPUTS * HIDDEN ints, feature by feature; output_weights:
    flat list of buckets * 2 * HIDDEN ints; output_biases: one int per bucket."""
    buckets = len(output_biases)
    assert len(feature_bias) == HIDDEN and len(feature_weights) == INPUTS * HIDDEN
    assert buckets in BUCKETS and len(output_weights) == buckets * 2 * HIDDEN
    body = struct.pack("<%dh" % HIDDEN, *feature_bias)
    body += struct.pack("<%dh" % (INPUTS * HIDDEN), *feature_weights)
    body += struct.pack("<%dh" % (buckets * 2 * HIDDEN), *output_weights)
    body += struct.pack("<%di" % buckets, *output_biases)
    assert len(body) == weight_bytes(buckets)
    return body


def write_net(path, feature_bias, feature_weights, output_weights, output_biases):
    """Writes a version-3 file; output_biases is a list (one per bucket) or a single int."""
    if isinstance(output_biases, int):
        output_biases = [output_biases]
    body = pack_weights(feature_bias, feature_weights, output_weights, output_biases)
    header = MAGIC + struct.pack("<IIIIQ", VERSION, INPUTS, HIDDEN, len(output_biases), fnv1a64_fast(body))
    with open(path, "wb") as f:
        f.write(header + body)


def read_net(path):
    """(feature biases, feature weights, output weights, output biases) of a version 2 or 3 file;
    the output weights are a flat list of buckets * 2 * HIDDEN, the biases a list per bucket."""
    data = open(path, "rb").read()
    if len(data) < HEADERBYTES or data[:8] != MAGIC:
        raise ValueError("%s is not a Kestrune network file" % path)
    version, inputs, hidden, outputs, checksum = struct.unpack("<IIIIQ", data[8:32])
    if version not in (2, 3) or (inputs, hidden) != (INPUTS, HIDDEN) or outputs not in (BUCKETS if version == 3 else (1,)):
        raise ValueError("%s: version or architecture differs" % path)
    body = data[32:]
    if len(body) != weight_bytes(outputs):
        raise ValueError("%s: %d weight bytes, expected %d" % (path, len(body), weight_bytes(outputs)))
    if fnv1a64_fast(body) != checksum:
        raise ValueError("%s: checksum mismatch" % path)
    at = 0
    fb = list(struct.unpack_from("<%dh" % HIDDEN, body, at)); at += 2 * HIDDEN
    fw = list(struct.unpack_from("<%dh" % (INPUTS * HIDDEN), body, at)); at += 2 * INPUTS * HIDDEN
    ow = list(struct.unpack_from("<%dh" % (outputs * 2 * HIDDEN), body, at)); at += outputs * 4 * HIDDEN
    ob = list(struct.unpack_from("<%di" % outputs, body, at))
    return fb, fw, ow, ob


def fen_men(fen):
    """(colour, type 0..5, square) of every man of a FEN, and the side to move (0 white)."""
    fields = fen.split()
    men = []
    rank, file = 7, 0
    for ch in fields[0]:
        if ch == "/":
            rank, file = rank - 1, 0
        elif ch.isdigit():
            file += int(ch)
        else:
            colour = 0 if ch.isupper() else 1
            men.append((colour, PIECES.index(ch.upper()), rank * 8 + file))
            file += 1
    side = 0 if len(fields) < 2 or fields[1] == "w" else 1
    return men, side


def feature_index(view, colour, kind, square):
    """Feature of a man seen from white's (view 0) or black's (view 1) side."""
    if view == 1:
        colour ^= 1
        square ^= 56
    return (colour * 6 + kind) * 64 + square


def wrap16(v):
    return ((v + 32768) & 0xFFFF) - 32768


def tdiv(a, b):
    """Division truncating toward zero, as in C++."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def forward(net, fen):
    """The engine's network score of fen in centipawns, from the side to move's view."""
    men, side = fen_men(fen)
    features = [[feature_index(view, c, k, s) for c, k, s in men] for view in (0, 1)]
    return forward_features(net, features, side)


def forward_features(net, features, side):
    """The same from the active features of white's and black's views."""
    fb, fw, ow, ob = net
    bucket = bucket_of(len(features[0]), len(ob))
    ow = ow[bucket * 2 * HIDDEN:(bucket + 1) * 2 * HIDDEN]
    acc = []
    for view in (0, 1):
        a = list(fb)
        for feature in features[view]:
            base = feature * HIDDEN
            column = fw[base:base + HIDDEN]
            a = [wrap16(x + y) for x, y in zip(a, column)]
        acc.append(a)
    raw = 0
    for half in (0, 1):
        values = acc[side ^ half]
        weights = ow[half * HIDDEN:(half + 1) * HIDDEN]
        for v, w in zip(values, weights):
            v = 0 if v < 0 else QA if v > QA else v
            raw += v * v * w
    score = tdiv((tdiv(raw, QA) + ob[bucket]) * SCALE, QA * QB)
    return max(-MAXSCORE, min(MAXSCORE, score))
