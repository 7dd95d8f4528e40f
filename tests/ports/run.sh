#!/usr/bin/env bash
# Builds the engine for other systems and processors and checks each here against this machine's
# engine (REFERENCE, default build/kestrune, built when missing): the Windows x86-64 .exe under
# wine, the Linux ARM64 engine under qemu-aarch64, and the Linux x86-64 engine (any 64-bit x86)
# under qemu-x86_64 emulating a processor without AVX2 (Nehalem), where an AVX2 instruction must
# stop a program. Each is built as make release builds it, into build-ports/<os>-<arch>. Needs
# Debian's g++-mingw-w64-x86-64, wine, g++-aarch64-linux-gnu and qemu-user. NNUEDEPTH (default
# 11) is the depth of the Use NNUE bench on the emulated Nehalem, the slowest of the checks.
set -euo pipefail
cd "$(dirname "$0")/../.."
reference=${REFERENCE:-build/kestrune}
[ -x "$reference" ] || make --no-print-directory build TARGET=kestrune
export WINEDEBUG=-all

for target in windows-x86-64 linux-armv8 linux-x86-64; do
  start=$SECONDS
  make --no-print-directory build OS=${target%%-*} ARCH=${target#*-} BUILD=build-ports/$target PGO=0 TARGET=kestrune \
    RELEASE_BUILD=ON >/dev/null
  echo "built $target in $((SECONDS - start)) s"
done

# Each check's closing line "ports: P passed, F failed" is added to the totals.
passed=0
failed=0
check() {
  local start=$SECONDS counts
  tests/ports/check.sh "$@" | tee build-ports/check.log || true
  counts=$(tail -n 1 build-ports/check.log | sed -n 's/^ports: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p')
  [ -n "$counts" ] || counts="0 1"
  passed=$((passed + ${counts% *}))
  failed=$((failed + ${counts#* }))
  echo "(checked in $((SECONDS - start)) s)"
}
check "$reference" wine build-ports/windows-x86-64/kestrune.exe
check "$reference" qemu-aarch64 build-ports/linux-armv8/kestrune
check --benches --nnue-depth "${NNUEDEPTH:-11}" "$reference" qemu-x86_64 -cpu Nehalem build-ports/linux-x86-64/kestrune

# The emulated processor really lacks AVX2: a program of one AVX2 addition stops there.
cat > build-ports/avx2.cpp <<'CODE'
#include <immintrin.h>
int main(int argc, char**) {
    __m256i v = _mm256_set1_epi32(argc);
    v = _mm256_add_epi32(v, v);
    return _mm256_extract_epi32(v, 0) == 2 * argc ? 0 : 1;
}
CODE
g++ -O0 -mavx2 build-ports/avx2.cpp -o build-ports/avx2
if sh -c 'qemu-x86_64 -cpu Nehalem build-ports/avx2; status=$?; exit $status' 2>/dev/null; then
  echo "FAILED: an AVX2 instruction ran on the emulated Nehalem"
  failed=$((failed + 1))
else
  echo "ok: an AVX2 instruction stops the emulated Nehalem"
  passed=$((passed + 1))
fi
echo "ports: $passed passed, $failed failed"
[ $failed = 0 ]
