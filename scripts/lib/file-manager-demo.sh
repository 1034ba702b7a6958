# scripts/demo --file-manager NAME: the sample sync folder in a real file
# manager (nautilus, caja, nemo, dolphin or thunar) with our module, driven by
# scripts/lib/file_manager_demo.py. Sourced by scripts/demo, which stands in
# the checkout and has sourced fixed-ports.sh and sample-folder.sh.
#
# On the user's display when there is one, else under Xvfb with a picture.
# Nothing is written under /usr: Caja takes an extra extension folder from
# CAJA_EXTENSION_DIRS, Dolphin its plug-ins from QT_PLUGIN_PATH; Nautilus,
# Nemo and Thunar scan one fixed folder, which the demo covers with a bind
# mount in a private mount namespace (root only).

fm_demo_extension_dir() {
  local package
  case "$1" in
    nautilus) package=libnautilus-extension-4 ;;
    caja) package=libcaja-extension ;;
    nemo) package=libnemo-extension ;;
    thunar) pkg-config --variable=extensionsdir thunarx-3 2>/dev/null && return 0 ;;
  esac
  pkg-config --variable=extensiondir "$package" 2>/dev/null ||
    echo "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo '<triplet>')/$1/..."
}

# Stops, saying what to do instead, where this user cannot run the demo.
fm_demo_check_user() {
  local fm=$1 mode=$2
  [ "$(id -u)" -eq 0 ] && return 0
  if [ "$mode" = xvfb ]; then
    echo "scripts/demo: without a display the demo runs $fm under Xvfb in private mount and" \
      "network namespaces, which needs root: run it as root (sudo scripts/demo --file-manager" \
      "$fm), or from a desktop session, where Caja needs no root" >&2
    exit 1
  fi
  fm_demo_module_by_variable "$fm" && return 0
  cat >&2 <<EOF
scripts/demo: $fm loads extensions only from $(fm_demo_extension_dir "$fm"),
which no variable overrides. The demo never writes under /usr: it covers that folder with its own
in a private mount namespace, which needs root. Either
  - run the demo as root on your display:  sudo -E scripts/demo --file-manager $fm
  - or install the module and its icons, restart the file manager ($fm -q) and open a sync
    folder: the package tarnwell-$fm (scripts/package, then apt install ./tarnwell-dfm-data_*.deb
    ./tarnwell-${fm}_*.deb in build/packages), or from this build as docs/file-managers.md says.
Caja and Dolphin need no root: scripts/demo --file-manager caja (or dolphin).
EOF
  exit 1
}

# Whether the file manager finds our module through a variable, with no
# mount (and so no root) needed on the user's display.
fm_demo_module_by_variable() {
  case "$1" in caja | dolphin) return 0 ;; *) return 1 ;; esac
}

# The build's targets that make the file manager's module.
fm_demo_targets() {
  case "$1" in
    dolphin) echo tarnwell-dolphin-overlay tarnwell-dolphin-actions ;;
    *) echo "tarnwell-$1" ;;
  esac
}

fm_demo_build() {
  local fm=$1 log targets switch=()
  read -r -a targets <<<"$(fm_demo_targets "$fm")"
  # Dolphin's and Thunar's modules have a switch of their own, which a build
  # folder configured while it was off keeps: the file manager asked for is
  # turned on.
  case "$fm" in dolphin | thunar) switch=("-DTARNWELL_${fm^^}_MODULE_ENABLED=ON") ;; esac
  log=$(mktemp /tmp/tarnwell-demo-build.XXXXXX)
  if ! { cmake --preset default "${switch[@]}" && cmake --build --preset default --target tarnwell-daemon-sim \
           "${targets[@]}" tarnwell_icons tarnwell_translations; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "scripts/demo: the build failed (output above)" >&2
    exit 1
  fi
  rm -f "$log"
  if [ "$fm" = dolphin ]; then
    printf 'The plug-ins are under %s (kf5/overlayicon, kf5/kfileitemaction).\n' \
      "$PWD/build/default/lib/file-managers/$fm"
  else
    printf 'The module is %s.\n' "$PWD/build/default/lib/file-managers/$fm/libtarnwell-$fm.so"
  fi
}

