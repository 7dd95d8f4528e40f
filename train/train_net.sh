#!/usr/bin/env bash
# One command from the self-play games of a data folder to a network file and its log:
#   train/train_net.sh [data folder (data)] [network (nets/kestrune.nnue)]      (or: make net)
#
# 1. The chunks of $DATA/pgn (games-<seed>.pgn, train/datagen.sh) are converted: all but the test
#    chunk into $DATA/train.txt, the test chunk (the highest seed, or TEST) into $DATA/test.txt,
#    positions of other games that choose the epoch each stage keeps.
# 2. With STAGE1=1: `label` writes the quiet positions of train.txt and of variants a few random
#    plies away with the hand-set evaluation's static score into $DATA/static.txt, and the trainer
#    learns those first (lambda 1: the evaluation's judgement over three times as many positions as
#    the games give). The labels of an earlier run on the same chunks are used as they are.
# 3. The trainer learns the games' search scores blended with their results (lambda LAMBDA: the
#    score's share of the target), from the first stage's weights, from random ones, or (INIT) from
#    an earlier network, which it goes on training: then there is no first stage.
# The network's log holds the recipe, the stages' logs and the data's counts.
#
# Environment: ENGINE (build/kestrune), TRAINER (build/kestrune_trainer), K (the logistic scale of
# the data's WDL fit, 176), THREADS (nproc), TEST (the test chunk's seed), and the recipe:
#   STAGE1 (1, 0 with INIT), EPOCHS1 (16), VARIANTS (4)        the static scores' stage
#   INIT (a network to go on from), LAMBDA (0.9), EPOCHS2 (40, 32 with INIT), LR2 (1e-3 from random
#   weights, 3e-4 after stage 1, 4e-4 with INIT), LR2_END (2e-6), SCHEDULE2 (cosine), WD (weight
#   decay, 0.01), MIRROR (1: half of the positions shown with their files swapped), QB (256 or 64,
#   256)                                                         the games' stage
# The defaults are those that won in games against the network of the time: with the data of one
# network's games, going on from that network (INIT) beat training afresh, lambda 0.9 beat 0.75 and
# 0.5, QB 64 did not win (nets/kestrune-3.log), 32 epochs scored above 16 (nets/kestrune-4.log)
# and a start at 4e-4 above one at 2e-4 (nets/kestrune.log).
set -euo pipefail
cd "$(dirname "$0")/.."

DATA=${1:-data}
NET=${2:-nets/kestrune.nnue}
ENGINE=${ENGINE:-build/kestrune}
TRAINER=${TRAINER:-build/kestrune_trainer}
K=${K:-176}
THREADS=${THREADS:-$(nproc)}
INIT=${INIT:-}
STAGE1=${STAGE1:-$([ -n "$INIT" ] && echo 0 || echo 1)}
EPOCHS1=${EPOCHS1:-16}
VARIANTS=${VARIANTS:-4}
LAMBDA=${LAMBDA:-0.9}
EPOCHS2=${EPOCHS2:-$([ -n "$INIT" ] && echo 32 || echo 40)}
LR2=${LR2:-$([ -n "$INIT" ] && echo 4e-4 || { [ "$STAGE1" = 1 ] && echo 3e-4 || echo 1e-3; })}
LR2_END=${LR2_END:-2e-6}
SCHEDULE2=${SCHEDULE2:-cosine}
WD=${WD:-0.01}
MIRROR=${MIRROR:-1}
QB=${QB:-256}
[ -z "$INIT" ] || [ "$STAGE1" = 0 ] || { echo "INIT goes on from a network: it has no first stage (STAGE1=0)" >&2; exit 1; }
[ -z "$INIT" ] || [ -f "$INIT" ] || { echo "no network $INIT to go on from" >&2; exit 1; }

