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
  # compare_search.sh needs two builds to compare; threads_match.sh plays for half an hour
  case "$(basename "$script")" in run.sh | compare_search.sh | threads_match.sh) continue ;; esac
  echo "== $(basename "$script")"
  bash "$script" "$build"
done
echo "== thread_speedup.py"
python3 "$here/thread_speedup.py" "$build"
echo "== analysis.py"
python3 "$here/analysis.py" "$build"