fm_demo_explain() {
  local fm=$1 mode=$2
  printf '\nThe sample sync folder %s holds notes.txt (up to date), report.txt (syncing),\n' \
    "$sample_sync"
  printf 'budget.xlsx (locked), contract.pdf (read-only) and Photos/; the daemon sim serves it.\n'
  case "$fm" in
    caja) printf 'Caja finds the module through CAJA_EXTENSION_DIRS=%s.\n' "$fm_module_dir" ;;
    dolphin) printf 'Dolphin finds the emblem and menu plug-ins through QT_PLUGIN_PATH=%s.\n' \
         "$fm_module_dir" ;;
    nautilus) printf 'Nautilus scans only %s: in a private mount\nnamespace the build'"'"'s %s is mounted over it (nothing under /usr changes).\n' \
         "$(fm_demo_extension_dir "$fm")" "$fm_module_dir" ;;
    nemo) printf 'Nemo scans only %s, which its package does not even\ncreate: in a private mount namespace a copy of its parent folder holding the build'"'"'s\nmodule is mounted over the parent (nothing under /usr changes).\n' \
         "$(fm_demo_extension_dir "$fm")" ;;
    thunar) printf 'Thunar scans only %s: in a private mount namespace the build'"'"'s\n%s is mounted over it (nothing under /usr changes). Thunar lets no\nextension draw emblems: it shows the Tarnwell sub-menu alone.\n' \
         "$(fm_demo_extension_dir "$fm")" "$fm_module_dir" ;;
  esac
  [ "$mode" = xvfb ] && return 0
  printf 'It opens on your display with a D-Bus session and HOME of its own. Right-click a file\n'
  printf 'for the Tarnwell sub-menu. Type a daemon command to push a change, e.g.\n'
  printf '  set %s 0\n' "$sample_sync/report.txt"
  printf 'Close the window (or Ctrl-C) to end the demo.\n'
}

# file_manager_demo NAME PICTURE_DIR
file_manager_demo() {
  local fm=$1 picture_dir=$2 mode=xvfb
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && mode=session
  fm_demo_check_user "$fm" "$mode"
  if [ "$mode" = session ]; then scripts/install-deps "$fm"; else scripts/install-deps "$fm" fm-test; fi
  fm_demo_build "$fm"
  fm_module_dir="$PWD/build/default/lib/file-managers/$fm"
  work=$(mktemp -d /tmp/tarnwell-demo.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  sample_folder "$work"
  mkdir -p "$picture_dir"
  local logs="$picture_dir/$fm-logs"
  local run=(/usr/bin/python3 scripts/lib/file_manager_demo.py --file-manager "$fm"
    --module-dir "$fm_module_dir" --daemon-sim "$PWD/build/default/bin/tarnwell-daemon-sim"
    --share "$PWD/build/default/share" --sync "$sample_sync" "${sample_statuses[@]}"
    --logs "$logs")
  fm_demo_explain "$fm" "$mode"
  if [ "$mode" = xvfb ]; then
    printf 'No display ($DISPLAY and $WAYLAND_DISPLAY unset): %s runs under Xvfb.\n' "$fm"
    "${run[@]}" --picture "$picture_dir/$fm.png"
    local shows="emblems, and the Tarnwell sub-menu of budget.xlsx"
    [ "$fm" = thunar ] && shows="the Tarnwell sub-menu of budget.xlsx; Thunar draws no emblems"
    printf 'Saved the screenshot: %s (%s)\n' "$picture_dir/$fm.png" "$shows"
    printf 'Logs and the full screenshot: %s\n' "$logs"
    return 0
  fi
  # The daemon sim takes the fixed ports in the user's network.
  fixed_ports_lock scripts/demo
  if fm_demo_module_by_variable "$fm"; then
    "${run[@]}" --user-session
  else
    unshare -m --propagation private "${run[@]}" --user-session
  fi
  printf 'Demo finished; the logs are in %s.\n' "$logs"
}
