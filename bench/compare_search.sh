#!/usr/bin/env bash
# Runs two bench_search binaries alternately (reference first, then candidate, so both meet the
# same machine load) and compares their processor time over the rounds. The node signatures
# must agree: a speed change that alters the search is no speed change.
#
# Usage: bench/compare_search.sh REFERENCE CANDIDATE [rounds] [depth]
#   e.g. keep a copy of build/bench_search before a change, rebuild, then
#        bench/compare_search.sh /tmp/bench_search.before build/bench_search 3
set -euo pipefail

reference=${1:?reference bench_search binary}
candidate=${2:?candidate bench_search binary}
rounds=${3:-3}
depth=${4:-13}
for program in "$reference" "$candidate"; do
  [ -x "$program" ] || { echo "$program is not an executable" >&2; exit 1; }
done
# bench_search reads nothing from the working directory; run from the repository anyway.
cd "$(dirname "$0")/.."

# One run: prints "cputime nodes".
run_once() {
  "$1" "$depth" | awk '/cputime/ {for (i = 1; i < NF; i++) if ($i == "cputime") t = $(i + 1)}
                       /^nodes / {n = $2} END {print t, n}'
}

refTotal=0
candTotal=0
refBest=""
candBest=""
refNodes=""
candNodes=""
printf '%-6s %14s %14s %8s\n' round "reference s" "candidate s" ratio
for ((round = 1; round <= rounds; round++)); do
  read -r refTime refNodes <<<"$(run_once "$reference")"
  read -r candTime candNodes <<<"$(run_once "$candidate")"
  refTotal=$(awk -v a="$refTotal" -v b="$refTime" 'BEGIN {print a + b}')
  candTotal=$(awk -v a="$candTotal" -v b="$candTime" 'BEGIN {print a + b}')
  refBest=$(awk -v a="$refBest" -v b="$refTime" 'BEGIN {print (a == "" || b < a) ? b : a}')
  candBest=$(awk -v a="$candBest" -v b="$candTime" 'BEGIN {print (a == "" || b < a) ? b : a}')
  awk -v r="$round" -v a="$refTime" -v b="$candTime" 'BEGIN {printf "%-6d %14.3f %14.3f %8.3f\n", r, a, b, a / b}'
done
awk -v a="$refTotal" -v b="$candTotal" -v ra="$refBest" -v rb="$candBest" -v n="$rounds" 'BEGIN {
  printf "total  %14.3f %14.3f\n", a, b
  printf "best   %14.3f %14.3f\n", ra, rb
  printf "processor time reference/candidate over %d rounds: %.3f (best runs %.3f)\n", n, a / b, ra / rb }'
echo "signature reference: nodes $refNodes"
echo "signature candidate: nodes $candNodes"
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$refNodes" != "$candNodes" ]; then
  echo "SIGNATURES DIFFER: the candidate searches another tree" >&2
  exit 1
fi
