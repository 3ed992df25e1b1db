#!/usr/bin/env bash
# Builds from scratch and runs every test. Exit status is non-zero on any failure.
#   Q407_PRESETS="debug fuzz" bash scripts/test.sh   (default: release asan tsan)
# The fuzz preset has no tests of its own: each fuzz_* target runs for Q407_FUZZ_SECONDS (15)
# from its seed corpus instead, and any crash fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=${Q407_PRESETS:-"release asan tsan"}
jobs=$(nproc)

for preset in $presets; do
  echo "=== preset $preset: configure and build"
  rm -rf "build/$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = fuzz ]; then
    bash scripts/fuzz_smoke.sh "${Q407_FUZZ_SECONDS:-15}"
    continue
  fi
  echo "=== preset $preset: tests"
  ctest --preset "$preset" -j "$jobs"
done
