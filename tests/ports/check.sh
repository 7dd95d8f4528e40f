#!/usr/bin/env bash
# Checks an engine built for another system or processor, run through an emulator or a
# compatibility layer, against the engine built for this machine:
#   tests/ports/check.sh [--nnue-depth D] [--benches] <reference engine> <runner ...> <engine>
# e.g. tests/ports/check.sh build/kestrune wine build-ports/windows-x86-64/kestrune.exe
#      tests/ports/check.sh build/kestrune qemu-aarch64 build-ports/linux-armv8/kestrune
# Checked: the bench signature (and the Use NNUE one, at depth D, 13 by default, where the
# signature is known, else equal to the reference's), perft 5 from the start, a game position
# searched on a clock through pipes ending in a legal bestmove, a tablebase root probe on
# tests/data/syzygy with a missing directory before it in SyzygyPath, damaged network files
# refused and a good one taken, and datagen and label with two worker processes giving the
# reference's games and lines. --benches checks the two bench signatures alone. Run from anywhere; paths are the
# repository's.
set -uo pipefail
cd "$(dirname "$0")/../.."

BENCHSIGNATURE=11280977
NNUESIGNATURE=11347840
BENCHDEPTH=13
nnueDepth=$BENCHDEPTH
benchesOnly=0
while [ $# -gt 0 ]; do
  case $1 in
    --nnue-depth) nnueDepth=$2; shift 2 ;;
    --benches) benchesOnly=1; shift ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { echo "usage: $0 [--nnue-depth D] [--benches] <reference engine> <runner ...> <engine>"; exit 2; }
