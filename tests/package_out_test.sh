#!/usr/bin/env bash
# scripts/package never loses a user's files: a folder given with --out is
# added to, never removed first, and a build that fails writes nothing into
# it; a relative --out is the caller's folder, not one in the checkout. The
# build fails at once here (dpkg-buildpackage refuses an unknown option),
# after everything the script does before building.
#
# Usage: package_out_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
# Without the packaging tools the script would install them: not in a test.
if ! missing=$("$source_dir/scripts/install-deps" --check package); then
  echo "skipped: $missing"
  exit 77
fi
work=$(realpath "$(mktemp -d)")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$work/user/keep"
echo mine >"$work/user/keep/notes.txt"
cd "$work/user"
for out in keep "$work/user/keep"; do
  status=0
  TMPDIR="$work" "$source_dir/scripts/package" --out "$out" --no-such-option \
    >"$work/package.log" 2>&1 || status=$?
  [ "$status" -ne 0 ] || fail "--out $out: the failed build reported success"
  [ "$(cat keep/notes.txt 2>/dev/null)" = mine ] ||
    fail "--out $out: the user's file is gone ($(ls -A keep 2>&1))"
  [ "$(ls -A keep 2>/dev/null)" = notes.txt ] ||
    fail "--out $out: the failed build left something in the folder: $(ls -A keep 2>&1)"
  grep -qxF "scripts/package: the packages go to $work/user/keep" "$work/package.log" ||
    fail "--out $out is not the folder in the current one: $(head -n 3 "$work/package.log")"
done
[ "$failures" -eq 0 ] || { cat "$work/package.log" >&2; exit 1; }
echo "passed"
