#!/usr/bin/env bash
# Usage: demo_picture_test.sh FILE_MANAGER MODULE_DIR DAEMON_SIM SHARE OUT
# The demo's picture of a real file manager, made as scripts/demo makes it
# without a display: on the demo's own sample, which it refuses to save
# unless every sample file still shows its emblem beside the open Tarnwell
# sub-menu. Leaves the picture and the logs in OUT. As root only (private
# namespaces), else it reports itself skipped (77).
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 FILE_MANAGER MODULE_DIR DAEMON_SIM SHARE OUT" >&2; exit 2; }
fm=$1 out=$5
if [ "$(id -u)" -ne 0 ]; then
  echo "demo_picture_test: skipped: needs root for its private namespaces"
  exit 77
fi
checkout=$(cd "$(dirname "$0")/../.." && pwd)
source "$checkout/scripts/lib/sample-folder.sh"
work=$(mktemp -d /tmp/tarnwell-demo-picture.XXXXXX)
trap 'rm -rf "$work"' EXIT
sample_folder "$work"
mkdir -p "$out"
rm -f "$out/$fm.png"
/usr/bin/python3 "$checkout/scripts/lib/file_manager_demo.py" --file-manager "$fm" \
  --module-dir "$2" --daemon-sim "$3" --share "$4" --sync "$sample_sync" \
  "${sample_statuses[@]}" --logs "$out/logs" --picture "$out/$fm.png"
if [ ! -s "$out/$fm.png" ]; then
  echo "demo_picture_test $fm: FAILED: no picture saved in $out" >&2
  exit 1
fi
echo "demo_picture_test $fm: passed; the picture is $out/$fm.png"
