#!/bin/sh
# Usage: in-private-network.sh COMMAND [ARG...]
# Runs COMMAND (as root) in a private network namespace whose loopback is
# the run's own, so that the daemon's fixed ports are free; for a file
# manager that finds our plug-ins without a mount (Dolphin, through
# QT_PLUGIN_PATH). Not root: exit 77, which the tests count as skipped.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "$0: skipped: needs root for a network namespace" >&2; exit 77; }
exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
