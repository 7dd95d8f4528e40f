#!/usr/bin/env bash
# Training data from the engine's own games, in chunks that a later run continues:
#   train/datagen.sh [chunks]            (or: make data CHUNKS=n)
# Each chunk is one `datagen` call: GAMES self-play games from balanced random openings (the same
# openings `genfens` gives for that seed) on NODES nodes a move, on THREADS processes, written to
# $DATA/pgn/games-<seed>.pgn. The recipe (engine commit, evaluation, nodes, seeds) is kept in
# $DATA/RECIPE; a run that finds an earlier recipe checks it and adds the next seeds. At the end the
# PGNs are converted into $DATA/train.txt (`convert`), whose counts and WDL fit go to $DATA/convert.log.
#
# Environment: ENGINE (build/kestrune), DATA (data), GAMES (2000 a chunk), NODES (5000),
# THREADS (nproc), SEED0 (first seed, 1), EVALFILE (a network file: the games use it with
# Use NNUE on; empty: the hand-set evaluation), FASTCHESS=1 plays the chunks under the fastchess
# match manager instead (the way a distributed framework's data workload does).
set -euo pipefail
cd "$(dirname "$0")/.."

chunks=${1:-${CHUNKS:-10}}
ENGINE=${ENGINE:-build/kestrune}
DATA=${DATA:-data}
GAMES=${GAMES:-2000}
NODES=${NODES:-5000}
THREADS=${THREADS:-$(nproc)}
SEED0=${SEED0:-1}
EVALFILE=${EVALFILE:-}
FASTCHESS=${FASTCHESS:-0}
FASTCHESS_BIN=${FASTCHESS_BIN:-../shared/tools/fastchess/fastchess}

[ -x "$ENGINE" ] || { echo "no engine at $ENGINE: run make build first" >&2; exit 1; }
mkdir -p "$DATA/pgn"

evaluation="hand-set"
setup=""
if [ -n "$EVALFILE" ]; then
  evaluation="network $(basename "$EVALFILE") sha256 $(sha256sum "$EVALFILE" | cut -c1-16)"
  setup="setoption name Use NNUE value true
setoption name EvalFile value $(realpath "$EVALFILE")"
fi
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
recipe="nodes $NODES; games per chunk $GAMES; openings genfens (8 or 9 random plies, |score| <= 200 at depth 6); evaluation $evaluation"
mode=$([ "$FASTCHESS" = 1 ] && echo fastchess || echo datagen)

# An earlier recipe must match, or the data would mix two kinds of games.
if [ -f "$DATA/RECIPE" ]; then
  earlier=$(sed -n 's/^recipe: //p' "$DATA/RECIPE" | head -n 1)
  if [ "$earlier" != "$recipe" ]; then
    echo "$DATA/RECIPE was made with another recipe:" >&2
    echo "  $earlier" >&2
    echo "this run: $recipe; use another DATA folder" >&2
    exit 1
  fi
else
  printf 'recipe: %s\nregenerate: %sDATA=%s GAMES=%s NODES=%s SEED0=%s train/datagen.sh <chunks>\n' "$recipe" \
    "${EVALFILE:+EVALFILE=$EVALFILE }" "$DATA" "$GAMES" "$NODES" "$SEED0" > "$DATA/RECIPE"
fi

seed=$SEED0
for ((c = 0; c < chunks; c++)); do
  while [ -s "$DATA/pgn/games-$seed.pgn" ]; do seed=$((seed + 1)); done
  out="$DATA/pgn/games-$seed.pgn"
  start=$(date +%s)
  if [ "$FASTCHESS" = 1 ]; then
    epd="$DATA/pgn/openings-$seed.epd"
    "$ENGINE" "genfens $GAMES seed $seed book None" | sed -n 's/^info string genfens //p' > "$epd"
    options=(option.Hash=16)
    [ -n "$EVALFILE" ] && options+=("option.Use NNUE=true" "option.EvalFile=$(realpath "$EVALFILE")")
    "$FASTCHESS_BIN" -engine cmd="$ENGINE" name=kestrune-a -engine cmd="$ENGINE" name=kestrune-b \
      -each tc=inf nodes="$NODES" proto=uci "${options[@]}" -openings file="$epd" format=epd order=sequential \
      -rounds "$GAMES" -games 1 -concurrency "$THREADS" -pgnout file="$out.tmp" >"$DATA/pgn/fastchess-$seed.log" 2>&1
    mv "$out.tmp" "$out"
    rm -f "$epd"
  else
    { [ -n "$setup" ] && echo "$setup"
      echo "datagen games $GAMES nodes $NODES seed $seed threads $THREADS out $out.tmp"
      echo quit; } | "$ENGINE" | grep -E '^info string datagen' || true
    mv "$out.tmp" "$out"
  fi
  echo "$(date -u +%FT%TZ) seed $seed commit $commit $mode games $(grep -c '^\[Round ' "$out") seconds $(( $(date +%s) - start ))" \
    | tee -a "$DATA/RECIPE"
  seed=$((seed + 1))
done

# Every chunk so far in one training file.
"$ENGINE" convert "$DATA/train.txt" "$DATA"/pgn/games-*.pgn | tee "$DATA/convert.log"
