#!/usr/bin/env bash
# Speed of engines built for different processors (make ARCH=..., make release) against a first
# one: each round runs `bench` with every binary in turn (the order rotating round by round), with
# the hand-set evaluation and with Use NNUE, and takes each binary's nodes per second over the
# first binary's in that round (the machine's speed drifts; a round shares it). Prints the median
# ratio and its range per binary and evaluation, from the engines' own nodes/second (wall clock)
# and from nodes per processor-second (less disturbed by a busy machine).
#
# Usage: bench/arch_speed.sh [rounds (5)] BASE OTHER [OTHER ...]
set -euo pipefail

rounds=5
if [[ ${1:-} =~ ^[0-9]+$ ]]; then rounds=$1; shift; fi
[ $# -ge 2 ] || { echo "usage: $0 [rounds] BASE OTHER [OTHER ...]" >&2; exit 2; }
binaries=("$@")
for b in "${binaries[@]}"; do [ -x "$b" ] || { echo "no $b" >&2; exit 1; }; done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One bench: "<nodes/second> <nodes per processor-second>".
measure() { # binary, command before bench
  local out
  out=$( { printf '%s\nbench\nquit\n' "$2" | /usr/bin/time -f 'cpu %U %S' "$1"; } 2>&1)
  awk '/^Nodes searched/ {n = $4} /^Nodes\/second/ {w = $3} /^cpu / {c = $2 + $3} END {printf "%d %.0f\n", w, n / c}' <<<"$out"
}
spread() { # ratios on standard input: "median m (min a, max b)"
  sort -g | awk '{v[NR] = $1} END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "median %.3f (min %.3f, max %.3f)", m, v[1], v[NR]}'
}

count=${#binaries[@]}
for ((round = 0; round < rounds; round++)); do
  for eval in hce nnue; do
    command=""
    [ $eval = nnue ] && command="setoption name Use NNUE value true"
    for ((k = 0; k < count; k++)); do
      i=$(((k + round) % count))
      measure "${binaries[$i]}" "$command" > "$work/$eval.$i"
    done
    read -r baseWall baseCpu < "$work/$eval.0"
    for ((i = 1; i < count; i++)); do
      read -r wall cpu < "$work/$eval.$i"
      awk -v a="$wall" -v b="$baseWall" 'BEGIN {print a / b}' >> "$work/$eval.wall.$i"
      awk -v a="$cpu" -v b="$baseCpu" 'BEGIN {print a / b}' >> "$work/$eval.cpu.$i"
    done
    echo "round $((round + 1)) $eval: $(cat "$work"/$eval.[0-9]* | awk '{printf "%s ", $1}')" >&2
  done
done
echo "nodes per second against ${binaries[0]}, $rounds rounds:"
for ((i = 1; i < count; i++)); do
  for eval in hce nnue; do
    echo "${binaries[$i]} $eval: wall $(spread < "$work/$eval.wall.$i"), processor $(spread < "$work/$eval.cpu.$i")"
  done
done
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
