# Sourced by the shell tests: whether they may use root's powers, as
# tests/common/root.h says for the C++ ones, and the spool a confined
# backend needs. Expects $src, the top of the sources.

# Root's powers, unless MEMQ_TEST_UNPRIVILEGED asks (as a package build does)
# to leave the host alone and skip what needs them.
have_root() {
    [ "$(id -u)" -eq 0 ] && [ -z "${MEMQ_TEST_UNPRIVILEGED:-}" ]
}

# Makes the account and the spool, or skips the test (exit 77) without root.
needs_spool() {
    if ! have_root; then
        echo "needs root: the backend confines itself"
        exit 77
    fi
    "$src/scripts/setup-spool.sh" >/dev/null || { echo "setup-spool failed"; exit 1; }
}
