#!/bin/sh
# Makes what memq needs before it can serve: the system account "_mavidq" and
# the root it changes into, "/var/spool/mavid", holding "tmp" and "temporary",
# which only that account may use. Creates what is missing and puts owner and
# mode of the two directories right, so running it again changes nothing.
# Needs root. Shared by scripts/demo.sh, the tests that run the backend with
# its real defaults and installations by hand (cmake --install puts it in
# libexec/mavid/setup-spool); the Debian package's postinst does the same
# its own way, with adduser and dpkg-statoverride.
set -eu

spool=/var/spool/mavid
account=_mavidq

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-spool: must run as root to create $account and $spool" >&2
    exit 1
fi

# Two runs at once (tests in parallel) must not race over the account files.
# The lock is the spool's parent directory: it outlives the spool, which a
# purge of the package removes, so every run locks the same inode and no
# lock file is left behind. scripts/package-check.sh takes it as well.
if command -v flock >/dev/null 2>&1; then
    parent=$(dirname "$spool")
    mkdir -p "$parent"
    exec 9<"$parent"
    flock 9
fi

if ! getent passwd "$account" >/dev/null; then
    if getent group "$account" >/dev/null; then
        group_option="--gid $account"
    else
        group_option="--user-group"
    fi
    # Someone else may create it at the same moment; only its absence
    # afterwards is a failure.
    # shellcheck disable=SC2086
    useradd --system $group_option --no-create-home --home-dir "$spool" \
        --shell /usr/sbin/nologin --comment "memq queue backend" "$account" ||
        getent passwd "$account" >/dev/null
    echo "setup-spool: created the account $account"
fi
group=$(id -gn "$account")

# The root itself belongs to root, so the account cannot replace what lies
# in it; only the two working directories are the account's.
if [ ! -d "$spool" ]; then
    mkdir -p "$spool"
    chmod 0755 "$spool"
    echo "setup-spool: created $spool"
fi
for dir in tmp temporary; do
    if [ ! -d "$spool/$dir" ]; then
        mkdir "$spool/$dir"
        echo "setup-spool: created $spool/$dir"
    fi
    chown "$account:$group" "$spool/$dir"
    chmod 0700 "$spool/$dir"
done
