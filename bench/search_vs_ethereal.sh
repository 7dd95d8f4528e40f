#!/usr/bin/env bash
# Searches the positions of bench_search.cpp to one depth with Kestrune (bench_search, in
# process) and with Debian's Ethereal (over UCI, one thread, 16 MB hash, a new game per
# position), and prints both speeds and their ratio. Speeds are nodes per second of processor
# time, which a machine shared with other work disturbs less than wall time; the wall-time
# figures are printed too.
#
# Usage: bench/search_vs_ethereal.sh [build-directory] [depth]
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
depth="${2:-13}"
ethereal=/usr/games/ethereal-chess

if [ ! -x "$ethereal" ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get install -y ethereal-chess >/dev/null 2>&1 ||
            { apt-get update >/dev/null && apt-get install -y ethereal-chess >/dev/null; }
    else
        sudo apt-get install -y ethereal-chess >/dev/null
    fi
fi
if [ ! -x "$build/bench_search" ]; then
    echo "no $build/bench_search: build the project first" >&2
    exit 1
fi

# --- Kestrune -----------------------------------------------------------------------------
ours="$("$build/bench_search" "$depth")"
summary="$(grep '^depth ' <<<"$ours")"
ourNodes="$(awk '/^nodes /{print $2}' <<<"$ours")"
ourWallNps="$(awk '{for (i = 1; i < NF; i++) if ($i == "nps") print $(i + 1)}' <<<"$summary")"
ourCpuNps="$(awk '{for (i = 1; i < NF; i++) if ($i == "cpunps") print $(i + 1)}' <<<"$summary")"

# --- Ethereal -----------------------------------------------------------------------------
mapfile -t fens < <(sed -n '/BEGIN POSITIONS/,/END POSITIONS/p' "$here/../src/bench.cpp" | grep -o '"[^"]*"' | tr -d '"')

coproc ENGINE { exec "$ethereal"; }
enginePid=$ENGINE_PID
send() { echo "$1" >&"${ENGINE[1]}"; }
# Reads engine lines until one starts with $1; the last info line with nodes is kept in $lastInfo.
waitFor() {
    local line
    while IFS= read -r -t 600 line <&"${ENGINE[0]}"; do
        [[ "$line" == info*" nodes "* ]] && lastInfo="$line"
        [[ "$line" == "$1"* ]] && return 0
    done
    echo "no '$1' from $ethereal" >&2
    exit 1
}
cpuTicks() { awk '{print $14 + $15}' "/proc/$enginePid/stat"; }
field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' <<<"$2"; }

send "uci"; waitFor "uciok"
send "setoption name Hash value 16"
send "setoption name Threads value 1"
send "isready"; waitFor "readyok"

theirNodes=0
theirMs=0
ticksBefore="$(cpuTicks)"
for fen in "${fens[@]}"; do
    lastInfo=""
    send "ucinewgame"
    send "isready"; waitFor "readyok"
    send "position fen $fen"
    send "go depth $depth"
    waitFor "bestmove"
    theirNodes=$((theirNodes + $(field nodes "$lastInfo")))
    theirMs=$((theirMs + $(field time "$lastInfo")))
done
ticksAfter="$(cpuTicks)"
send "quit"
wait "$enginePid" 2>/dev/null || true

hz="$(getconf CLK_TCK)"
awk -v d="$depth" -v n="${#fens[@]}" -v on="$ourNodes" -v ow="$ourWallNps" -v oc="$ourCpuNps" \
    -v tn="$theirNodes" -v tms="$theirMs" -v ticks="$((ticksAfter - ticksBefore))" -v hz="$hz" 'BEGIN {
    tw = tms > 0 ? tn * 1000 / tms : 0
    tc = ticks > 0 ? tn * hz / ticks : 0
    printf "positions %d, depth %d\n", n, d
    printf "kestrune  nodes %12d  nps %10.0f (cpu)  %10.0f (wall)\n", on, oc, ow
    printf "ethereal  nodes %12d  nps %10.0f (cpu)  %10.0f (wall)\n", tn, tc, tw
    printf "ratio kestrune/ethereal  %.2f (cpu)  %.2f (wall)\n", (tc > 0 ? oc / tc : 0), (tw > 0 ? ow / tw : 0)
}'
