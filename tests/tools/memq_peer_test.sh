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

# expect_line STATUS LINE COMMAND...: runs COMMAND, wants exit status STATUS
# and LINE as the whole of its output, standard output and error together.
expect_line() {
    want_status=$1 want_line=$2
    shift 2
    "$@" >"$work/out" 2>&1
    got=$?
    printf '%s\n' "$want_line" >"$work/want"
    if [ "$got" -ne "$want_status" ]; then
        fail "$* exited with $got, not $want_status"
        cat "$work/out"
    elif ! cmp -s "$work/want" "$work/out"; then
        fail "$* did not print exactly one line"
        diff "$work/want" "$work/out"
    fi
}

. "$src/tests/common/root.sh"

# Ids and process ids change from run to run; everything else must not.
mask() {
    sed -E -e 's/0x[0-9a-f]{16}/EVPID/g' -e 's/0x[0-9a-f]{8}/MSGID/g' \
        -e 's/memq\[[0-9]+\]/memq[PID]/' "$@"
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
# A stand-in for sessions that must never send a request: it ends at once,
# so a request sent by mistake shows up as a backend that has gone.
idle=$work/idle
printf '#!/bin/sh\nexit 0\n' >"$idle"
chmod 0755 "$idle"

case $case_name in
usage)
    expect 0 '^usage: memq-peer COMMAND' "$peer" --help
    expect 0 '^usage: memq-peer check \[--tap\]' "$peer" check --help
    expect 0 '^usage: memq-peer run' "$peer" run -h
    expect 0 '^usage: memq-peer run' "$peer" help run
    expect 2 'backend /nonexistent/memq: No such file' "$peer" check /nonexistent/memq
    : >"$work/plain"
    chmod 0644 "$work/plain"
    expect 2 "backend $work/plain: not an executable" "$peer" run "$work/plain"
    expect 2 'cannot open /nonexistent/session: No such file' \
        "$peer" run -f /nonexistent/session "$memq"
    # Every mistake on the command line is one line with one prefix.
    see_peer="see 'memq-peer --help'"
    see_check="see 'memq-peer check --help'"
    see_run="see 'memq-peer run --help'"
    expect_line 2 "memq-peer: no command: the commands are check, run and help; $see_peer" \
        "$peer"
    expect_line 2 "memq-peer: unknown command \"frob\": the commands are check, run and help; $see_peer" \
        "$peer" frob
    expect_line 2 "memq-peer: no help for \"frob\": it is neither check nor run, nor a command of run; $see_peer" \
        "$peer" help frob
    # help names the program's own commands first, then run's.
    expect 0 '^usage: memq-peer COMMAND' "$peer" help help
    expect 0 '^usage: store MSGID FILE$' "$peer" help store
    expect_line 2 "memq-peer check: unknown option --frob; $see_check" "$peer" check --frob
    expect_line 2 "memq-peer check: unknown option -x; $see_check" "$peer" check -x
    expect_line 2 "memq-peer check: option --tap takes no argument; $see_check" \
        "$peer" check --tap=yes
    expect_line 2 "memq-peer check: one BACKEND at most, got \"extra\" as well; $see_check" \
        "$peer" check "$memq" extra
    expect_line 2 "memq-peer run: unknown option --frob; $see_run" "$peer" run --frob=1
    expect_line 2 "memq-peer run: option -f needs an argument; $see_run" "$peer" run -f
    expect_line 2 "memq-peer run: option --file needs an argument; $see_run" "$peer" run --file
    expect_line 2 "memq-peer run: BACKEND is empty; $see_run" "$peer" run ""
    ;;
