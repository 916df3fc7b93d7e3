#!/bin/sh
# The commands the manual pages give, run as they are written, so that the
# next wrong example fails a build rather than an operator.
# usage: commands_test.sh CASE PEER MEMQ SOURCE_DIR SANITIZED
# Exit 77 (skipped) where a case needs what this process cannot have.
set -u
case_name=$1 peer=$2 memq=$3 src=$4 sanitized=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# The leak checker of a sanitized build reads /proc when the process ends,
# and a confined backend has none: leak checking is for the other tests.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
export ASAN_OPTIONS

. "$src/tests/common/root.sh"

# The argument of the page's one display line (.Dl) that starts with WORDS.
display_line() {
    sed -n "s/^\\.Dl \\($1.*\\)\$/\\1/p" "$src/man/memq.8"
}

# The soft data limit of a process started by COMMAND..., in bytes.
data_limit() {
    "$@" prlimit --data --output=SOFT --noheadings
}

# The page says that each form of the cap is this much.
two_gib=2147483648

case $case_name in
memory_cap)
    # Each of the three forms of the data cap that memq(8) shows must give
    # the 2 GiB the page says, and a program must still start under it.
    prlimit_line=$(display_line 'prlimit ')
    ulimit_line=$(display_line 'ulimit -d ')
    limitdata=$(sed -n 's/^\.Cm LimitDATA=\([0-9A-Za-z]*\)$/\1/p' "$src/man/memq.8")
    [ -n "$prlimit_line" ] || fail "memq(8) shows no prlimit line"
    [ -n "$ulimit_line" ] || fail "memq(8) shows no ulimit -d line"
    [ -n "$limitdata" ] || fail "memq(8) gives no LimitDATA="
    case $prlimit_line in
    *" /usr/libexec/mavid/memq") ;;
    *) fail "the prlimit line does not start the installed backend: $prlimit_line" ;;
    esac
    prefix=${prlimit_line% /usr/libexec/mavid/memq}
    # shellcheck disable=SC2086
    got=$(data_limit $prefix)
    [ "$got" = "$two_gib" ] || fail "\"$prefix\" sets a data limit of $got bytes, not $two_gib"
    # shellcheck disable=SC2086
    $prefix /bin/true
    status=$?
    [ "$status" -eq 0 ] || fail "/bin/true under \"$prefix\" exited with $status"
    # As the script that starts the mail server would run it.
    got=$(sh -c "$ulimit_line && prlimit --data --output=SOFT --noheadings")
    [ "$got" = "$two_gib" ] || fail "\"$ulimit_line\" sets a data limit of $got bytes, not $two_gib"
    # systemd is not always there to ask, so its reading of the value is
    # done here as its manual describes it: K, M and G as powers of 1024.
    number=${limitdata%[KMG]}
    case $limitdata in
    *K) bytes=$((number * 1024)) ;;
    *M) bytes=$((number * 1024 * 1024)) ;;
    *G) bytes=$((number * 1024 * 1024 * 1024)) ;;
    *) bytes=$number ;;
    esac
    [ "$bytes" = "$two_gib" ] || fail "LimitDATA=$limitdata is $bytes bytes, not $two_gib"
    ;;
memory_cap_backend)
    # The backend serves the whole check under the page's prlimit line.
    [ "$sanitized" = 1 ] && { echo "the sanitizer's shadow memory does not fit under a memory limit"; exit 77; }
    needs_spool
    prefix=$(display_line 'prlimit ')
    prefix=${prefix% /usr/libexec/mavid/memq}
    printf '#!/bin/sh\nexec %s "%s"\n' "$prefix" "$memq" >"$work/capped"
    chmod 0755 "$work/capped"
    "$peer" check "$work/capped" >"$work/out" 2>&1 || {
        fail "memq-peer check of the backend under \"$prefix\" failed"
        cat "$work/out"
    }
    ;;
tmpfs_fstab)
    # The fstab lines memq(8) gives for the working directories, mounted as
    # written in a mount namespace of this test's own, where no one else
    # sees them: the account must own both, and the backend must serve.
    needs_spool
    command -v unshare >/dev/null || { echo "needs unshare for a mount namespace of its own"; exit 77; }
    grep -E '^tmpfs +/var/spool/mavid/(tmp|temporary) ' "$src/man/memq.8" >"$work/fstab"
    [ "$(wc -l <"$work/fstab")" -eq 2 ] || fail "memq(8) gives no fstab line for each directory"
    cat >"$work/mounted.sh" <<END
set -e
mount --make-rprivate /
mount -T "$work/fstab" /var/spool/mavid/tmp
mount -T "$work/fstab" /var/spool/mavid/temporary
findmnt -n -o FSTYPE /var/spool/mavid/tmp
findmnt -n -o FSTYPE /var/spool/mavid/temporary
stat -c '%U:%G %a' /var/spool/mavid/tmp /var/spool/mavid/temporary
"$peer" check "$memq" >"$work/check" 2>&1
END
    unshare -m sh "$work/mounted.sh" >"$work/out" 2>&1
    status=$?
    printf 'tmpfs\ntmpfs\n_mavidq:_mavidq 700\n_mavidq:_mavidq 700\n' >"$work/want"
    [ "$status" -eq 0 ] || { fail "mounting or checking failed with $status"; cat "$work/out" "$work/check"; }
    diff -u "$work/want" "$work/out" || fail "the mounted directories are not the account's tmpfs"
    ;;
peer_example)
    # memq-peer(1)'s session, with the memq-peer of this build first in PATH,
    # from a directory of its own, where it leaves copy.txt.
    needs_spool
    [ -r /etc/motd ] || { echo "needs /etc/motd, which the example stores"; exit 77; }
    sed -n '/^\.Bd -literal/,/^\.Ed/p' "$src/man/memq-peer.1" | sed -e '1d' -e '$d' \
        -e 's/\\e/\\/g' -e '/^# memq-peer /s/^# //' >"$work/example.sh"
    grep -q "^memq-peer run <<'END'$" "$work/example.sh" || fail "no memq-peer run session in memq-peer(1)"
    cd "$work" || exit 1
    PATH=$(dirname "$peer"):$PATH sh ./example.sh >out 2>&1
    status=$?
    [ "$status" -eq 0 ] || { fail "the example exited with $status"; cat out; }
    cmp -s /etc/motd copy.txt || fail "copy.txt is not /etc/motd"
    grep -q '^< result 1 (stored)$' out || { fail "the example stored nothing"; cat out; }
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

[ "$failures" -eq 0 ]
