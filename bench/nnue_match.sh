#!/usr/bin/env bash
# What the network is worth in games: Kestrune with Use NNUE on plays an opponent under the
# fastchess match manager, from genfens's balanced openings each played with both colours, one
# game at a time, and the script prints the score and the Elo difference with its 95% error bar.
#
# Usage: bench/nnue_match.sh [opponent] [games|sprt] [time-control] [net]
#   opponent: hce (the same binary on its hand-set evaluation, default), ethereal, sf2600, sf2850
#   (Debian's Stockfish limited to that UCI_Elo); games: an even number (default 60), or sprt for
#   an SPRT of elo0=0 elo1=10 alpha=beta=0.05 (at most 2000 games); time control default 10+0.1;
#   net: an EvalFile for the network side (default: the network built in).
# Environment: BUILD (build), CONCURRENCY (1), SEED (1), OPENINGS (an EPD file instead of genfens's).
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

if [ "$games" = sprt ]; then
  rounds=1000
  limit=(-sprt elo0=0 elo1=10 alpha=0.05 beta=0.05)
else
  if [ $((games % 2)) -ne 0 ] || [ "$games" -lt 2 ]; then
    echo "games must be even: each opening is played with both colours" >&2
    exit 1
  fi
  rounds=$((games / 2))
  limit=()
fi
network=(option."Use NNUE"=true)
[ -n "$net" ] && network+=(option.EvalFile="$(realpath "$net")")

# fastchess writes config.json and its game record into the working directory; KEEP is made
# absolute first, as the match runs elsewhere.
keep=""
if [ -n "${KEEP:-}" ]; then mkdir -p "$KEEP" && keep="$(cd "$KEEP" && pwd)"; fi
scratch="$(mktemp -d)"
trap '[ -n "$keep" ] && cp "$scratch/games.pgn" "$scratch/match.log" "$keep"/ 2>/dev/null; rm -rf "$scratch"' EXIT
cd "$scratch"
if [ -n "${OPENINGS:-}" ]; then cp "$OPENINGS" openings.epd
else "$build/kestrune" "genfens $rounds seed $seed book None" | sed -n 's/^info string genfens //p' >openings.epd; fi

"$fastchess" \
  -engine cmd="$build/kestrune" name=network "${network[@]}" \
  "${other[@]}" \
  -each tc="$tc" option.Hash=64 option.Threads=1 \
  -openings file=openings.epd format=epd order=sequential \
  -repeat -rounds "$rounds" -concurrency "$concurrency" "${limit[@]}" \
  -pgnout file=games.pgn >match.log 2>&1 || { sed 's/\x1b\[[0-9;]*m//g' match.log | tail -20; exit 1; }

sed 's/\x1b\[[0-9;]*m//g' match.log | grep -E '^(Results of|Elo:|LLR:|Games:|Ptnml)' | tail -5
sed 's/\x1b\[[0-9;]*m//g' match.log | awk -v label="network against $opponent" -v tc="$tc" -f "$here/elo.awk"
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