help_agrees)
    # The commands of run as --help lists them must be those of the manual,
    # written the same way.
    command -v mandoc >/dev/null || { echo "needs mandoc to render the manual"; exit 77; }
    "$peer" run --help | awk '
        /^commands:$/ { listing = 1; next }
        listing && /^$/ { exit }
        listing && /^  [a-z]/ { sub(/^  /, ""); sub(/   +.*$/, ""); print }' >"$work/forms"
    [ "$(wc -l <"$work/forms")" -ge 15 ] || fail "found only $(wc -l <"$work/forms") commands in --help"
    # The manual's entries: the head of each tagged item, in lower case as
    # the manual writes its arguments.
    MANWIDTH=200 mandoc -T ascii "$src/man/memq-peer.1" | sed 's/.\x08//g' | awk '
        /^     [a-z]/ { sub(/^     /, ""); sub(/  +.*$/, ""); print tolower($0) }' >"$work/entries"
    while IFS= read -r form; do
        lower=$(printf '%s\n' "$form" | tr '[:upper:]' '[:lower:]')
        grep -Fqx -- "$lower" "$work/entries" || fail "the manual has no entry \"$lower\""
    done <"$work/forms"
    # And the help of each names the same form, inside run and, but for
    # help itself, as "memq-peer help NAME".
    while IFS= read -r form; do
        name=${form%% *}
        "$peer" run "$idle" >"$work/out" 2>&1 <<END
help $name
END
        grep -Fqx -- "usage: $form" "$work/out" || {
            fail "help $name does not give the usage \"$form\""
            cat "$work/out"
        }
        [ "$name" = help ] && continue
        "$peer" help "$name" >"$work/top" 2>&1 || fail "memq-peer help $name failed"
        grep -Fqx -- "usage: $form" "$work/top" || {
            fail "memq-peer help $name does not give the usage \"$form\""
            cat "$work/top"
        }
    done <"$work/forms"
    ;;
run_errors)
    # Each bad line with the one line it must give; none reaches the backend,
    # and the session goes on after each. @Nx@ stands for N bytes of "x", @Nh@
    # for N bytes in hex.
    cat >"$work/table" <<'END'
frob 1
unknown command "frob"; "help" lists the commands
remove
MSGID is missing (usage: remove MSGID)
remove 1e3
"1e3" is not a number for MSGID: write decimal digits, or hex digits after 0x
remove +5
"+5" is not a number for MSGID: write decimal digits, or hex digits after 0x
remove -1
"-1" is not a number for MSGID: write decimal digits, or hex digits after 0x
remove 0b1
"0b1" is not a number for MSGID: write decimal digits, or hex digits after 0x
remove 0x
"0x" is not a number for MSGID: write decimal digits, or hex digits after 0x
remove 0x1g
"0x1g" is not a number for MSGID: write decimal digits, or hex digits after 0x
mark 4294967296
MSGID 4294967296 does not fit in 32 bits
unmark 0x100000000
MSGID 0x100000000 does not fit in 32 bits
envelope-read 18446744073709551616
ID 18446744073709551616 does not fit in 64 bits
remove 1 2
"2" after the MSGID (usage: remove MSGID)
envelope-remove 1 2
"2" after the ID (usage: envelope-remove ID)
envelope-read $1
"$1" refers to no id: no reply has brought one yet
envelope-read $0
"$0" is not a reference: write $1 for the first id
open $x
"$x" is not a reference: write $1 for the first id
store 1
FILE is missing (usage: store MSGID FILE)
store 1 /nonexistent/mail.txt
cannot open /nonexistent/mail.txt: No such file or directory
new now
"now" after new (usage: new)
finish now
"now" after finish (usage: finish)
hello 2 3
"3" after the VERSION (usage: hello [VERSION])
hello two
"two" is not a number for VERSION: write decimal digits, or hex digits after 0x
iterate all
"all" is neither envelopes nor messages (usage: iterate [envelopes | messages [VALUE]])
iterate envelopes 1
"1" after envelopes (usage: iterate [envelopes | messages [VALUE]])
iterate messages 1e3
"1e3" is not a number for VALUE: write decimal digits, or hex digits after 0x
envelope-new 1
TEXT is missing; write "" for an empty one (usage: envelope-new MSGID TEXT)
envelope-replace 1
TEXT is missing; write "" for an empty one (usage: envelope-replace ID TEXT)
envelope-new 1 a\qb
unknown escape \q in TEXT; use \n, \t, \r, \\ or \xHH
envelope-new 1 \x4
\x in TEXT needs two hex digits
envelope-replace 1 abc\
TEXT ends in a lone backslash
envelope-new 1 @16365x@
an envelope of 16365 bytes does not fit in one frame (at most 16364)
envelope-replace 1 @16361x@
an envelope of 16361 bytes does not fit in one frame (at most 16360)
raw
TYPE is missing (usage: raw TYPE [HEXBYTES])
raw QUEUE_BOGUS
unknown type name QUEUE_BOGUS; "help raw" lists the names
raw queue_hello
unknown type name queue_hello; "help raw" lists the names
raw 12 0g
'g' is not a hex digit in HEXBYTES
raw 12 012
HEXBYTES has an odd number of digits
raw 2 @16369h@
a payload of 16369 bytes does not fit in one frame (at most 16368)
help frob
no command "frob"; "help" lists the commands
help new old
"old" after the COMMAND (usage: help [COMMAND])
END
    awk 'NR % 2 == 1 {
            while (match($0, /@[0-9]+[xh]@/)) {
                n = substr($0, RSTART + 1, RLENGTH - 3) + 0
                unit = substr($0, RSTART + RLENGTH - 2, 1) == "x" ? "x" : "00"
                filler = ""
                for (i = 0; i < n; i++) filler = filler unit
                $0 = substr($0, 1, RSTART - 1) filler substr($0, RSTART + RLENGTH)
            }
            print
        }' "$work/table" >"$work/session"
    echo "help new" >>"$work/session"
    awk 'NR % 2 == 0 { printf "memq-peer run: line %d: %s\n", NR / 2, $0 }' "$work/table" \
        >"$work/want_errors"
    "$peer" run -f "$work/session" "$idle" >"$work/out" 2>"$work/errors"
    status=$?
    [ "$status" -eq 1 ] || fail "run exited with $status, not 1 for the bad lines"
    diff -u "$work/want_errors" "$work/errors" || fail "the errors differ"
    grep -qx 'usage: new' "$work/out" || fail "the session did not go on to the last line"
    grep -q '^!' "$work/out" && fail "a bad line reached the backend"
    grep -qx 'end of input: the backend ended with exit status 0' "$work/out" ||
        fail "the end of the input is not reported"
    ;;
