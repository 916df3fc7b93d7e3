#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Does nothing
# when they are all present, so it is cheap to run again.
set -euo pipefail

packages=(
  g++ clang clang-format cmake ninja-build pkg-config
  libbsd-dev libgtest-dev libclang-rt-14-dev valgrind
  man-db mandoc dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
