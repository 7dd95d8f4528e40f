#!/usr/bin/env bash
# Perft speed against Debian's stockfish on the same positions (standard chess, then Chess960), one
# thread each, and the time from launch to the answer of a one-shot `kestrune perft 1`.
# Usage: bench/perft_vs_stockfish.sh [build directory]
set -euo pipefail
build=${1:-build}
engine="$build/kestrune"
[ -x "$engine" ] || { echo "build the engine first ($engine missing)"; exit 1; }

stockfish=$(command -v stockfish || true)
[ -n "$stockfish" ] || stockfish=/usr/games/stockfish
if [ ! -x "$stockfish" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq stockfish >/dev/null
fi

[ -x /usr/bin/time ] || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null; }

now_ns() { date +%s%N; }

# Processor time (user + system, microseconds) of a UCI script fed to a program, and the line
# matching a pattern. Processor time, not wall time, so that a busy machine disturbs the ratio less.
run_timed() {
  local program=$1 script=$2 pattern=$3 output cpu
  output=$(printf '%b' "$script" | /usr/bin/time -f 'cpu %U %S' -o /tmp/perft_bench_time.$$ "$program" 2>/dev/null |
    grep -m1 -E "$pattern" || true)
  cpu=$(awk '/^cpu/ {printf "%d", ($2 + $3) * 1000000}' /tmp/perft_bench_time.$$)
  rm -f /tmp/perft_bench_time.$$
  echo "$cpu $output"
}

positions=(
  "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1|6|119060324"
  "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1|5|193690690"
)
# Chess960 (Shredder-FEN castling fields), both engines with UCI_Chess960 set.
positions960=(
  "qbrnbkrn/pppppppp/8/8/8/8/PPPPPPPP/QBRNBKRN w GCgc - 0 1|6|116131133"
  "bqrbnrk1/ppp1pppp/7n/3p4/8/P2P3P/1PP1PPP1/BQRBNKNR w HC - 0 4|6|68065446"
)

# One table row per "FEN|depth|count" entry; the first argument is sent to both engines first.
perft_table() {
  local setup=$1 entry fen depth count us ours_us ours_line sf_us sf_line ours_nodes sf_nodes
  shift
  printf '%-14s %6s %12s %12s %12s %7s\n' position depth nodes "ours Mnps" "sf Mnps" ratio
  for entry in "$@"; do
    IFS='|' read -r fen depth count <<<"$entry"
    # the best of three alternating runs of each: a shared machine only ever slows a run down
    ours_us=0 sf_us=0
    for _ in 1 2 3; do
      read -r us ours_line <<<"$(run_timed "$engine" "${setup}position fen $fen\nperft $depth\nquit\n" '^Perft results')"
      ours_us=$(least "$ours_us" "$us")
      read -r us sf_line <<<"$(run_timed "$stockfish" "${setup}position fen $fen\ngo perft $depth\nquit\n" '^Nodes searched')"
      sf_us=$(least "$sf_us" "$us")
    done
    ours_nodes=$(echo "$ours_line" | awk '{print $6}')
    sf_nodes=$(echo "$sf_line" | awk '{print $3}')
    [ "$ours_nodes" = "$count" ] || echo "WRONG COUNT: ours $ours_nodes, expected $count"
    [ "$sf_nodes" = "$count" ] || echo "WRONG COUNT: stockfish $sf_nodes, expected $count"
    ours_us=$((ours_us > ours_startup + 1000 ? ours_us - ours_startup : ours_us))
    sf_us=$((sf_us > sf_startup + 1000 ? sf_us - sf_startup : sf_us))
    awk -v f="${fen:0:12}.." -v d="$depth" -v n="$count" -v a="$ours_us" -v b="$sf_us" 'BEGIN {
      printf "%-14s %6d %12d %12.1f %12.1f %7.2f\n", f, d, n, n / a, n / b, b / a }'
  done
}

# Each engine's start-up (our magic search, Stockfish's network) is taken off its perft times:
# the best of five runs that only start and quit.
# The smaller of a best-so-far (0: none yet) and a new time.
least() { if [ "$1" -eq 0 ] || [ "$2" -lt "$1" ]; then echo "$2"; else echo "$1"; fi; }

startup_us() {
  local best=0 us
  for _ in 1 2 3 4 5; do
    read -r us _ <<<"$(run_timed "$1" "${2}quit\n" 'nothing')"
    best=$(least "$best" "$us")
  done
  echo "$best"
}
ours_startup=$(startup_us "$engine" "")
sf_startup=$(startup_us "$stockfish" "uci\nisready\n")
echo "start-up processor time taken off: ours $((ours_startup / 1000)) ms, stockfish $((sf_startup / 1000)) ms"
echo "nodes per processor-second, one thread each (best of three alternating runs)"
perft_table "" "${positions[@]}"
echo "Chess960, the same way (UCI_Chess960 true for both)"
perft_table "setoption name UCI_Chess960 value true\n" "${positions960[@]}"

samples=()
for _ in 1 2 3 4 5 6 7; do
  start=$(now_ns); "$engine" perft 1 >/dev/null; end=$(now_ns)
  samples+=($(( (end - start) / 1000000 )))
done
sorted=$(printf '%s\n' "${samples[@]}" | sort -n | tr '\n' ' ')
read -r cpu_us _ <<<"$(run_timed "$engine" "perft 1\nquit\n" '^Perft results')"
echo "processor time of a start-up with 'perft 1' (both magic-search threads): $((cpu_us / 1000)) ms"
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "launch to answer of 'kestrune perft 1' (ms, 7 runs sorted): $sorted(median $(printf '%s\n' "${samples[@]}" | sort -n | sed -n 4p) ms, target < 100)"
