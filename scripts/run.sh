#!/usr/bin/env bash
# The main job: builds the q407 command (release) and runs the loopback check on a virtual
# Q407 LX. Arguments are passed to `q407 loopback`; without any it runs 30 s at 48 kHz,
# latency 256, 4 USB buffers.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "=== building q407 (release)" >&2
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target q407 >/dev/null

if [ $# -eq 0 ]; then
  set -- --seconds 30 --rate 48000 --latency 256 --buffers 4
fi
echo "=== q407 loopback $*" >&2
exec build/release/tools/q407 loopback "$@"
