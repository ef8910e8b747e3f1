#!/usr/bin/env bash
# Builds and runs every test from scratch or incrementally:
#   dev   unit and package tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan  unit tests under ThreadSanitizer (halt_on_error)
#   fuzz  the libFuzzer targets, each for a bounded time, under clang
# Exits non-zero if any step of any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

presets=(dev tsan)
[[ -f fuzz/CMakeLists.txt ]] && presets+=(fuzz)

failed=()
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure, build, test"
  if cmake --preset "$preset" --log-level=WARNING >/dev/null &&
     cmake --build --preset "$preset" &&
     ctest --preset "$preset"; then
    echo "=== ${preset}: passed"
  else
    echo "=== ${preset}: FAILED"
    failed+=("$preset")
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test suites passed: ${presets[*]}"
