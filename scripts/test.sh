#!/usr/bin/env bash
# Builds from scratch and runs every test. Exit status is non-zero on any failure.
#   Q407_PRESETS="release asan tsan" bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=${Q407_PRESETS:-"release asan"}
jobs=$(nproc)

for preset in $presets; do
  echo "=== preset $preset: configure and build"
  rm -rf "build/$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== preset $preset: tests"
  ctest --preset "$preset" -j "$jobs"
done
