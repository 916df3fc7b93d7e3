#!/usr/bin/env bash
# Builds the Debian package as a distributor would (dpkg-buildpackage from
# the sources alone), holds it to lintian and hardening-check, installs it
# here with its dependencies and runs the package's own tests with autopkgtest:
# the installed memq-peer checks the installed memq, then the purge must take
# the spool with it and keep the account. Needs root (or sudo). Tests on this
# machine may rely on the spool, so when it was there before, it is made again
# at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() {
    echo "package-check: $*" >&2
    exit 1
}

spool=/var/spool/mavid
# The lock scripts/setup-spool.sh takes: while it is held, no test can make
# the spool again between the purge and the look at what it left.
lock=$(dirname "$spool")

scripts/install-deps.sh package

# dpkg-buildpackage leaves what it builds beside the source tree; beside
# this clone other clones build too, so the build runs in a copy under
# build/, made of the files git knows, so that nothing built here gets in.
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || fail "needs a git checkout"
work=build/package
rm -rf "$work"
mkdir -p "$work/src"
git ls-files -z -co --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -C "$work/src" -xf -
echo "== dpkg-buildpackage (log in $work/build.log)"
if ! (cd "$work/src" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    fail "dpkg-buildpackage failed; the whole log is $work/build.log"
fi

changes=("$work"/memq_*.changes)
debs=("$work"/memq_*.deb)
if [ ${#changes[@]} -ne 1 ] || [ ! -f "${changes[0]}" ]; then
    fail "expected one .changes, found: ${changes[*]}"
fi
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "expected one memq package, found: ${debs[*]}"
fi
ls "$work"/memq-dbgsym_*.deb >/dev/null || fail "no -dbgsym package was built"

echo "== lintian"
lintian --pedantic --display-info --display-experimental --fail-on error,warning \
    "${changes[0]}" ||
    fail "lintian found an error or a warning"

# Both manual pages must be in the package and render without a complaint.
# They are taken from the package itself: minimal images often tell dpkg to
# leave /usr/share/man out when installing.
pages=$(mktemp -d)
had_spool=false
[ -d "$spool" ] && had_spool=true
finish() {
    exec 9<&-
    rm -rf "$pages"
    if $had_spool && [ ! -d "$spool/tmp" ]; then
        $sudo scripts/setup-spool.sh
    fi
}
trap finish EXIT
dpkg-deb -x "${debs[0]}" "$pages"
for page in usr/share/man/man8/memq.8.gz usr/share/man/man1/memq-peer.1.gz; do
    [ -f "$pages/$page" ] || fail "the package lacks /$page"
    errors=$(MANWIDTH=80 man -l "$pages/$page" 2>&1 >/dev/null)
    [ -z "$errors" ] || fail "/$page: $errors"
done

leftovers_in_run() { find /run -maxdepth 1 \( -name '*mavid*' -o -name '*memq*' \) | sort; }
run_before=$(leftovers_in_run)

echo "== install"
$sudo flock -o "$lock" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --reinstall --no-install-recommends "$PWD/${debs[0]}"

entry=$(getent passwd _mavidq) || fail "no account _mavidq"
IFS=: read -r _ _ uid gid _ home shell <<<"$entry"
if [ "$uid" -eq 0 ] || [ "$uid" -ge 1000 ]; then
    fail "_mavidq is not a system account (uid $uid)"
fi
[ "$shell" = /usr/sbin/nologin ] || fail "_mavidq has the shell $shell"
[ "$home" = "$spool" ] || [ "$home" = /nonexistent ] || fail "_mavidq has the home $home"
group=$(getent group "$gid" | cut -d: -f1)
[ "$(stat -c '%U:%G %a' "$spool")" = "root:root 755" ] || fail "$spool is not root's with mode 0755"
for d in "$spool/tmp" "$spool/temporary"; do
    [ "$(stat -c '%U:%G %a' "$d")" = "_mavidq:$group 700" ] ||
        fail "$d is $(stat -c '%U:%G %a' "$d"), not _mavidq:$group 700"
    # dpkg must know the directories, so that they follow the package.
    dpkg-query -S "$d" >/dev/null 2>&1 || fail "dpkg does not know $d"
done

echo "== hardening-check"
# The control-flow marking is kept only when every object linked in has it,
# C library start files included: on a system whose start files lack it no
# program can have it, so it is not asked for there.
cf=()
if ! readelf -n "$(c++ -print-file-name=Scrt1.o)" 2>/dev/null | grep -q 'x86 feature: IBT, SHSTK'; then
    echo "(the C library's start files have no IBT/SHSTK marking: control flow integrity not required)"
    cf=(--nocfprotection)
fi
hardening-check "${cf[@]}" /usr/libexec/mavid/memq /usr/bin/memq-peer ||
    fail "hardening-check found a missing protection"

# The package's own tests (debian/tests) as a distribution's CI runs them:
# memq-peer check of the installed backend, and the purge. The null server
# runs them here, on this machine, with no network and no image to fetch.
# No test may make the spool again between the purge and the look at what
# it left, so the lock is held throughout.
echo "== autopkgtest (log in $work/autopkgtest)"
exec 9<"$lock"
flock 9
rm -rf "$work/autopkgtest"
status=0
$sudo autopkgtest --output-dir "$work/autopkgtest" "$PWD/${debs[0]}" "$PWD/$work/src" \
    -- null 9<&- || status=$?
if [ "$status" -ne 0 ]; then
    cat "$work/autopkgtest/summary" >&2 || true
    fail "autopkgtest failed with status $status; its logs are in $work/autopkgtest"
fi
cat "$work/autopkgtest/summary"
# The purge test must have removed the package, and what it ran must have
# left nothing in /run.
dpkg-query -W -f='${Status}' memq 2>/dev/null | grep -q 'install ok installed' &&
    fail "memq is still installed after the purge test"
[ "$(leftovers_in_run)" = "$run_before" ] || fail "left in /run: $(leftovers_in_run)"
exec 9<&-

echo "package-check: passed"
