#!/usr/bin/env bash
# One search against another in games: two engine binaries, both with Use NNUE on and the same
# network file, under the fastchess match manager, from genfens's balanced openings each played
# with both colours; prints the score and the Elo difference of the first with its 95% error
# bar. Only one match may run on a machine at a time: run it under flock (see below).
#
# Usage: bench/search_match.sh <new kestrune> <old kestrune> [games|sprt] [limit]
#   games: an even number (default 1000), or sprt for an SPRT of elo0=0 elo1=5 alpha=beta=0.05
#   (at most MAXGAMES games, default 2000; ELO0/ELO1 change its bounds); limit: nodes=<n> (a
#   fixed node count a move, default nodes=10000) or a time control such as 10+0.1.
# Environment: NET (nets/kestrune-2.nnue), CONCURRENCY (2), SEED (1), KEEP (a folder for the
#   games and the log), OPTIONS (more fastchess -each words, such as "option.Threads=2").
# Example: flock /tmp/kestrune-match.lock bench/search_match.sh build/kestrune /tmp/kestrune-old sprt
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
[ $# -ge 2 ] || { sed -n '7,14p' "$0" >&2; exit 1; }
new="$(realpath "$1")"
old="$(realpath "$2")"
games="${3:-1000}"
limit="${4:-nodes=10000}"
seed="${SEED:-1}"
concurrency="${CONCURRENCY:-2}"
net="$(realpath "${NET:-$here/../nets/kestrune-2.nnue}")"
fastchess="${FASTCHESS:-$here/../../shared/tools/fastchess/fastchess}"

for binary in "$new" "$old"; do [ -x "$binary" ] || { echo "no engine at $binary" >&2; exit 1; }; done
[ -f "$net" ] || { echo "no network at $net (set NET)" >&2; exit 1; }
[ -x "$fastchess" ] || { echo "no match manager at $fastchess (set FASTCHESS)" >&2; exit 1; }

# shellcheck source=match_common.sh
. "$here/match_common.sh"
matchRounds 5
# shellcheck disable=SC2086
playMatch "$old" "$(basename "$new") against $(basename "$old")" \
  -engine cmd="$new" name=new \
  -engine cmd="$old" name=old \
  -each "${each[@]}" proto=uci option.Hash=16 option.Threads=1 "option.Use NNUE=true" option.EvalFile="$net" ${OPTIONS:-}
