#!/bin/sh
# Usage: in-private-namespaces.sh MODULE_DIR EXTENSION_DIR COMMAND [ARG...]
# Runs COMMAND (as root) where the file manager loads only our module and the
# daemon's fixed ports are free: in a private mount namespace MODULE_DIR is
# mounted over the file manager's fixed extension folder EXTENSION_DIR, and in
# a private network namespace the loopback is the run's own. Nothing outside
# the run sees either; both end with it.
set -eu
[ $# -ge 3 ] || { echo "usage: $0 MODULE_DIR EXTENSION_DIR COMMAND [ARG...]" >&2; exit 2; }
exec unshare -m -n --propagation private sh -c '
  set -eu
  module_dir=$1 extension_dir=$2
  shift 2
  ip link set lo up
  mount --bind "$module_dir" "$extension_dir"
  exec "$@"' sh "$@"
