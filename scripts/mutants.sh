#!/usr/bin/env bash
# Plants the faults listed in tests/mutants.txt one at a time in a scratch copy
# of this tree, builds it and runs the unit tests, to show which faults the
# suite catches. A developer's tool, not part of CI: a full run takes a while.
#
#   scripts/mutants.sh                 every fault, each under its presets
#   scripts/mutants.sh FileIO          only the lines that match a regex
#   scripts/mutants.sh --check         only verify that every fault still applies
#
# MUTANT_TESTS=regex limits the tests run for each fault (ctest -R), which is
# quicker while working on one unit; a full run leaves it unset.
#
# Each line of the list is
#   file @@ original text @@ planted text (may be empty) @@ what it breaks [@@ presets]
# where presets is a comma-separated list (default "dev"; concurrency faults
# name "tsan" too). The original text must occur exactly once in the file; one
# that no longer occurs is reported as moved and not counted.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
list=$root/tests/mutants.txt
scratch=${MUTANTS_DIR:-/tmp/talvorn-mutants/$(basename "$root")}

check_only=0
[[ "${1:-}" == "--check" ]] && { check_only=1; shift; }
filter=${1:-}

# Prints "file original planted why presets lineno" for each listed fault that
# matches the filter, separated by the ASCII unit separator (tabs would
# collapse an empty planted text).
entries() {
  python3 - "$list" "$filter" <<'EOF'
import re, sys
path, pattern = sys.argv[1], sys.argv[2]
for number, line in enumerate(open(path, encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if not line.strip() or line.lstrip().startswith("#"):
        continue
    fields = [f.strip() for f in line.split("@@")]
    if len(fields) not in (4, 5) or not (fields[0] and fields[1]):
        sys.exit(f"{path}:{number}: expected 'file @@ original @@ planted @@ why [@@ presets]'")
    if pattern and not re.search(pattern, line):
        continue
    presets = fields[4] if len(fields) == 5 else "dev"
    print("\x1f".join(fields[:4] + [presets, str(number)]))
EOF
}

# Replaces the one occurrence of $2 by $3 in file $1; exits 3 if the text is
# missing and 4 if it occurs more than once.
plant() {
  python3 - "$@" <<'EOF'
import sys
path, original, planted = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
count = text.count(original)
if count != 1:
    sys.exit(3 if count == 0 else 4)
open(path, "w", encoding="utf-8").write(text.replace(original, planted))
EOF
}

mapfile -t rows < <(entries) || exit 1
[[ ${#rows[@]} -gt 0 ]] || { echo "no faults match '$filter'"; exit 1; }

if [[ $check_only -eq 1 ]]; then
  bad=0
  for row in "${rows[@]}"; do
    IFS=$'\x1f' read -r file original planted why presets number <<<"$row"
    tmp=$(mktemp)
    cp "$root/$file" "$tmp" 2>/dev/null || { echo "line $number: no file $file"; bad=1; continue; }
    plant "$tmp" "$original" "$planted"
    case $? in
      0) ;;
      3) echo "line $number: moved (text not found in $file): $why"; bad=1 ;;
      4) echo "line $number: ambiguous (text occurs more than once in $file): $why"; bad=1 ;;
      *) echo "line $number: could not plant: $why"; bad=1 ;;
    esac
    rm -f "$tmp"
  done
  echo "${#rows[@]} faults checked"
  exit $bad
fi

ctest_args=(--stop-on-failure --timeout 120 -LE 'package|fuzz|example' -Q)
[[ -n "${MUTANT_TESTS:-}" ]] && ctest_args+=(-R "$MUTANT_TESTS")

planted_count=0
caught=0
survivors=()
skipped=()
for preset in dev tsan; do
  mine=()
  for row in "${rows[@]}"; do
    IFS=$'\x1f' read -r _ _ _ _ presets _ <<<"$row"
    [[ ",$presets," == *",$preset,"* ]] && mine+=("$row")
  done
  [[ ${#mine[@]} -gt 0 ]] || continue

  # A copy of the working tree (tracked and untracked files, as they are
  # now), built once; each fault then rebuilds only what it touches. Files are
  # copied only where they differ, with a new time stamp, so that an earlier
  # run's build is reused but never taken for up to date with a changed file.
  src=$scratch/$preset
  mkdir -p "$src"
  while IFS= read -r -d '' file; do
    if ! cmp -s "$file" "$src/$file"; then
      mkdir -p "$src/$(dirname "$file")" && cp "$file" "$src/$file"
    fi
  done < <(git ls-files -co --exclude-standard -z)
  echo "=== $preset: building the unplanted tree in $src"
  (cd "$src" && cmake --preset "$preset" --log-level=WARNING >/dev/null &&
     cmake --build --preset "$preset" >/dev/null) || { echo "baseline build failed"; exit 1; }
  if ! (cd "$src" && ctest --preset "$preset" "${ctest_args[@]}" >/dev/null 2>&1); then
    echo "the unplanted tree fails its own tests under $preset; fix that first"
    exit 1
  fi

  for row in "${mine[@]}"; do
    IFS=$'\x1f' read -r file original planted why _ number <<<"$row"
    target=$src/$file
    cp -p "$target" "$target.orig"
    plant "$target" "$original" "$planted"
    status=$?
    label="$preset line $number ($file): $why"
    if [[ $status -eq 3 ]]; then
      echo "moved      $label"; skipped+=("moved: $label")
    elif [[ $status -ne 0 ]]; then
      echo "ambiguous  $label"; skipped+=("ambiguous: $label")
    elif ! (cd "$src" && cmake --build --preset "$preset" >/dev/null 2>&1); then
      echo "no build   $label"; skipped+=("does not build: $label")
    else
      planted_count=$((planted_count + 1))
      if (cd "$src" && ctest --preset "$preset" "${ctest_args[@]}" >/dev/null 2>&1); then
        echo "SURVIVED   $label"; survivors+=("$label")
      else
        echo "caught     $label"; caught=$((caught + 1))
      fi
    fi
    mv "$target.orig" "$target"
    touch "$target"
  done
done

echo
echo "planted $planted_count, caught $caught, survived ${#survivors[@]}, not counted ${#skipped[@]}"
for s in "${survivors[@]}"; do echo "  survived: $s"; done
for s in "${skipped[@]}"; do echo "  not counted: $s"; done
[[ ${#survivors[@]} -eq 0 && ${#skipped[@]} -eq 0 ]]
