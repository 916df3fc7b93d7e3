#!/usr/bin/env bash
# The one command: installs the packages the tests need, gives each fuzz target a
# short run, then builds and runs the whole test suite in the release build
# and in the ASan+UBSan build. Every phase runs even when an earlier one
# failed; the last line is the verdict over all of them, and the exit status
# is 1 when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"

elapsed() {
    printf '%dm%02ds' $((SECONDS / 60)) $((SECONDS % 60))
}

phase() {
    echo "== [$(elapsed)] $*"
}

# Ninja's line per compiled file would bury everything else: what is shown is
# a line per target linked, and whatever the compiler says.
compact() {
    awk '!/^\[[0-9]+\/[0-9]+\] Building / { print; fflush() }'
}

# The result line of each test in ctest's output, as "passed NAME",
# "skipped NAME" or "failed NAME".
outcomes() {
    awk '/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
        line = $0
        sub(/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: /, "", line)
        name = line
        sub(/ .*/, "", name)
        if (line ~ /\*\*\*Skipped/) print "skipped " name
        else if (line ~ / Passed +[0-9.]+ sec$/) print "passed " name
        else print "failed " name
    }' "$1"
}

# The reason each skipped test gave, grouped: "7 need root, 1 needs ...".
# GoogleTest writes it on the line after "...: Skipped"; our scripts write it
# as their last line before they exit 77. Reasons that start "needs root"
# differ only in what the root is for, and count as one.
skip_reasons() {
    awk 'FNR == NR { skipped[$0] = 1; next }
        /^[0-9]+\/[0-9]+ Testing: / {
            name = $0
            sub(/^[0-9]+\/[0-9]+ Testing: /, "", name)
            reason = ""
            last = ""
            output = 0
            gtest = 0
            next
        }
        /^Output:$/ { getline; output = 1; next }
        output && /: Skipped$/ { getline; reason = $0; gtest = 1; next }
        output && /<end of output>$/ {
            sub(/<end of output>$/, "")
            if (NF) last = $0
            output = 0
            if (name in skipped) {
                if (!gtest) reason = last
                sub(/^skipped: /, "", reason)
                if (reason ~ /^needs root/) reason = "needs root"
                if (reason == "") reason = "no reason given"
                count[reason]++
            }
            next
        }
        output && NF { last = $0 }
        END {
            for (r in count) {
                text = r
                if (count[r] > 1) sub(/^needs /, "need ", text)
                print count[r] "\t" text
            }
        }' "$1" "$2" |
        sort -t "$(printf '\t')" -k1,1nr -k2 |
        awk -F '\t' '{ out = out (NR > 1 ? ", " : "") $1 " " $2 } END { print out }'
}

# "N passed, N FAILED (A, B), N skipped (reasons)" for a ctest run.
tally() {
    local preset=$1 results=$2
    outcomes "$results" >"$logs/$preset-outcomes.txt"
    local passed failed skipped failures="" reasons text
    passed=$(grep -c '^passed ' "$logs/$preset-outcomes.txt" || true)
    failed=$(grep -c '^failed ' "$logs/$preset-outcomes.txt" || true)
    skipped=$(grep -c '^skipped ' "$logs/$preset-outcomes.txt" || true)
    text="$passed passed"
    if [ "$failed" -gt 0 ]; then
        failures=$(awk '/^failed / && ++n <= 3 { printf "%s%s", (n > 1 ? ", " : ""), $2 }' \
            "$logs/$preset-outcomes.txt")
        [ "$failed" -le 3 ] || failures="$failures, ..."
        text="$text, $failed FAILED ($failures)"
    fi
    if [ "$skipped" -gt 0 ]; then
        sed -n 's/^skipped //p' "$logs/$preset-outcomes.txt" >"$logs/$preset-skipped.txt"
        reasons=$(skip_reasons "$logs/$preset-skipped.txt" \
            "build/$preset/Testing/Temporary/LastTest.log")
        text="$text, $skipped skipped (${reasons:-no reason found in LastTest.log})"
    fi
    echo "$text"
}