prompt)
    # A prompt on stderr where the input is a terminal, and none elsewhere.
    command -v script >/dev/null || { echo "needs script to give memq-peer a terminal"; exit 77; }
    printf 'help new\n' | script -qec "'$peer' run '$idle'" /dev/null >"$work/tty" 2>&1
    [ "$(tr -d '\r' <"$work/tty" | grep -o '> ' | wc -l)" -eq 2 ] || {
        fail "no prompt before each line and at the end of the input"
        cat "$work/tty"
    }
    grep -q 'usage: new' "$work/tty" || fail "the command was not run on a terminal"
    printf 'help new\n' | "$peer" run "$idle" >"$work/out" 2>"$work/err"
    [ -s "$work/err" ] && fail "a prompt, or another line, on stderr when the input is no terminal"
    [ "$(head -n 1 "$work/out")" = "> help new" ] || fail "the command is not echoed"
    ;;
check)
    needs_spool
    expect 0 '^[0-9]+ steps: [0-9]+ ok, 0 failed, in [0-9.]+ s; the backend logged [0-9]+ lines, all expected$' \
        "$peer" check "$work/memq"
    if grep -q FAIL "$work/out"; then
        fail "a step failed"
    fi
    last=$(tail -n 1 "$work/out")
    case $last in
    *" steps: "*) ;;
    *) fail "the summary is not the last line: $last" ;;
    esac
    grep -q '^backend log (its standard error)' "$work/out" || fail "the backend's log is not labelled"
    grep -Eq '^  step [0-9]+ +expected    memq\[[0-9]+\]: warn: queue-api: pipe closed$' "$work/out" ||
        fail "the closing line is not shown as expected"
    grep -q 'UNEXPECTED' "$work/out" && fail "a line of a clean run is marked unexpected"
    grep -q 'warn: envelope too large' "$work/out" || fail "no envelope was refused as too large"
    # Without an argument, the memq of the same build tree is the one used.
    expect 0 "^memq-peer check: $(realpath "$memq") " env ASAN_OPTIONS="$no_leak_check" "$peer" check
    ;;
