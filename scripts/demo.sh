#!/usr/bin/env bash
# The one command that shows memq working on a fresh Debian machine, run as
# root: installs the packages that building the two programs needs, builds
# them in release without the test suite, creates the account and the spool
# root the backend confines itself to (when missing), and runs memq-peer
# check against the memq just built. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "demo: run me as root (for example: sudo $0): the backend changes its root" \
        "and account, and the spool and account must be created" >&2
    exit 1
fi

scripts/install-deps.sh build
# scripts/test.sh configures the same preset with the tests again.
cmake --preset release -DBUILD_TESTING=OFF
cmake --build --preset release --target memq memq-peer
scripts/setup-spool.sh
exec build/release/tools/memq-peer check build/release/src/memq
