#!/usr/bin/env bash
# One network against another in games: the same engine binary on both sides with Use NNUE on,
# each side its own EvalFile, under the fastchess match manager, from genfens's balanced openings
# each played with both colours; prints the score and the Elo difference with its 95% error bar.
#
# Usage: bench/net_match.sh <new net> <old net> [games|sprt] [limit]
#   games: an even number (default 300), or sprt for an SPRT of elo0=0 elo1=10 alpha=beta=0.05
#   (at most 2000 games; ELO0/ELO1 change its bounds); limit: nodes=<n> (a fixed node count a
#   move, default nodes=20000) or a time control such as 10+0.1.
# Environment: BUILD (build), CONCURRENCY (2), SEED (1), KEEP (a folder for the games and the log),
#   OPTIONS (more fastchess -each words, such as "option.Threads=2").
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${BUILD:-$here/../build}" && pwd)"
[ $# -ge 2 ] || { sed -n '5,13p' "$0" >&2; exit 1; }
new="$(realpath "$1")"
old="$(realpath "$2")"
games="${3:-300}"
limit="${4:-nodes=20000}"
seed="${SEED:-1}"
concurrency="${CONCURRENCY:-2}"
fastchess="${FASTCHESS:-$here/../../shared/tools/fastchess/fastchess}"

[ -x "$build/kestrune" ] || { echo "no $build/kestrune: build the project first" >&2; exit 1; }
[ -x "$fastchess" ] || { echo "no match manager at $fastchess (set FASTCHESS)" >&2; exit 1; }

# shellcheck source=match_common.sh
. "$here/match_common.sh"
matchRounds 10
# shellcheck disable=SC2086
playMatch "$build/kestrune" "$(basename "$new") against $(basename "$old")" \
  -engine cmd="$build/kestrune" name="$(basename "$new" .nnue)" option.EvalFile="$new" \
  -engine cmd="$build/kestrune" name="$(basename "$old" .nnue)-old" option.EvalFile="$old" \
  -each "${each[@]}" proto=uci option.Hash=16 option.Threads=1 "option.Use NNUE=true" ${OPTIONS:-}
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
