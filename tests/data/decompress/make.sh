#!/usr/bin/env bash
# Makes the compressed fixtures of the decompression tests from games.pgn (18 self-play games) with
# Debian's xz (5.4.1) and gzip (1.12); the files are committed, so the tests need neither tool.
set -euo pipefail
cd "$(dirname "$0")"
# text, 16000 incompressible bytes, text again: LZMA2 writes an uncompressed chunk between two
# compressed ones and deflate a stored block between two coded ones
python3 -c "
import random
r = random.Random(28)
text = open('games.pgn', 'rb').read()
open('mixed.bin', 'wb').write(text[:16000] + bytes(r.getrandbits(8) for _ in range(16000)) + text[-16000:])
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
xz -c mixed.bin >mixed.bin.xz
xz -c </dev/null >empty.xz
# a filter this reader refuses
xz --x86 --lzma2 -c games.pgn >games-x86.pgn.xz

gzip -n -c games.pgn >games.pgn.gz
gzip -9 -n -c games.pgn >games-9.pgn.gz
gzip -1 -n -c games.pgn >games-1.pgn.gz
# the file's name in the header, as gzip writes it for a file
cp games.pgn /tmp/games-named.pgn && gzip -f /tmp/games-named.pgn && mv /tmp/games-named.pgn.gz games-named.pgn.gz
# two members
head -c 20000 games.pgn | gzip -n -c >games-two.pgn.gz
tail -c +20001 games.pgn | gzip -n -c >>games-two.pgn.gz
gzip -n -c mixed.bin >mixed.bin.gz
gzip -n -c </dev/null >empty.gz
