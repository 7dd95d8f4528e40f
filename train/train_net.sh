#!/usr/bin/env bash
# One command from the self-play games of a data folder to a network file and its log:
#   train/train_net.sh [data folder (data)] [network (nets/kestrune.nnue)]      (or: make net)
#
# 1. The chunks of $DATA/pgn (train/datagen.sh) are converted: all but the newest into
#    $DATA/train.txt, the newest into $DATA/test.txt, positions of other games that choose the
#    epoch each stage keeps.
# 2. `label` writes the quiet positions of train.txt and of variants a few random plies away with
#    the hand-set evaluation's static score into $DATA/static.txt.
# 3. The trainer learns those static scores first (lambda 1: the evaluation's judgement over three
#    times as many positions as the games give), then the games' search scores blended with their
#    results (lambda LAMBDA), from the first stage's weights.
# The network's log holds the recipe, both stages' logs and the data's counts.
#
# Environment: ENGINE (build/kestrune), TRAINER (build/kestrune_trainer), K (the logistic scale of
# the data's WDL fit, 176), LAMBDA (0.9), EPOCHS1 (16), EPOCHS2 (8), THREADS (nproc), VARIANTS (4).
set -euo pipefail
cd "$(dirname "$0")/.."

DATA=${1:-data}
NET=${2:-nets/kestrune.nnue}
ENGINE=${ENGINE:-build/kestrune}
TRAINER=${TRAINER:-build/kestrune_trainer}
K=${K:-176}
LAMBDA=${LAMBDA:-0.9}
EPOCHS1=${EPOCHS1:-16}
EPOCHS2=${EPOCHS2:-8}
THREADS=${THREADS:-$(nproc)}
VARIANTS=${VARIANTS:-4}

[ -x "$ENGINE" ] && [ -x "$TRAINER" ] || { echo "build the engine and the trainer first (make)" >&2; exit 1; }
mapfile -t chunks < <(ls "$DATA"/pgn/games-*.pgn 2>/dev/null | sort -t- -k2 -n)
[ "${#chunks[@]}" -ge 2 ] || { echo "$DATA/pgn needs at least two chunks of games (train/datagen.sh)" >&2; exit 1; }
newest=${chunks[-1]}
unset 'chunks[-1]'

work="$DATA/net-work"
mkdir -p "$work"
"$ENGINE" convert "$DATA/train.txt" "${chunks[@]}" | grep '^info string' > "$work/convert.log"
"$ENGINE" convert "$DATA/test.txt" "$newest" | grep '^info string' > "$work/convert-test.log"
"$ENGINE" "label $DATA/static.txt $DATA/train.txt variants $VARIANTS threads $THREADS" | grep '^info string label lines' \
  > "$work/label.log"

"$TRAINER" --data "$DATA/static.txt" --test "$DATA/test.txt" --out "$work/stage1.nnue" --k "$K" --lambda 1 \
  --epochs "$EPOCHS1" --lr 1e-3 --lr-decay 0.8 --validation 0.005 --buckets 8 --threads "$THREADS"
"$TRAINER" --data "$DATA/train.txt" --test "$DATA/test.txt" --init "$work/stage1.nnue" --out "$work/stage2.nnue" \
  --k "$K" --lambda "$LAMBDA" --epochs "$EPOCHS2" --lr 3e-4 --lr-decay 0.8 --validation 0.01 --buckets 8 \
  --threads "$THREADS"

log="${NET%.nnue}.log"
cp "$work/stage2.nnue" "$NET"
{
  echo "# $(basename "$NET"): train/train_net.sh $DATA $NET at $(date -u +%FT%TZ), engine $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "# K $K, lambda $LAMBDA, epochs $EPOCHS1 + $EPOCHS2, label variants $VARIANTS"
  [ -f "$DATA/RECIPE" ] && sed 's/^/# data: /' "$DATA/RECIPE"
  echo "# training games ($((${#chunks[@]})) chunks):"; sed 's/^/#   /' "$work/convert.log"
  echo "# test games ($(basename "$newest")):"; sed 's/^/#   /' "$work/convert-test.log"
  echo "# static scores:"; sed 's/^/#   /' "$work/label.log"
  echo "# Stage 1: the static scores"; cat "$work/stage1.log"
  echo "# Stage 2: the games' search scores and results"; cat "$work/stage2.log"
} > "$log"
echo "wrote $NET and $log"
