#!/usr/bin/env bash
# Builds the fuzz target and runs it for the given seconds (default 600),
# seeded with the game files of the tests and examples (and ../shared/data
# where present). New inputs collect in build/fuzz/corpus; a crash is saved
# as build/fuzz/crash-* and ends the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=build/fuzz/corpus
mkdir -p "$corpus"
for seed in tests/data/*.pgn examples/*.pgn ../shared/data/*.pgn; do
  [ -f "$seed" ] && head -c 65536 "$seed" >"$corpus/seed-$(basename "$seed")"
done
build/fuzz/fuzz/table5_fuzz "$corpus" -max_total_time="$seconds" -max_len=65536 \
  -artifact_prefix=build/fuzz/ -print_final_stats=1
