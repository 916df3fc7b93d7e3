#!/usr/bin/env bash
# Formats every C++ source with the checked-in .clang-format; with --check,
# changes nothing and fails when a file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(-i)
[ "${1:-}" = "--check" ] && mode=(--dry-run --Werror)
git ls-files -co --exclude-standard -- '*.cc' '*.h' | xargs -r clang-format "${mode[@]}"
