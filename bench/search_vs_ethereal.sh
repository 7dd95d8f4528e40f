#!/usr/bin/env bash
# Searches two sets of positions to one depth with Kestrune (bench_search, in process) and
# with Debian's Ethereal (over UCI, one thread, 16 MB hash, a new game per position), and
# prints both speeds and their ratio for each set: the bench set of src/tools/bench.cpp (every
# phase, ten endgames) and the middlegame set of middlegames.txt (40 master opening lines of
# 11 to 17 plies). Speeds are nodes per second of processor time, which a machine shared with
# other work disturbs less than wall time; the wall-time figures are printed too.
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
for program in bench_search make_positions; do
    if [ ! -x "$build/$program" ]; then
        echo "no $build/$program: build the project first" >&2
        exit 1
    fi
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
sed -n '/BEGIN POSITIONS/,/END POSITIONS/p' "$here/../src/tools/bench.cpp" | grep -o '"[^"]*"' | tr -d '"' >"$scratch/bench.fen"
"$build/make_positions" lines <"$here/middlegames.txt" >"$scratch/middlegames.fen"

field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' <<<"$2"; }

# Kestrune on a file of FENs: sets ourNodes, ourWallNps, ourCpuNps.
runKestrune() {
    local output summary
    output="$("$build/bench_search" "$depth" "$1")"
    summary="$(grep '^depth ' <<<"$output")"
    ourNodes="$(awk '/^nodes /{print $2}' <<<"$output")"
    ourWallNps="$(field nps "$summary")"
    ourCpuNps="$(field cpunps "$summary")"
}

# Ethereal on a file of FENs: sets theirNodes, theirMs (reported search time), theirTicks
# (processor time of the searches, start-up left out).
runEthereal() {
    local fen lastInfo="" ticksBefore ticksAfter enginePid
    coproc ENGINE { exec "$ethereal"; }
    enginePid=$ENGINE_PID
    send() { echo "$1" >&"${ENGINE[1]}"; }
    # Reads engine lines until one starts with $1; the last info line with nodes goes to lastInfo.
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

    send "uci"; waitFor "uciok"
    send "setoption name Hash value 16"
    send "setoption name Threads value 1"
    send "isready"; waitFor "readyok"
    theirNodes=0
    theirMs=0
    ticksBefore="$(cpuTicks)"
    while IFS= read -r fen; do
        lastInfo=""
        send "ucinewgame"
        send "isready"; waitFor "readyok"
        send "position fen $fen"
        send "go depth $depth"
        waitFor "bestmove"
        theirNodes=$((theirNodes + $(field nodes "$lastInfo")))
        theirMs=$((theirMs + $(field time "$lastInfo")))
    done <"$1"
    ticksAfter="$(cpuTicks)"
    send "quit"
    wait "$enginePid" 2>/dev/null || true
    theirTicks=$((ticksAfter - ticksBefore))
}

hz="$(getconf CLK_TCK)"
ratios=()
for set in bench middlegames; do
    runKestrune "$scratch/$set.fen"
    runEthereal "$scratch/$set.fen"
    report="$(awk -v set="$set" -v d="$depth" -v n="$(wc -l <"$scratch/$set.fen")" -v on="$ourNodes" \
        -v ow="$ourWallNps" -v oc="$ourCpuNps" -v tn="$theirNodes" -v tms="$theirMs" -v ticks="$theirTicks" \
        -v hz="$hz" 'BEGIN {
        tw = tms > 0 ? tn * 1000 / tms : 0
        tc = ticks > 0 ? tn * hz / ticks : 0
        printf "%s set: positions %d, depth %d\n", set, n, d
        printf "kestrune  nodes %12d  nps %10.0f (cpu)  %10.0f (wall)\n", on, oc, ow
        printf "ethereal  nodes %12d  nps %10.0f (cpu)  %10.0f (wall)\n", tn, tc, tw
        printf "ratio kestrune/ethereal  %.2f (cpu)  %.2f (wall)\n", (tc > 0 ? oc / tc : 0), (tw > 0 ? ow / tw : 0)
    }')"
    echo "$report"
    ratios+=("$set $(awk '/^ratio/ {print $3}' <<<"$report")")
done
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "nps ratios kestrune/ethereal (cpu): ${ratios[*]}"
