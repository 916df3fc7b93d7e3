#!/bin/sh
# Tests of memq-peer through its command line.
# usage: memq_peer_test.sh CASE PEER MEMQ BROKEN SOURCE_DIR
# Exit 77 (skipped) where the backend must run with its real confinement and
# this process cannot set that up.
set -u
case_name=$1 peer=$2 memq=$3 broken=$4 src=$5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# expect STATUS PATTERN COMMAND...: runs COMMAND, wants exit status STATUS and
# PATTERN (a grep -E pattern) in its output.
expect() {
    want_status=$1 pattern=$2
    shift 2
    "$@" >"$work/out" 2>&1
    got=$?
    if [ "$got" -ne "$want_status" ]; then
        fail "$* exited with $got, not $want_status"
        cat "$work/out"
    elif ! grep -Eq -- "$pattern" "$work/out"; then
        fail "$* did not print /$pattern/"
        cat "$work/out"
    fi
}

needs_spool() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: the backend confines itself, which needs root"
        exit 77
    fi
    "$src/scripts/setup-spool.sh" || { echo "setup-spool failed"; exit 1; }
}

# The leak checker of a sanitized build reads /proc when the process ends,
# and the backend's changed root has none: it would end with status 1 however
# cleanly it served. So the backends run with leak checking off, through
# wrappers; memq-peer itself keeps it.
no_leak_check="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
for b in memq broken; do
    eval "target=\$$b"
    printf '#!/bin/sh\nASAN_OPTIONS="%s" exec "%s"\n' "$no_leak_check" "$target" >"$work/$b"
    chmod 0755 "$work/$b"
done

case $case_name in
usage)
    expect 0 '^usage: memq-peer COMMAND' "$peer" --help
    expect 0 '^usage: memq-peer check' "$peer" check --help
    expect 0 '^usage: memq-peer run' "$peer" run -h
    expect 0 '^usage: memq-peer run' "$peer" help run
    expect 2 '^usage: memq-peer COMMAND' "$peer"
    expect 2 'unknown command "frob"' "$peer" frob
    expect 2 'no help for "frob"' "$peer" help frob
    expect 2 'backend /nonexistent/memq: No such file' "$peer" check /nonexistent/memq
    : >"$work/plain"
    chmod 0644 "$work/plain"
    expect 2 "backend $work/plain: not an executable" "$peer" run "$work/plain"
    expect 2 'cannot open /nonexistent/session: No such file' \
        "$peer" run -f /nonexistent/session "$memq"
    expect 2 'one BACKEND at most, got "extra"' "$peer" check "$memq" extra
    expect 2 'unrecognized option' "$peer" check --frob
    ;;
check)
    needs_spool
    expect 0 '^[0-9]+ steps: [0-9]+ ok, 0 failed, in ' "$peer" check "$work/memq"
    if grep -q FAIL "$work/out"; then
        fail "a step failed"
    fi
    grep -q 'warn: queue-api: pipe closed' "$work/out" || fail "the backend's log is not shown"
    # Without an argument, the memq of the same build tree is the one used.
    expect 0 "^memq-peer check: $(realpath "$memq") " env ASAN_OPTIONS="$no_leak_check" "$peer" check
    ;;
check_broken)
    needs_spool
    expect 1 " failed, in " env BROKEN_MEMQ=flip-envelope "$peer" check "$work/broken"
    grep -Eq '^ *[0-9]+ FAIL  read envelope 0x[0-9a-f]{16} \(as created\) -> ' "$work/out" ||
        fail "no FAIL line for the changed envelope"
    grep -Fq 'expected the 116 bytes stored; first difference at byte 58: ...".example.org*sender: ali"... where ...".example.org\nsender: ali"... belongs' \
        "$work/out" || fail "the difference is not shown"
    grep -Eq '^ *[0-9]+ ok    open ' "$work/out" || fail "the sound steps are not reported ok"
    ;;
check_vanishing)
    needs_spool
    expect 1 "stopped answering, so the rest of the session was not run" \
        env BROKEN_MEMQ=exit-on-open "$peer" check "$work/broken"
    grep -Eq 'FAIL  open .* -> no reply: the backend closed the connection$' "$work/out" ||
        fail "no FAIL line for the open"
    grep -q 'the backend ended with exit status 3' "$work/out" || fail "the exit is not reported"
    ;;
run)
    needs_spool
    cd "$work" || exit 1
    printf 'From: alice@example.org\r\nSubject: hello\r\n\r\nA short mail.\r\n' >mail.txt
    # Ids and process ids change from run to run; everything else must not.
    "$peer" run -f "$here/run_session.txt" "$work/memq" >out 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "run exited with $status, not 1 for the bad commands"
    sed -E -e 's/0x[0-9a-f]{16}/EVPID/g' -e 's/0x[0-9a-f]{8}/MSGID/g' \
        -e 's/memq\[[0-9]+\]/memq[PID]/' out >masked
    diff -u "$here/run_session.expected" masked || fail "the transcript differs"
    cmp mail.txt copy.txt || fail "the opened content differs from the stored file"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

[ "$failures" -eq 0 ]
