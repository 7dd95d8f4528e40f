# What bench/net_match.sh, bench/search_match.sh and bench/nnue_match.sh share, sourced by each after they have set
# games, limit, seed, concurrency, fastchess and here (the bench folder).
#   matchRounds <sprt elo1>   sets rounds and stop from games (an even number, or sprt: at most
#                             MAXGAMES games, default 2000; ELO0/ELO1 change the bounds) and each
#                             from limit (nodes=<n> or a time control)
#   playMatch <genfens engine> <label> <fastchess words...>   plays in a scratch folder (kept in
#                             KEEP when set) from genfens's openings (or the EPD file OPENINGS),
#                             each with both colours, and prints the result lines and the Elo
#                             difference with its error bar

matchRounds() {
  if [ "$games" = sprt ]; then
    rounds=$(( ${MAXGAMES:-2000} / 2 ))
    stop=(-sprt elo0="${ELO0:-0}" elo1="${ELO1:-$1}" alpha=0.05 beta=0.05)
  else
    [ $((games % 2)) -eq 0 ] && [ "$games" -ge 2 ] || { echo "games must be even: each opening is played with both colours" >&2; exit 1; }
    rounds=$((games / 2))
    stop=()
  fi
  case "$limit" in
    nodes=*) each=(tc=inf "$limit") ;;
    *) each=(tc="$limit") ;;
  esac
}

playMatch() {
  local genfensEngine=$1 label=$2
  shift 2
  # fastchess writes config.json and its game record into the working directory; KEEP is made
  # absolute first, as the match runs elsewhere.
  keep=""
  if [ -n "${KEEP:-}" ]; then mkdir -p "$KEEP" && keep="$(cd "$KEEP" && pwd)"; fi
  scratch="$(mktemp -d)"
  trap '[ -n "$keep" ] && cp "$scratch/games.pgn" "$scratch/match.log" "$keep"/ 2>/dev/null; rm -rf "$scratch"' EXIT
  if [ -n "${OPENINGS:-}" ]; then cp "$(realpath "$OPENINGS")" "$scratch/openings.epd"; fi
  cd "$scratch"
  [ -n "${OPENINGS:-}" ] ||
    "$genfensEngine" "genfens $rounds seed $seed book None" | sed -n 's/^info string genfens //p' >openings.epd
  "$fastchess" "$@" \
    -openings file=openings.epd format=epd order=sequential \
    -repeat -rounds "$rounds" -concurrency "$concurrency" "${stop[@]}" \
    -pgnout file=games.pgn >match.log 2>&1 || { sed 's/\x1b\[[0-9;]*m//g' match.log | tail -20; exit 1; }
  sed 's/\x1b\[[0-9;]*m//g' match.log | grep -E '^(Results of|Elo:|LLR:|Games:|Ptnml)' | tail -5
  sed 's/\x1b\[[0-9;]*m//g' match.log | awk -v label="$label" -v tc="$limit" -f "$here/elo.awk"
}
