#!/usr/bin/env bash
# The main job: builds the q407 command and the ASIO driver library (release) and runs q407 demo
# on a virtual Q407 LX whose outputs are looped back to its inputs. Arguments are passed to
# `q407 demo` (--fast, --json, --plot FILE.png, --seconds, --rate, --latency, --buffers, ...).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "=== building q407 (release)" >&2
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target q407 Q407Asio >/dev/null

echo "=== q407 demo $*" >&2
exec build/release/tools/q407 demo "$@"
