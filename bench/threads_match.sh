#!/usr/bin/env bash
# What the second search thread is worth: Kestrune with 2 threads plays Kestrune with 1 thread
# under the fastchess match manager, from balanced random openings each played with both
# colours, and the script prints the score and the Elo difference with its 95% error bar.
# Speed work that touches shared state (the table, counters) must not cost the threads their gain.
#
# Usage: bench/threads_match.sh [build-directory] [games] [time-control] [seed]
#   defaults: build, 60 games, 10+0.1 (seconds + increment), seed 1. 60 games at 10+0.1 take
#   about half an hour; one game at a time, so that the two threads have both processors.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
games="${2:-60}"
tc="${3:-10+0.1}"
seed="${4:-1}"
fastchess="${FASTCHESS:-$here/../../shared/tools/fastchess/fastchess}"

for program in kestrune make_positions; do
  [ -x "$build/$program" ] || { echo "no $build/$program: build the project first" >&2; exit 1; }
done
[ -x "$fastchess" ] || { echo "no match manager at $fastchess (set FASTCHESS)" >&2; exit 1; }
if [ $((games % 2)) -ne 0 ] || [ "$games" -lt 2 ]; then
  echo "games must be even: each opening is played with both colours" >&2
  exit 1
fi

# fastchess writes config.json and its game record into the working directory.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$build/make_positions" random $((games / 2)) 6 "$seed" >openings.epd

"$fastchess" \
  -engine cmd="$build/kestrune" name=threads2 option.Threads=2 \
  -engine cmd="$build/kestrune" name=threads1 option.Threads=1 \
  -each tc="$tc" option.Hash=64 \
  -openings file=openings.epd format=epd order=sequential \
  -repeat -rounds $((games / 2)) -concurrency 1 \
  -pgnout file=games.pgn >match.log 2>&1 || { sed 's/\x1b\[[0-9;]*m//g' match.log | tail -20; exit 1; }

sed 's/\x1b\[[0-9;]*m//g' match.log | grep -E '^(Results of|Elo:|Games:|Ptnml)' | tail -4
sed 's/\x1b\[[0-9;]*m//g' match.log | awk -v label="2 threads against 1" -v tc="$tc" -f "$here/elo.awk"
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
