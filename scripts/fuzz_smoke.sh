#!/usr/bin/env bash
# Runs every built fuzz target from its seed corpus, as many at once as there are cores; fails when
# any target finds a crash, a leak or a time-out.
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

# One target: its own scratch corpus and log; the log is shown when it fails.
run_target() {
  local target=$1 name subject seeds budget
  name=$(basename "$target")
  subject=${name#fuzz_}
  mkdir -p "$scratch/$subject"
  seeds=()
  [ -d "fuzz/corpus/$subject" ] && seeds=("fuzz/corpus/$subject")
  if [ -n "${Q407_FUZZ_RUNS:-}" ]; then
    budget=(-runs="$Q407_FUZZ_RUNS" -seed=1 -max_total_time="${Q407_FUZZ_CAP:-30}")
  else
    budget=(-max_total_time="$seconds")
  fi
  if ! "$target" "${budget[@]}" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/$name-" -print_final_stats=1 \
      "$scratch/$subject" "${seeds[@]}" >"$scratch/$name.log" 2>&1; then
    tail -n 60 "$scratch/$name.log"
    echo "fuzz $name failed; inputs in $artifacts" >&2
    return 1
  fi
  echo "=== fuzz $name: $(grep -E '^stat::number_of_executed_units' "$scratch/$name.log" | tr -s ' ')"
}
export -f run_target
export scratch artifacts seconds

targets=()
for target in "$bin"/fuzz_*; do
  [ -x "$target" ] && [ -f "$target" ] && targets+=("$target")
done
if [ ${#targets[@]} = 0 ]; then
  echo "no fuzz targets in $bin" >&2
  exit 1
fi
if [ -n "${Q407_FUZZ_RUNS:-}" ]; then
  echo "=== fuzz: ${#targets[@]} targets, $Q407_FUZZ_RUNS runs each, at most ${Q407_FUZZ_CAP:-30}s"
else
  echo "=== fuzz: ${#targets[@]} targets, ${seconds}s each"
fi
# Each target is one process on one core: run as many at once as there are cores.
printf '%s\n' "${targets[@]}" | xargs -P "${Q407_FUZZ_JOBS:-$(nproc)}" -I{} bash -c 'run_target "$1"' _ {}
