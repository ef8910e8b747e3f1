#!/usr/bin/env bash
# Builds and runs every test from scratch or incrementally:
#   dev   unit and package tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan  unit tests under ThreadSanitizer (halt_on_error)
#   fuzz  the libFuzzer target for a bounded time, under clang
#   plain a packager's build and install with no preset, with Google Benchmark,
#         OpenSSL and GoogleTest hidden from CMake: the library and its
#         examples must need nothing beyond fmt and spdlog. The configure is
#         fresh every time, so a cached option cannot hide a new requirement.
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

echo "=== plain: configure, build, install without benchmark, OpenSSL or GTest"
rm -rf build/plain/prefix
if cmake --fresh -S . -B build/plain -DBUILD_TESTING=OFF --log-level=WARNING \
     -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON \
     -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null &&
   cmake --build build/plain --parallel 2 &&
   cmake --install build/plain --prefix build/plain/prefix >/dev/null; then
  echo "=== plain: passed"
else
  echo "=== plain: FAILED"
  failed+=(plain)
fi

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test suites passed: ${presets[*]} plain"