check_tap)
    needs_spool
    # tap_shape FILE: the TAP must be well formed: the version first, steps
    # numbered from 1 without a gap, the plan last and matching them.
    tap_shape() {
        awk '
            NR == 1 { if ($0 != "TAP version 13") { print "no version line"; bad = 1 } next }
            /^(not )?ok [0-9]+ - / {
                n = $0; sub(/^(not )?ok /, "", n); sub(/ .*/, "", n)
                if (n != ++steps) { print "step " n " where " steps " belongs"; bad = 1 }
                next
            }
            /^#/ || /^  / { next }
            /^1\.\.[0-9]+$/ { plan = substr($0, 4); last = NR; next }
            { print "not TAP: " $0; bad = 1 }
            END {
                if (last != NR) { print "the plan is not the last line"; bad = 1 }
                if (plan != steps) { print "plan " plan " for " steps " steps"; bad = 1 }
                exit bad
            }' "$1"
    }
    "$peer" check --tap "$work/memq" >"$work/out" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "check --tap exited with $status"
    tap_shape "$work/out" || fail "malformed TAP from a clean run"
    grep -q '^not ok' "$work/out" && fail "a clean run has a failing step"
    grep -Eq '^ok [0-9]+ - close the connection -> the backend ended with exit status 0$' "$work/out" ||
        fail "no closing step"

    env BROKEN_MEMQ=flip-envelope "$peer" check --tap "$work/broken" >"$work/out" 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "check --tap of a faulty backend exited with $status, not 1"
    tap_shape "$work/out" || fail "malformed TAP from a failing run"
    grep -A4 -E '^not ok [0-9]+ - read envelope 0x[0-9a-f]{16} \(as created\)$' "$work/out" >"$work/block"
    sed -n 2p "$work/block" | grep -qx '  ---' || fail "no YAML block after a failed step"
    grep -Fqx "  got: '116 bytes \"version: 7\\nmsgid: fixed\\ntype: mta\\nhelo: \"...'" \
        "$work/block" || fail "the block does not say what was got"
    grep -Fqx "  expected: 'the 116 bytes stored; first difference at byte 58: ...\".example.org*sender: ali\"... where ...\".example.org\\nsender: ali\"... belongs'" \
        "$work/block" || fail "the block does not say what was expected"
    grep -qx '  \.\.\.' "$work/block" || fail "the YAML block is not closed"

    env BROKEN_MEMQ=noisy-store "$peer" check --tap "$work/broken" >"$work/out" 2>&1
    grep -A5 -E '^not ok [0-9]+ - store 0x[0-9a-f]{8} from a file of [0-9]+ bytes$' "$work/out" \
        >"$work/block"
    grep -Fqx "  log_got: ['warn: broken_memq: a line no step expects']" "$work/block" &&
        grep -Fqx "  log_expected: []" "$work/block" ||
        { fail "the block does not hold the log lines got and expected"; cat "$work/block"; }
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
check_unexpected_log)
    needs_spool
    expect 1 '^[0-9]+ steps: [0-9]+ ok, 4 failed, in [0-9.]+ s; 4 of the backend.s [0-9]+ lines unexpected$' \
        env BROKEN_MEMQ=noisy-store "$peer" check "$work/broken"
    grep -A1 -E '^ *[0-9]+ FAIL  store 0x[0-9a-f]{8} from a file of [0-9]+ bytes -> result 1 \(stored\)$' \
        "$work/out" | grep -Fqx '          expected the backend to log nothing; it logged "warn: broken_memq: a line no step expects"' ||
        fail "the store step does not fail with the unexpected line"
    grep -Fqx '          expected the backend to log "warn: msgid not found"; it logged "warn: broken_memq: a line no step expects", "warn: msgid not found"' \
        "$work/out" || fail "the line added to an expected one is not shown"
    [ "$(grep -Ec '^  step [0-9]+ +UNEXPECTED  broken_memq\[[0-9]+\]: warn: broken_memq: a line no step expects$' "$work/out")" -eq 4 ] ||
        fail "the unexpected lines are not marked in the log"
    grep -Eq '^  step [0-9]+ +expected    broken_memq\[[0-9]+\]: warn: msgid not found$' "$work/out" ||
        fail "the expected line beside an unexpected one is not marked expected"
    ;;
check_vanishing)
    needs_spool
    expect 1 " failed, in " env BROKEN_MEMQ=exit-on-open "$peer" check "$work/broken"
    grep -qx 'The backend stopped answering, so the rest of the session was not run.' "$work/out" ||
        fail "the steps not run are not reported"
    grep -Eq 'FAIL  open .* -> no reply: the backend closed the connection$' "$work/out" ||
        fail "no FAIL line for the open"
    grep -q 'the backend ended with exit status 3' "$work/out" || fail "the exit is not reported"
    grep -Fqx '          expected the backend to log "warn: queue-api: pipe closed"; it logged nothing' \
        "$work/out" || fail "the missing closing line is not reported"
    ;;
