#!/usr/bin/env bash
# Installs the Debian packages the build, tests, fuzzers and benchmarks need
# (bindfs and fuse3 give the tests a user-space file system to mount; sshfs and
# openssh-server a far one, served over loopback by an sshd of the test's own),
# only those that are missing: on a machine that has them all it is silent and
# takes well under a second.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libfmt-dev libspdlog-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libssl-dev
  bindfs fuse3
  sshfs openssh-server
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
