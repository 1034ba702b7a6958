#!/usr/bin/env bash
# scripts/test beside a program that holds one of the plug-in's fixed ports
# (a user's own daemon) names that program and its pid and stops at once:
# before installing, building or running any test, which would fail there
# one by one. The check is pointed at a free port that a daemon sim holds,
# so the test needs neither the fixed ports nor their lock; should the check
# miss it, stand-ins for cmake and apt-get end the run there.
#
# Usage: fixed_ports_check_test.sh SOURCE_DIR DAEMON_SIM
set -euo pipefail
source_dir=$1 daemon_sim=$2
work=$(mktemp -d)
daemon_pid=""
cleanup() {
  [ -z "$daemon_pid" ] || kill "$daemon_pid" 2>/dev/null || true
  wait
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/root" "$work/stubs"
"$daemon_sim" --port 0 --notify-port 9 --no-stdin --root "$work/root" >"$work/daemon.out" 2>&1 &
daemon_pid=$!
for _ in $(seq 400); do
  grep -q '^listening' "$work/daemon.out" && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.05
done
port=$(sed -n 's/^listening port=\([0-9]*\) .*/\1/p' "$work/daemon.out")
if [ -z "$port" ]; then
  echo "FAIL: the daemon sim did not start: $(cat "$work/daemon.out")" >&2
  exit 1
fi

for tool in cmake ctest apt-get sudo; do
  printf '#!/bin/sh\necho "%s ran" >>"%s"\nexit 99\n' "$tool" "$work/reached" >"$work/stubs/$tool"
  chmod +x "$work/stubs/$tool"
done
status=0
PATH="$work/stubs:$PATH" TARNWELL_CHECK_PORTS="$port 9" TARNWELL_FIXED_PORTS_LOCK_HELD=1 \
  "$source_dir/scripts/test" >"$work/test.out" 2>&1 || status=$?

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
[ "$status" -eq 1 ] || fail "exit status $status, not 1"
user=$(id -nu 2>/dev/null || echo "uid $(id -u)")
grep -qF "port $port (TCP): $(readlink -f "$daemon_sim") (pid $daemon_pid, user $user)" \
  "$work/test.out" || fail "the daemon sim on port $port is not named"
[ ! -e "$work/reached" ] || fail "it went on after the check: $(cat "$work/reached")"
[ "$failures" -eq 0 ] || { cat "$work/test.out" >&2; exit 1; }
echo "passed"
