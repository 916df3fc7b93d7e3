#!/bin/sh
# The manual pages must pass mandoc's lint and render through man without a
# single complaint. Skips (77) when the tools are missing.
set -u
dir=$1
command -v mandoc >/dev/null && command -v man >/dev/null || { echo "mandoc or man missing"; exit 77; }
status=0
for page in "$dir/memq.8" "$dir/memq-peer.1"; do
    if ! mandoc -T lint -W warning "$page"; then
        status=1
    fi
    errors=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
    if [ -n "$errors" ]; then
        echo "$page: $errors"
        status=1
    fi
done
exit $status
