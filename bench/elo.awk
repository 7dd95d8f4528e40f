# Reads fastchess's last "Games:" line and prints the score and the Elo difference of the first
# engine with its 95% error bar (normal approximation over the single game results).
# Variables: label (what the first engine is, as "2 threads against 1"), tc.
/^Games:/ { line = $0 }
END {
  gsub(",", "", line); n = split(line, f, " ")
  for (i = 1; i < n; i++) { if (f[i] == "Wins:") w = f[i + 1]; if (f[i] == "Losses:") l = f[i + 1]; if (f[i] == "Draws:") d = f[i + 1] }
  n = w + l + d
  if (n == 0) { print "no games finished"; exit 1 }
  s = (w + d / 2) / n
  var = (w * (1 - s) ^ 2 + d * (0.5 - s) ^ 2 + l * s ^ 2) / n
  half = 1.96 * sqrt(var / n)
  lo = s - half; hi = s + half
  if (lo < 0.001) lo = 0.001
  if (hi > 0.999) hi = 0.999
  elo = (s > 0 && s < 1) ? -400 * log(1 / s - 1) / log(10) : (s >= 1 ? 1e9 : -1e9)
  eloLo = -400 * log(1 / lo - 1) / log(10)
  eloHi = -400 * log(1 / hi - 1) / log(10)
  printf "%s at %s: %d games, +%d -%d =%d, score %.1f/%d (%.1f%%)\n", label, tc, n, w, l, d, w + d / 2, n, 100 * s
  if (s > 0 && s < 1) printf "Elo difference %+.0f, 95%% interval %+.0f to %+.0f (about +/- %.0f)\n", elo, eloLo, eloHi, (eloHi - eloLo) / 2
  else printf "Elo difference unbounded (every game won or lost), 95%% interval from %+.0f\n", (s >= 1 ? eloLo : eloHi)
}
