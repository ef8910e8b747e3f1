#!/usr/bin/env bash
# Builds the library and its demos in release mode and runs one:
#   scripts/demo.sh               the settings tour (talvorn-settings)
#   scripts/demo.sh PATH          follows the settings file PATH until Ctrl-C
#   scripts/demo.sh watch [PATH]  the file watcher's own tour, or PATH's events
#   scripts/demo.sh watch --path PATH   what PATH leads to, after each change
set -euo pipefail
demo=talvorn-settings
if [[ "${1:-}" == watch ]]; then
  demo=talvorn-watch
  shift
fi
# The demo runs from the repository's root; a relative PATH names a file in
# the caller's directory.
if [[ $# -gt 0 && "$1" != /* && "$1" != -* ]]; then
  set -- "$PWD/$1" "${@:2}"
elif [[ $# -eq 2 && "$1" == --path && "$2" != /* ]]; then
  set -- --path "$PWD/$2"
fi
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release --log-level=WARNING >/dev/null
cmake --build --preset release --target "$demo" >/dev/null
exec "build/release/examples/$demo" "$@"