[ -x "$ENGINE" ] && [ -x "$TRAINER" ] || { echo "build the engine and the trainer first (make)" >&2; exit 1; }
# Chunks in the order of their seeds, read from the file name alone (the folder's own name may
# hold digits and dashes).
mapfile -t chunks < <(for f in "$DATA"/pgn/games-*.pgn "$DATA"/pgn/games-*.pgn.xz "$DATA"/pgn/games-*.pgn.gz; do
  [ -e "$f" ] || continue
  seed=$(basename "$f"); seed=${seed#games-}; seed=${seed%%[!0-9]*}
  [ -n "$seed" ] && printf '%s\t%s\n' "$seed" "$f"
done | sort -n -k1,1 | cut -f2-)
[ "${#chunks[@]}" -ge 2 ] || { echo "$DATA/pgn needs at least two chunks of games (train/datagen.sh)" >&2; exit 1; }
testIndex=$((${#chunks[@]} - 1))
if [ -n "${TEST:-}" ]; then
  testIndex=-1
  for i in "${!chunks[@]}"; do
    case $(basename "${chunks[$i]}") in "games-$TEST.pgn" | "games-$TEST.pgn."*) testIndex=$i ;; esac
  done
  [ "$testIndex" -ge 0 ] || { echo "no chunk games-$TEST.pgn in $DATA/pgn" >&2; exit 1; }
fi
testChunk=${chunks[$testIndex]}
unset "chunks[$testIndex]"
chunks=("${chunks[@]}")

work="$DATA/net-work"
mkdir -p "$work"
"$ENGINE" convert "$DATA/train.txt" "${chunks[@]}" | grep '^info string' > "$work/convert.log"
"$ENGINE" convert "$DATA/test.txt" "$testChunk" | grep '^info string' > "$work/convert-test.log"

init=()
[ -z "$INIT" ] || init=(--init "$INIT")
if [ "$STAGE1" = 1 ]; then
  stat -c '%n %s %Y' "${chunks[@]}" > "$work/chunks.txt"
  echo "variants $VARIANTS" >> "$work/chunks.txt"
  if ! [ -s "$DATA/static.txt" ] || ! cmp -s "$work/chunks.txt" "$work/labelled-chunks.txt" 2>/dev/null; then
    "$ENGINE" "label $DATA/static.txt $DATA/train.txt variants $VARIANTS threads $THREADS" | grep '^info string label lines' \
      > "$work/label.log"
    cp "$work/chunks.txt" "$work/labelled-chunks.txt"
  fi
  "$TRAINER" --data "$DATA/static.txt" --test "$DATA/test.txt" --out "$work/stage1.nnue" --k "$K" --lambda 1 \
    --epochs "$EPOCHS1" --lr 1e-3 --lr-decay 0.8 --validation 0.005 --buckets 8 --qb "$QB" --threads "$THREADS"
  init=(--init "$work/stage1.nnue")
fi
"$TRAINER" --data "$DATA/train.txt" --test "$DATA/test.txt" "${init[@]}" --out "$work/stage2.nnue" \
  --k "$K" --lambda "$LAMBDA" --epochs "$EPOCHS2" --lr "$LR2" --schedule "$SCHEDULE2" --lr-end "$LR2_END" \
  --lr-decay 0.8 --weight-decay "$WD" --mirror "$MIRROR" --qb "$QB" --validation 0.01 --buckets 8 --threads "$THREADS"

log="${NET%.nnue}.log"
cp "$work/stage2.nnue" "$NET"
{
  echo "# $(basename "$NET"): train/train_net.sh $DATA $NET at $(date -u +%FT%TZ), engine $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "# K $K; stage 1 $([ "$STAGE1" = 1 ] && echo "$EPOCHS1 epochs, label variants $VARIANTS" || echo "none");" \
    "stage 2${INIT:+ from $INIT,} lambda $LAMBDA, $EPOCHS2 epochs, lr $LR2 $SCHEDULE2 to $LR2_END, weight decay $WD," \
    "mirror $MIRROR, QB $QB"
  [ -f "$DATA/RECIPE" ] && sed 's/^/# data: /' "$DATA/RECIPE"
  echo "# training games (${#chunks[@]} chunks):"; sed 's/^/#   /' "$work/convert.log"
  echo "# test games ($(basename "$testChunk")):"; sed 's/^/#   /' "$work/convert-test.log"
  if [ "$STAGE1" = 1 ]; then
    echo "# static scores:"; [ -f "$work/label.log" ] && sed 's/^/#   /' "$work/label.log"
    echo "# Stage 1: the static scores"; cat "$work/stage1.log"
  fi
  echo "# Stage 2: the games' search scores and results"; cat "$work/stage2.log"
} > "$log"
echo "wrote $NET and $log"
