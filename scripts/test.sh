#!/usr/bin/env bash
# Builds from scratch and runs every test. Exit status is non-zero on any failure.
#   Q407_PRESETS="debug tsan" bash scripts/test.sh   (default: release asan tsan fuzz windows)
# The fuzz preset has no tests of its own: each fuzz_* target runs Q407_FUZZ_RUNS (100000) inputs
# from its seed corpus and a fixed seed instead, so the run repeats; any crash fails it.
# The windows preset cross-builds the Windows images; scripts/windows_checks.sh checks them.
set -euo pipefail
cd "$(dirname "$0")/.."

# tshark decodes the USB captures in the tests; the rest builds and checks the Windows images.
bash scripts/setup.sh tshark g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 \
  wine64 osslsigncode openssl

presets=${Q407_PRESETS:-"release asan tsan fuzz windows"}
jobs=$(nproc)
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

for preset in $presets; do
  echo "=== preset $preset: configure and build"
  rm -rf "build/$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = windows ]; then
    bash scripts/windows_checks.sh "build/$preset"
    continue
  fi
  if [ "$preset" = fuzz ]; then
    Q407_FUZZ_RUNS=${Q407_FUZZ_RUNS:-100000} bash scripts/fuzz_smoke.sh
    continue
  fi
  echo "=== preset $preset: tests"
  ctest --preset "$preset" -j "$jobs" | tee "$log"
  counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
  if [ -n "$counts" ]; then
    read -r f total <<<"$counts"
    failed=$((failed + f))
    passed=$((passed + total - f))
  fi
done
echo "=== presets run: $presets"
echo "tests: $passed passed, $failed failed"
