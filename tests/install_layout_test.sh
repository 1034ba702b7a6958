#!/usr/bin/env bash
# Installs each install component of a build into its own scratch DESTDIR,
# under a prefix other than the configured one (as a package build or a moved
# install does), and checks what a machine with the real file manager relies
# on: the stand-in host library and its headers never reach a public folder,
# the plug-in carries no RUNPATH, the tools reach their libraries relative to
# themselves, every installed file belongs to a component, every program has
# its man page with a synopsis, each file manager's module (component named
# after it) is alone in its component, in that file manager's extension
# folder, the installed dfmext-host loads the installed plug-in, which finds
# its installed catalogues (component data, with the icons), and the
# installed doctor checks what was installed beside it.
#
# Usage: install_layout_test.sh BUILD_DIR PLUGIN_DIR PRIVATE_LIBDIR MAN_PAGES(ON|OFF)
#          [FILE_MANAGER...]
# with the two folders relative to the install prefix, and the file managers
# whose modules the build makes.
set -euo pipefail
build=$1 plugin_dir=$2 private_dir=$3 man_pages=$4
shift 4
file_managers=("$@")
prefix=/opt/tarnwell-relocated
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
in_prefix() {  # DIR: where an install puts DIR, relative to the prefix unless absolute
  case "$1" in /*) echo "$1" ;; *) echo "$prefix/$1" ;; esac
}
plugin_dir=$(in_prefix "$plugin_dir")
private_dir=$(in_prefix "$private_dir")
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for component in plugin data tools Unspecified "${file_managers[@]}"; do
  DESTDIR="$work/$component" cmake --install "$build" --component "$component" \
    --prefix "$prefix" >/dev/null
done

# An install() without COMPONENT would land in no package.
mkdir -p "$work/Unspecified"
stray=$(cd "$work/Unspecified" && find . ! -type d)
[ -z "$stray" ] || fail "installed outside the packages' components: $stray"

# Each module alone in its component, where its file manager loads extensions.
for fm in "${file_managers[@]}"; do
  mkdir -p "$work/$fm"
  installed=$(cd "$work/$fm" && find . ! -type d | sed 's|^\.||')
  case "$installed" in
    "$prefix"/lib*/"$fm"/extensions-*/libtarnwell-"$fm".so) ;;
    *) fail "the $fm component is not its module in its extension folder: '$installed'" ;;
  esac
done

plugin="$work/plugin$plugin_dir/libdfm-extension-tarnwell.so"
if [ ! -f "$plugin" ]; then
  fail "no plug-in at $plugin_dir"
elif readelf -d "$plugin" | grep -Eq '\((RPATH|RUNPATH)\)'; then
  fail "the plug-in carries a library search path: $(readelf -d "$plugin" | grep -E 'R(UN)?PATH')"
fi

while IFS= read -r file; do
  case "$file" in
    */include/*) fail "header installed: $file" ;;
    */libdfm-extension.so) fail "namelink of the stand-in installed: $file" ;;
    */libdfm-extension.so.*)
      [ "$(dirname "$file")" = "$private_dir" ] ||
        fail "stand-in host library outside the private folder: $file" ;;
  esac
done < <(cd "$work" && find plugin data tools ! -type d | sed 's|^[^/]*||')

for component in plugin data tools "${file_managers[@]}"; do
  while IFS= read -r file; do
    [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ] || continue
    for entry in $(readelf -d "$file" | sed -n 's/.*R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p' | tr ':' ' '); do
      case "$entry" in
        '$ORIGIN'*) ;;
        *) fail "$file has a RUNPATH outside its own tree: $entry" ;;
      esac
    done
  done < <(find "$work/$component" -type f)
  if [ "$man_pages" = ON ] && [ -d "$work/$component$prefix/bin" ]; then
    for program in "$work/$component$prefix"/bin/*; do
      name=$(basename "$program")
      page="$work/$component$prefix/share/man/man1/$name.1"
      if [ ! -f "$page" ]; then
        fail "$name has no man page in the $component component"
      elif ! grep -q '^\.SH SYNOPSIS' "$page"; then
        fail "the man page of $name has no SYNOPSIS"
      fi
    done
  fi
done

# The components together, as the packages installed: the program must
# find the stand-in and the plug-in from where it was installed.
cp -a "$work/plugin/." "$work/data/." "$work/tools/"
host="$work/tools$prefix/bin/dfmext-host"
if ! output=$(env -u LD_LIBRARY_PATH "$host" -e 'echo loaded' 2>"$work/host.err") ||
  [ "$output" != loaded ]; then
  fail "the installed dfmext-host did not load the installed plug-in: $output $(cat "$work/host.err")"
fi

# The installed plug-in finds the installed catalogues from where it lies:
# against the installed daemon sim, its menu shows in German.
mkdir -p "$work/Sync"
"$work/tools$prefix/bin/tarnwell-daemon-sim" --no-stdin --root "$work/Sync" >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 200); do
  grep -qs '^listening' "$work/sim.out" && break
  sleep 0.05
done
german=$(env -u LD_LIBRARY_PATH LC_ALL=C.UTF-8 LANGUAGE=de "$host" \
  -e "emblem '$work/Sync' --wait 10000" -e "menu '$work/Sync'" 2>>"$work/host.err") || true
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
[[ "$german" == *"1. Eigenschaften [tarnwell-small]"* ]] ||
  fail "the installed plug-in did not show its German menu: $german $(cat "$work/sim.out")"

# The installed doctor checks the plug-in and the icons installed beside it,
# not those of the prefix it was configured with. No daemon and no system
# icons: only its own findings on them matter here.
mkdir -p "$work/no-data"
doctor=$(env XDG_DATA_HOME="$work/no-data" XDG_DATA_DIRS="$work/no-data" \
  "$work/tools$prefix/bin/tarnwell-doctor" --port 1 --notify-port 1) || true
installed_plugin="$work/tools$plugin_dir/libdfm-extension-tarnwell.so"
[[ "$doctor" == *"passed  plug-in: $installed_plugin"* ]] ||
  fail "the installed doctor did not check the plug-in installed beside it: $doctor"
[[ "$doctor" == *"passed  icons: all "*" found in the hicolor theme"* ]] ||
  fail "the installed doctor did not find the icons installed beside it: $doctor"

[ "$failures" -eq 0 ] && echo "install layout: every check passed"
exit $((failures > 0))
