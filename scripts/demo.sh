#!/usr/bin/env bash
# Builds the library and its demo in release mode and runs the demo; any
# arguments are passed on to it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release --log-level=WARNING >/dev/null
cmake --build --preset release --target talvorn-watch >/dev/null
exec build/release/examples/talvorn-watch "$@"
