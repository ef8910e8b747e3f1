#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them (or the ones named, e.g.
# scripts/bench.sh LockBench). Extra Google Benchmark flags go after "--".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release --log-level=WARNING >/dev/null
cmake --build --preset release >/dev/null
names=()
while [[ $# -gt 0 && "$1" != "--" ]]; do names+=("$1"); shift; done
[[ "${1:-}" == "--" ]] && shift
if [[ ${#names[@]} -eq 0 ]]; then
  mapfile -t names < <(find build/release/bench -maxdepth 1 -type f -executable -printf '%f\n' | sort)
fi
for name in "${names[@]}"; do
  echo "=== $name"
  build/release/bench/"$name" "$@"
done
