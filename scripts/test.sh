#!/usr/bin/env bash
# Builds from scratch and runs every test. Every preset runs even when an earlier one fails; each
# preset's result is printed, then the closing count line. Exit status is non-zero on any failure.
#   Q407_PRESETS="release tsan" bash scripts/test.sh   (default: asan tsan fuzz windows)
# The fuzz preset has no tests of its own: each fuzz_* target runs Q407_FUZZ_RUNS (100000) inputs
# from its seed corpus and a fixed seed instead, so the run repeats; any crash fails it.
# The windows preset cross-builds the Windows images; scripts/windows_checks.sh checks them.
set -uo pipefail
cd "$(dirname "$0")/.."

# tshark decodes the USB captures in the tests; the mingw-w64 and signing packages build and check
# the Windows images; Wine's winelib tools, Xvfb, xdotool and imagemagick build the Win32 programs
# for the bench and run their tests (asan preset; the tsan preset leaves them out), Pillow and the
# DejaVu fonts draw their pictures.
bash scripts/setup.sh tshark g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 \
  wine64 osslsigncode openssl wine64-tools libwine-dev xvfb xauth imagemagick xdotool python3-pil \
  fonts-dejavu-core || exit 1

presets=${Q407_PRESETS:-"asan tsan fuzz windows"}
jobs=$(nproc)
passed=0
failed=0
results=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs one preset; its status is that of the first step that failed.
run_preset() {
  local preset=$1
  echo "=== preset $preset: configure and build"
  rm -rf "build/$preset"
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" -j "$jobs" || return 1
  if [ "$preset" = windows ]; then
    bash scripts/windows_checks.sh "build/$preset"
    return
  fi
  if [ "$preset" = fuzz ]; then
    Q407_FUZZ_RUNS=${Q407_FUZZ_RUNS:-100000} bash scripts/fuzz_smoke.sh
    return
  fi
  echo "=== preset $preset: tests"
  : >"$log"
  ctest --preset "$preset" -j "$jobs" | tee "$log"
  local status=$?
  local counts f total
  counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
  if [ -n "$counts" ]; then
    read -r f total <<<"$counts"
    failed=$((failed + f))
    passed=$((passed + total - f))
  fi
  return "$status"
}

bad=0
for preset in $presets; do
  if run_preset "$preset"; then
    results+=("$preset: passed")
  else
    results+=("$preset: FAILED")
    bad=1
  fi
done
echo "=== results"
for r in "${results[@]}"; do echo "$r"; done
echo "tests: $passed passed, $failed failed"
exit "$bad"
