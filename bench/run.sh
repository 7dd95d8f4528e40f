#!/usr/bin/env bash
# Runs every benchmark: the bench_* programs of the build and the comparison scripts.
set -uo pipefail
build=${1:-build}
here=$(dirname "$0")
for program in "$build"/bench_*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  (cd "$here/.." && "$program")
done
for script in "$here"/*.sh; do
  [ "$(basename "$script")" = run.sh ] && continue
  echo "== $(basename "$script")"
  bash "$script" "$build"
done
echo "== thread_speedup.py"
python3 "$here/thread_speedup.py" "$build"
echo "== analysis.py"
python3 "$here/analysis.py" "$build"
