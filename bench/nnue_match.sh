#!/usr/bin/env bash
# What the network is worth in games: Kestrune with Use NNUE on plays an opponent under the
# fastchess match manager, from genfens's balanced openings each played with both colours, one
# game at a time, and the script prints the score and the Elo difference with its 95% error bar.
#
# Usage: bench/nnue_match.sh [opponent] [games|sprt] [time-control] [net]
#   opponent: hce (the same binary on its hand-set evaluation, default), ethereal, sf2600, sf2850
#   (Debian's Stockfish limited to that UCI_Elo); games: an even number (default 60), or sprt for
#   an SPRT of elo0=0 elo1=10 alpha=beta=0.05 (at most 2000 games; ELO0/ELO1 change its bounds);
#   time control default 10+0.1 (or nodes=<n>);
#   net: an EvalFile for the network side (default: the network built in).
# Environment: BUILD (build), CONCURRENCY (1), SEED (1), OPENINGS (an EPD file instead of genfens's),
#   KEEP (a folder for the games and the log).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${BUILD:-$here/../build}" && pwd)"
opponent="${1:-hce}"
games="${2:-60}"
tc="${3:-10+0.1}"
net="${4:-}"
seed="${SEED:-1}"
concurrency="${CONCURRENCY:-1}"
fastchess="${FASTCHESS:-$here/../../shared/tools/fastchess/fastchess}"

[ -x "$build/kestrune" ] || { echo "no $build/kestrune: build the project first" >&2; exit 1; }
[ -x "$fastchess" ] || { echo "no match manager at $fastchess (set FASTCHESS)" >&2; exit 1; }

install() { # Debian's engines, as references
  command -v "$1" >/dev/null 2>&1 || [ -x "/usr/games/$1" ] || {
    apt-get install -y -qq "$2" >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq "$2" >/dev/null; }
  }
}
case "$opponent" in
  hce) other=(-engine cmd="$build/kestrune" name=handset) ;;
  ethereal) install ethereal-chess ethereal-chess
    other=(-engine cmd="$(command -v ethereal-chess || echo /usr/games/ethereal-chess)" name=ethereal) ;;
  sf2600|sf2850) install stockfish stockfish
    other=(-engine cmd="$(command -v stockfish || echo /usr/games/stockfish)" name="$opponent"
           option.UCI_LimitStrength=true "option.UCI_Elo=${opponent#sf}") ;;
  *) echo "opponent: hce, ethereal, sf2600 or sf2850" >&2; exit 1 ;;
esac

network=(option."Use NNUE"=true)
[ -n "$net" ] && network+=(option.EvalFile="$(realpath "$net")")
limit="$tc"

# shellcheck source=match_common.sh
. "$here/match_common.sh"
matchRounds 10
playMatch "$build/kestrune" "network against $opponent" \
  -engine cmd="$build/kestrune" name=network "${network[@]}" \
  "${other[@]}" \
  -each "${each[@]}" option.Hash=64 option.Threads=1
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
