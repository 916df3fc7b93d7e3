#!/usr/bin/env bash
# The one command: installs the packages the tests need, then builds and
# runs the whole test suite in the release build and in the ASan+UBSan
# build, and gives each fuzz target a short run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

# A short smoke of every fuzz target first (the long runs are in
# fuzz/README.md), so that the test runs' summaries close the output.
echo "== fuzz"
fuzz/run.sh 10

jobs=$(nproc)
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
