#!/usr/bin/env bash
# Builds the fuzz targets (preset `fuzz`: clang, libFuzzer, ASan, UBSan) and
# runs each for SECONDS, one after another. The checked-in seeds stay as
# they are: each target grows a working corpus under build/fuzz/corpus.
# A failing input is left in fuzz/artifacts/TARGET/ and fails the run; keep
# it in fuzz/regressions/TARGET/ once the fault is fixed.
#
#   fuzz/run.sh SECONDS [TARGET...]     (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(base64 iobuf tree dict request channel store loop)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_BUILD_JOBS:-2}" >/dev/null

status=0
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t
  artifacts=fuzz/artifacts/$t
  mkdir -p "$work" "$artifacts"
  echo "== fuzz $t for ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_$t "$work" fuzz/corpus/$t fuzz/regressions/$t \
      -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" 2>build/fuzz/$t.log; then
    status=1
    echo "fuzz $t FAILED: see build/fuzz/$t.log and $artifacts/"
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' build/fuzz/$t.log || true
done
exit $status
