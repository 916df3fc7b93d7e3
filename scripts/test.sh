#!/usr/bin/env bash
# The one command: installs the build's packages, then builds and runs the
# whole test suite in the release build and in the ASan+UBSan build, and
# gives each fuzz target a short run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# A short smoke of every fuzz target (the long runs are in fuzz/README.md).
echo "== fuzz"
fuzz/run.sh 10
