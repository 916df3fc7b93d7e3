#!/usr/bin/env bash
# Builds the Debian package from the release build, installs it into this
# machine with dpkg -i, and checks the installed memq with the installed
# memq-peer: the package must bring the account, the spool and both programs.
# Needs root (or sudo); run after scripts/test.sh, which builds release.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target memq memq-peer
rm -rf build/release/package
(cd build/release && cpack -G DEB)

debs=(build/release/package/memq_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "package-check: expected one package, found: ${debs[*]}" >&2; exit 1; }
$sudo dpkg -i "${debs[0]}"

getent passwd _mavidq >/dev/null || { echo "package-check: no account _mavidq" >&2; exit 1; }
for d in /var/spool/mavid/tmp /var/spool/mavid/temporary; do
    [ "$(stat -c %U "$d")" = _mavidq ] || { echo "package-check: $d is not _mavidq's" >&2; exit 1; }
done
# Both manual pages must be in the package and render without a complaint.
# They are taken from the package itself: minimal images often tell dpkg to
# leave /usr/share/man out when installing.
pages=$(mktemp -d)
trap 'rm -rf "$pages"' EXIT
dpkg-deb -x "${debs[0]}" "$pages"
for page in usr/share/man/man8/memq.8 usr/share/man/man1/memq-peer.1; do
    [ -f "$pages/$page" ] || { echo "package-check: the package lacks /$page" >&2; exit 1; }
    errors=$(MANWIDTH=80 man -l "$pages/$page" 2>&1 >/dev/null)
    [ -z "$errors" ] || { echo "package-check: /$page: $errors" >&2; exit 1; }
done

# Without an argument the installed memq-peer finds the installed memq.
$sudo /usr/bin/memq-peer check
