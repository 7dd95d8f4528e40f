#!/usr/bin/env bash
# Makes the compressed fixtures of the decompression tests from games.pgn (18 self-play games) with
# Debian's xz (5.4.1) and gzip (1.12); the files are committed, so the tests need neither tool.
set -euo pipefail
cd "$(dirname "$0")"
# Text, 140000 bytes of noise, text again: LZMA2 writes a compressed chunk, an uncompressed one
# and a compressed one after it, deflate stored blocks between coded ones. The noise comes from a
# 64-bit LCG that the tests repeat, so mixed.bin itself is not kept.
python3 -c "
state, noise = 28, bytearray()
for _ in range(140000):
    state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
    noise.append(state >> 56)
text = open('games.pgn', 'rb').read()
open('/tmp/mixed.bin', 'wb').write(text[:20000] + bytes(noise) + text[-20000:])
"
xz -c games.pgn >games.pgn.xz
xz -9e -c games.pgn >games-9e.pgn.xz
xz -0 -c games.pgn >games-0.pgn.xz
xz --check=crc32 -c games.pgn >games-crc32.pgn.xz
xz --check=none -c games.pgn >games-none.pgn.xz
xz --check=sha256 -c games.pgn >games-sha256.pgn.xz
xz -T2 --block-size=8KiB -c games.pgn >games-blocks.pgn.xz
# a 4 KiB dictionary is passed many times over; other literal and position contexts
xz --lzma2=preset=6,dict=4KiB,lc=1,lp=3,pb=4 -c games.pgn >games-dict4k.pgn.xz
xz --lzma2=preset=6,lc=4,lp=0,pb=0 -c games.pgn >games-lc4.pgn.xz
# two streams, the second after four bytes of stream padding
head -c 20000 games.pgn | xz -c >games-two.pgn.xz
head -c 4 /dev/zero >>games-two.pgn.xz
tail -c +20001 games.pgn | xz -c >>games-two.pgn.xz
xz -c /tmp/mixed.bin >mixed.bin.xz
xz -c </dev/null >empty.xz
# a filter this reader refuses
xz --x86 --lzma2 -c games.pgn >games-x86.pgn.xz

gzip -n -c games.pgn >games.pgn.gz
gzip -9 -n -c games.pgn >games-9.pgn.gz
gzip -1 -n -c games.pgn >games-1.pgn.gz
# the file's name in the header, as gzip writes it for a file
cp games.pgn /tmp/games-named.pgn && touch -d @1700000000 /tmp/games-named.pgn && gzip -f /tmp/games-named.pgn && mv /tmp/games-named.pgn.gz games-named.pgn.gz
# two members
head -c 20000 games.pgn | gzip -n -c >games-two.pgn.gz
tail -c +20001 games.pgn | gzip -n -c >>games-two.pgn.gz
gzip -n -c /tmp/mixed.bin >mixed.bin.gz
gzip -n -c </dev/null >empty.gz
