#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan + UBSan) and runs each for the given number of seconds:
#   tests/fuzz/run.sh <seconds> [fuzz_commands|fuzz_tablebase|fuzz_nnue|fuzz_decompress|fuzz_convert ...]
# Fails when a target finds a crash; the crashing input is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_commands fuzz_tablebase fuzz_nnue fuzz_decompress fuzz_convert)
build=${FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"
mkdir -p "$build/artifacts"

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  case $target in
    fuzz_commands)
      cp -n tests/fuzz/corpus_commands/* "$corpus"/
      extra=(-dict=tests/fuzz/commands.dict -max_len=2048)
      ;;
    fuzz_tablebase)
      # Seeds: every real table of the target's materials, behind its two selector bytes.
      i=0
      for m in KRvK KQvK KPvK KBNvK KRvKR KQvKR KPvKP KRPvK KBvKP KNNvK KBvKB KQvKQ; do
        for kind in 0 1; do
          ext=$([ $kind = 0 ] && echo rtbw || echo rtbz)
          seed="$corpus/seed-$m.$ext"
          [ -f "$seed" ] || { printf "\\x$(printf %02x $i)\\x$(printf %02x $kind)"; cat "tests/data/syzygy/$m.$ext"; } >"$seed"
        done
        i=$((i + 1))
      done
      extra=(-max_len=160000)
      ;;
    fuzz_nnue)
      # Seeds: the built-in network and the test network behind each selector byte.
      for net in nets/kestrune.nnue tests/data/nnue-test.nnue tests/data/nnue-test-buckets.nnue; do
        for selector in 0 1 2; do
          seed="$corpus/seed-$(basename "$net" .nnue)-$selector"
          [ -f "$seed" ] || { printf "\\x0$selector"; cat "$net"; } >"$seed"
        done
      done
      extra=(-max_len=400000)
      ;;
    fuzz_decompress)
      # Seeds: every compressed file of the decompression tests behind each selector byte.
      for file in tests/data/decompress/*.xz tests/data/decompress/*.gz; do
        for selector in 0 1 2 3; do
          seed="$corpus/seed-$(basename "$file")-$selector"
          [ -f "$seed" ] || { printf "\\x0$selector"; cat "$file"; } >"$seed"
        done
      done
      extra=(-max_len=65536)
      ;;
    fuzz_convert)
      # Seeds: the test games (SAN, UCI, the filters) behind each selector byte.
      for game in tests/data/convert-*.pgn; do
        for selector in 0 1; do
          seed="$corpus/seed-$(basename "$game" .pgn)-$selector"
          [ -f "$seed" ] || { printf "\\x0$selector"; cat "$game"; } >"$seed"
        done
      done
      extra=(-dict=tests/fuzz/pgn.dict -max_len=65536)
      ;;
    *) extra=() ;;
  esac
  log="$build/$target.log"
  echo "fuzzing $target for $seconds s (log: $log)"
  if ! "$build/$target" "$corpus" "${extra[@]}" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
    echo "$target FAILED:"
    grep -A40 -m1 "ERROR\|runtime error\|deadly signal\|timeout" "$log" || tail -40 "$log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" "$log" | sed "s/^/  $target /"
    grep -E "^Done [0-9]+ runs" "$log" | sed "s/^/  $target /" || true
  fi
done
exit $status