reference=$1
shift
engine=("$@")
binary=${engine[$((${#engine[@]} - 1))]}
# Windows separates the directories of SyzygyPath by ';' (its paths hold ':').
separator=':'
case $binary in *.exe) separator=';' ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-ports.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }
# Output without the carriage returns of a Windows engine.
run() { "${engine[@]}" "$@" 2>&1 | tr -d '\r'; }
runScript() { "${engine[@]}" 2>&1 | tr -d '\r'; }

echo "=== ${engine[*]} ($(stat -c %s "$binary") bytes)"
start=$SECONDS
line=$(run bench | grep "Nodes searched")
echo "bench: $line ($((SECONDS - start)) s)"
[[ $line == "Nodes searched  : $BENCHSIGNATURE" ]] && pass "bench signature" || fail "bench signature: $line"
start=$SECONDS
line=$(printf 'setoption name Use NNUE value true\nbench %s\n' "$nnueDepth" | runScript | grep "Nodes searched")
echo "Use NNUE bench $nnueDepth: $line ($((SECONDS - start)) s)"
expected=$NNUESIGNATURE
[ "$nnueDepth" = $BENCHDEPTH ] ||
  expected=$(printf 'setoption name Use NNUE value true\nbench %s\n' "$nnueDepth" | "$reference" | awk '/Nodes searched/ {print $4}')
[[ $line == "Nodes searched  : $expected" ]] && pass "Use NNUE bench signature" || fail "Use NNUE bench: $line, expected $expected"
if [ $benchesOnly = 1 ]; then
  echo "ports: $passed passed, $failed failed"
  [ $failed = 0 ]
  exit
fi

line=$(run perft 5 | grep "Perft results")
echo "perft 5: $line"
[[ $line == *" 4865609 "* ]] && pass "perft 5" || fail "perft 5: $line"

# An engine talked to through pipes, as a GUI does: start, send, await a reply, quit.
start() { coproc ENGINE { "$@" 2>/dev/null; }; }
send() { echo "$1" >&"${ENGINE[1]}"; }
# Reads lines until one starts with $1; the line is left in $reply, every line read in $seen.
await() {
  reply=""
  seen=""
  while IFS= read -r -t 120 reply <&"${ENGINE[0]}"; do
    reply=${reply%$'\r'}
    seen+="$reply"$'\n'
    [[ $reply == "$1"* ]] && return 0
  done
  return 1
}
finish() {
  send quit
  wait "$ENGINE_PID" 2>/dev/null
}

# A game position searched on the clock.
moves="e2e4 c7c5 g1f3 d7d6 d2d4 c5d4 f3d4 g8f6 b1c3 a7a6"
start "${engine[@]}"
send uci
await uciok && pass "uci handshake" || fail "uci handshake"
send isready
await readyok && pass "isready" || fail "isready"
send "position startpos moves $moves"
send "go wtime 4000 btime 4000 winc 50 binc 50"
if await bestmove; then
  best=$(echo "$reply" | awk '{print $2}')
  echo "search: $(echo "$seen" | grep "score" | tail -n 1)"
  echo "search: $reply"
  check=$("$reference" position startpos moves $moves "$best" | grep -c "info string")
  [ "$check" = 0 ] && [ -n "$best" ] && pass "bestmove $best is legal" || fail "bestmove '$best' is not legal"
else
  fail "no bestmove"
fi
finish
status=$?
[ $status = 0 ] && pass "quit ends with status 0" || fail "quit ended with status $status"

# Tablebases: the root probe of a won ending, as the reference answers it.
probe() {
  start "${@:2}"
  send "setoption name SyzygyPath value $1"
  send "position fen 8/8/8/8/8/4k3/8/KR6 w - - 0 1"
  send "go depth 5"
  await bestmove
  finish
  echo "$seen" | grep -E "^Found|tbhits"
}
found=$(probe "missing-directory${separator}tests/data/syzygy" "${engine[@]}")
expected=$(probe "missing-directory:tests/data/syzygy" "$reference")
echo "tablebases: $(echo "$found" | tr '\n' ' ')"
[ -n "$found" ] && [ "$found" = "$expected" ] && pass "tablebase probe" || fail "tablebase probe: '$found', expected '$expected'"

# Network files: a damaged one and a table file are refused, the committed network is taken.
head -c 100000 nets/kestrune.nnue > "$work/truncated.nnue"
answers=$(printf 'setoption name EvalFile value %s\nsetoption name EvalFile value %s\nsetoption name EvalFile value %s\neval\n' \
  "$work/truncated.nnue" tests/data/syzygy/KRvK.rtbw nets/kestrune.nnue | runScript | grep "EvalFile")
echo "$answers"
[ "$(echo "$answers" | grep -c "refused: ")" = 2 ] && pass "damaged EvalFile refused" || fail "damaged EvalFile not refused"
echo "$answers" | grep -q "EvalFile set to : nets/kestrune.nnue" && pass "EvalFile taken" || fail "EvalFile not taken"

# Two worker processes (forked, or started afresh where the system cannot fork) play the
# reference's games.
datagen="datagen games 4 nodes 1000 seed 3 threads 2 out"
run $datagen "$work/port.pgn" | grep "info string datagen games"
"$reference" $datagen "$work/reference.pgn" >/dev/null
if [ -s "$work/reference.pgn" ] && tr -d '\r' < "$work/port.pgn" | cmp -s - "$work/reference.pgn"; then
  pass "datagen with two workers"
else
  fail "datagen with two workers differs from the reference"
fi
ls "$work"/port.pgn.part* >/dev/null 2>&1 && fail "datagen left its parts behind"

# label's two worker processes likewise give the reference's lines and counts.
label="tests/data/nnue-train-sample.txt variants 1 seed 3 threads 2"
counts=$(run label "$work/port.txt" $label | grep "info string label lines")
echo "$counts"
expectedCounts=$("$reference" label "$work/reference.txt" $label | grep "info string label lines")
if [ -s "$work/reference.txt" ] && tr -d '\r' < "$work/port.txt" | cmp -s - "$work/reference.txt" &&
  [ "${counts% seconds *}" = "${expectedCounts% seconds *}" ]; then
  pass "label with two workers"
else
  fail "label with two workers differs from the reference"
fi
ls "$work"/port.txt.part* >/dev/null 2>&1 && fail "label left its parts behind"

echo "ports: $passed passed, $failed failed"
[ $failed = 0 ]
