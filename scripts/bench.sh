#!/usr/bin/env bash
# Builds the benchmarks with the release preset (the one that turns them on)
# and runs them, or the ones named (e.g. scripts/bench.sh LockBench). Extra
# Google Benchmark flags go after "--". Each program ends with its summary of
# figures against their baselines; the script fails if any program does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release --log-level=WARNING >/dev/null
names=()
while [[ $# -gt 0 && "$1" != "--" ]]; do names+=("$1"); shift; done
[[ "${1:-}" == "--" ]] && shift
[[ ${#names[@]} -eq 0 ]] && names=(LockBench StringBench WatcherBench)
cmake --build --preset release --target "${names[@]}"
failed=()
for name in "${names[@]}"; do
  echo "=== $name"
  build/release/bench/"$name" "$@" || failed+=("$name")
done
if [[ ${#failed[@]} -ne 0 ]]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
