#!/usr/bin/env bash
# Runs every built fuzz target from its seed corpus; fails on the first crash, leak or time-out.
# New inputs go to a scratch directory, never into the seed corpus.
#   bash scripts/fuzz_smoke.sh [seconds per target]
# With Q407_FUZZ_RUNS=N each target instead runs N inputs from a fixed seed, so that a run repeats
# exactly (the test command uses this), but for at most Q407_FUZZ_CAP seconds (30), so that one slow
# target cannot take the whole run's time.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-15}
bin=build/fuzz/fuzz
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

found=0
for target in "$bin"/fuzz_*; do
  [ -x "$target" ] && [ -f "$target" ] || continue
  found=1
  name=$(basename "$target")
  subject=${name#fuzz_}
  mkdir -p "$scratch/$subject"
  seeds=()
  [ -d "fuzz/corpus/$subject" ] && seeds=("fuzz/corpus/$subject")
  if [ -n "${Q407_FUZZ_RUNS:-}" ]; then
    budget=(-runs="$Q407_FUZZ_RUNS" -seed=1 -max_total_time="${Q407_FUZZ_CAP:-30}")
    echo "=== fuzz $name: $Q407_FUZZ_RUNS runs, at most ${Q407_FUZZ_CAP:-30}s"
  else
    budget=(-max_total_time="$seconds")
    echo "=== fuzz $name: ${seconds}s"
  fi
  if ! "$target" "${budget[@]}" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/$name-" -print_final_stats=1 \
      "$scratch/$subject" "${seeds[@]}" >"$scratch/$name.log" 2>&1; then
    tail -n 60 "$scratch/$name.log"
    echo "fuzz $name failed; inputs in $artifacts" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$scratch/$name.log" || true
done
if [ "$found" = 0 ]; then
  echo "no fuzz targets in $bin" >&2
  exit 1
fi