check_unprivileged)
    # The backend as an ordinary user cannot confine itself: the check must
    # fail and say that root is needed, not leave the reader with chroot's
    # "Operation not permitted". As root, it runs as nobody.
    as_user=""
    if [ "$(id -u)" -eq 0 ]; then
        have_root || { echo "needs root to become an ordinary user"; exit 77; }
        command -v setpriv >/dev/null || { echo "needs setpriv to run as an ordinary user"; exit 77; }
        as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
        # shellcheck disable=SC2086
        $as_user test -x "$peer" -a -x "$memq" ||
            { echo "needs the build tree to be open to nobody, to run as an ordinary user"; exit 77; }
    fi
    # shellcheck disable=SC2086
    expect 1 '^hint: the backend must be started as root: ' \
        env ASAN_OPTIONS="$no_leak_check" $as_user "$peer" check "$memq"
    grep -q 'chroot: Operation not permitted' "$work/out" || fail "the backend's own line is not shown"
    [ "$(tail -n 1 "$work/out" | grep -c ' steps: ')" -eq 1 ] || fail "the summary is not the last line"
    # shellcheck disable=SC2086
    expect 1 '^hint: the backend must be started as root: ' \
        env ASAN_OPTIONS="$no_leak_check" $as_user "$peer" run "$memq" </dev/null
    ;;
check_hint)
    # Which hint follows a failed confinement depends on who runs the check:
    # an ordinary user needs root, root needs the account and the spool. A
    # stand-in logs each step's failure as memq does.
    if [ "$(id -u)" -eq 0 ]; then
        want='^hint: the backend needs the account _mavidq and the spool /var/spool/mavid'
    else
        want='^hint: the backend must be started as root: '
    fi
    for line in "queue-api: getpwnam: Success" "queue-api: chroot: No such file or directory" \
        "queue-api: chdir: Permission denied" "queue-api: cannot drop privileges: Operation not permitted"; do
        printf '#!/bin/sh\necho "memq[$$]: %s" >&2\necho "memq[$$]: fatal: queue-api: exiting" >&2\nexit 1\n' \
            "$line" >"$work/unconfined"
        chmod 0755 "$work/unconfined"
        expect 1 "$want" "$peer" check "$work/unconfined"
    done
    # A backend that fails in another way gets no hint.
    expect 1 'the backend ended with exit status 0' "$peer" check "$idle"
    grep -q '^hint: ' "$work/out" && fail "a hint for a backend that did not fail to confine itself"
    ;;
run)
    needs_spool
    cd "$work" || exit 1
    ln -s "$src/examples" examples
    "$peer" run -f "$here/run_session.txt" "$work/memq" >out 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "run exited with $status, not 1 for the bad lines"
    mask out >masked
    diff -u "$here/run_session.expected" masked || fail "the transcript differs"
    cmp examples/mail.txt copy.txt || fail "the opened content differs from the stored file"
    ;;
readme_example)
    # The hand-driven example of the README, run as it is written from the
    # top of the tree, must print what the README shows.
    needs_spool
    cd "$work" || exit 1
    ln -s "$src/examples" examples
    awk '/^    # build\/release\/tools\/memq-peer run <<.END.$/ { inside = 1; next }
         inside && /^    END$/ { exit }
         inside { sub(/^    /, ""); print }' "$src/README.md" >session
    awk '/^    # build\/release\/tools\/memq-peer run <<.END.$/ { inside = 1; next }
         inside && /^    END$/ { shown = 1; next }
         shown && !/^    / { exit }
         shown { sub(/^    /, ""); print }' "$src/README.md" >shown
    [ -s session ] && [ -s shown ] || fail "no example found in the README"
    # As written: no BACKEND, so the memq of the same build tree.
    env ASAN_OPTIONS="$no_leak_check" "$peer" run <session >out 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "the example exited with $status"
    mask shown >want
    mask out >got
    diff -u want got || fail "the README shows other output than the example prints"
    cmp -s examples/mail.txt copy.txt || fail "the example's copy differs from examples/mail.txt"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

[ "$failures" -eq 0 ]