verdicts=()
built=()
failed_any=0

# A short smoke of every fuzz target first (the long runs are in
# fuzz/README.md), so that the test runs' summaries close the output. The
# targets are built here, where the build can be seen; fuzz/run.sh then
# finds nothing left to build.
phase "fuzz smoke: configure and build the fuzz targets"
if cmake --preset fuzz >"$logs/fuzz-configure.txt" &&
    cmake --build --preset fuzz -j "${FUZZ_BUILD_JOBS:-2}" | compact; then
    phase "fuzz smoke: run each target for 10 s"
    if fuzz/run.sh 10 | tee "$logs/fuzz.txt"; then
        status=0
    else
        status=1
        failed_any=1
    fi
    ran=$(grep -c '^== fuzz .* for ' "$logs/fuzz.txt" || true)
    broke=$(awk '/^fuzz .* FAILED/ { printf "%s%s", (n++ ? ", " : ""), $2 }' "$logs/fuzz.txt")
    count=$(grep -c '^fuzz .* FAILED' "$logs/fuzz.txt" || true)
    text="$((ran - count)) passed"
    [ "$count" -eq 0 ] || text="$text, $count FAILED ($broke)"
    [ "$status" -eq 0 ] || [ "$count" -gt 0 ] || text="$text, FAILED (see $logs/fuzz.txt)"
    verdicts+=("fuzz smoke $text")
else
    cat "$logs/fuzz-configure.txt"
    failed_any=1
    verdicts+=("fuzz smoke: build FAILED")
fi

for preset in release asan; do
    phase "$preset: configure and build"
    if ! cmake --preset "$preset" >"$logs/$preset-configure.txt" ||
        ! cmake --build --preset "$preset" -j "$jobs" | compact; then
        cat "$logs/$preset-configure.txt"
        failed_any=1
        verdicts+=("$preset: build FAILED")
        continue
    fi
    phase "$preset: run the tests"
    if ctest --preset "$preset" -j "$jobs" | tee "$logs/$preset-ctest.txt"; then
        status=0
    else
        status=1
        failed_any=1
    fi
    text=$(tally "$preset" "$logs/$preset-ctest.txt")
    if [ "$status" -ne 0 ] && ! grep -q '^failed ' "$logs/$preset-outcomes.txt"; then
        text="$text, ctest FAILED"
    fi
    verdicts+=("$preset $text")
    built+=("$preset")
done

# The builds differ in a few tests (valgrind runs only where the sanitizers
# do not): the verdict names those, so that a difference in the counts is
# not taken for a lost test.
only_in() {
    local here=$1 there=$2
    sed 's/^[a-z]* //' "$logs/$there-outcomes.txt" | sort -u >"$logs/$there-names.txt"
    sed 's/^[a-z]* //' "$logs/$here-outcomes.txt" | sort -u |
        comm -23 - "$logs/$there-names.txt" |
        awk '++n <= 3 { out = out (n > 1 ? ", " : "") $0 }
            END { if (n > 3) out = out ", ..."; if (n) printf "%d only in this build (%s)", n, out }'
}
if [ "${#built[@]}" -eq 2 ]; then
    for i in "${!verdicts[@]}"; do
        for preset in release asan; do
            other=release
            [ "$preset" = release ] && other=asan
            case ${verdicts[$i]} in
            "$preset "*)
                extra=$(only_in "$preset" "$other")
                [ -z "$extra" ] || verdicts[$i]="${verdicts[$i]}, $extra"
                ;;
            esac
        done
    done
fi

summary=$(printf '%s; ' "${verdicts[@]}")
summary=${summary%; }
if [ "$failed_any" -eq 0 ]; then
    echo "== verdict: PASSED in $(elapsed): $summary"
else
    echo "== verdict: FAILED in $(elapsed): $summary"
fi
exit "$failed_any"
