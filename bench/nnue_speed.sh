#!/usr/bin/env bash
# What the network costs in speed: `bench` with Use NNUE on and off, in turn, several times, and the
# ratio of their nodes per second run by run (the machine's speed drifts; the pairs share it).
# With a second binary (for example a build from before the network), it also times `bench` with
# the network off in both, in turn: the search must pay nothing for the network it does not use.
#
# Usage: bench/nnue_speed.sh [runs (5)] [other kestrune binary]
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
engine="${ENGINE:-$here/../build/kestrune}"
runs="${1:-5}"
other="${2:-}"
[ -x "$engine" ] || { echo "no $engine: build the project first" >&2; exit 1; }

nps() { # binary, extra command before bench
  printf '%s\nbench\nquit\n' "$2" | "$1" 2>&1 | sed -n 's/^Nodes\/second *: *//p'
}
seconds() { # wall seconds of a bench with the network off
  local start end
  start=$(date +%s.%N)
  "$1" bench >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {print b - a}'
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
spread() { # ratios as arguments: "median m (min a, max b)"
  printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "median %.3f (min %.3f, max %.3f)\n", m, v[1], v[NR]}'
}

ratios=() ; on=() ; off=()
for ((i = 0; i < runs; i++)); do
  a=$(nps "$engine" "setoption name Use NNUE value true")
  b=$(nps "$engine" "")
  on+=("$a"); off+=("$b"); ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {print a / b}')")
done
echo "bench nodes/second, network on: median $(printf '%s\n' "${on[@]}" | median)," \
  "off: median $(printf '%s\n' "${off[@]}" | median)"
echo "on/off by pair: $(spread "${ratios[@]}")"

if [ -n "$other" ]; then
  [ -x "$other" ] || { echo "no $other" >&2; exit 1; }
  times=()
  for ((i = 0; i < runs; i++)); do
    t1=$(seconds "$engine")
    t2=$(seconds "$other")
    times+=("$(awk -v a="$t1" -v b="$t2" 'BEGIN {print a / b}')")
  done
  echo "bench time with the network off, this binary / $other by pair: $(spread "${times[@]}")"
fi
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
