#!/usr/bin/env bash
# Builds the Debian package and checks it as a user gets it: lintian finds no error, apt-get
# installs it with its dependencies, the desktop entry and the AppStream data validate, the
# installed program runs from PATH, GStreamer finds the element without help, the installed
# program shows the first-start wizard on a fresh profile under Xvfb, and apt-get remove takes
# every file of it away again. Runs as root or through sudo (tools/test.sh runs it).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --wizard ]; then
  # Inside xvfb-run: the installed program on a fresh profile, driven through --control.
  profile=$2
  export QT_QPA_PLATFORM=xcb
  coproc MORVIKA { exec morvika --profile "$profile" --port 27931 --control 2>"$profile/stderr.txt"; }
  expect() { # PATTERN: reads answers until one matches, 60 s at most
    local line
    while IFS= read -r -t 60 line <&"${MORVIKA[0]}"; do
      case "$line" in $1) return 0 ;; esac
    done
    echo "package-check: no answer matching '$1' from the installed program" >&2
    cat "$profile/stderr.txt" >&2
    return 1
  }
  expect "event dialog CMainPropertySeet"
  # The wizard is a real window on the X server, and it carries the window class that the
  # desktop entry's StartupWMClass names, so that the launcher groups it under the entry.
  wmclass=$(grep -o '^StartupWMClass=.*' /usr/share/applications/jp.oskel.Morvika.desktop | cut -d= -f2)
  found=0
  for id in $(xwininfo -root -tree | awk '/0x[0-9a-f]+ "/ {print $1}'); do
    if xprop -id "$id" WM_CLASS 2>/dev/null | grep -q "\"$wmclass\""; then
      if xprop -id "$id" _NET_WM_NAME WM_NAME 2>/dev/null | grep -q "のプロパティ"; then found=1; fi
    fi
  done
  if [ "$found" != 1 ]; then
    echo "package-check: no wizard window of class $wmclass on the X server" >&2
    xwininfo -root -tree >&2
    exit 1
  fi
  echo "press CMainPropertySeet 2" >&"${MORVIKA[1]}"
  expect "event ready *"
  echo quit >&"${MORVIKA[1]}"
  expect "ok*"
  wait "$MORVIKA_PID"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

deb=$(bash tools/package.sh | tail -n 1)
version=$(dpkg-deb -f "$deb" Version)
echo "package-check: $deb"

# Errors fail; warnings and infos are printed.
lintian --fail-on error --display-info "$deb" 2>/dev/null

work=$(mktemp -d /tmp/morvika-package-XXXXXX)
chmod 755 "$work"
# One check at a time on this machine: another checkout's removal must not pull the package
# from under this one's checks.
exec 9>/run/lock/morvika-package-check.lock
flock 9
remove() {
  $SUDO apt-get -o DPkg::Lock::Timeout=600 remove -y -q morvika >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap remove EXIT

cp "$deb" "$work/"
# Through apt-get, so that the package's dependencies resolve as they do for a user.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends \
  "$work/$(basename "$deb")" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }

desktop-file-validate /usr/share/applications/jp.oskel.Morvika.desktop
appstreamcli validate --no-net /usr/share/metainfo/jp.oskel.Morvika.metainfo.xml

installed=$(command -v morvika)
[ "$installed" = /usr/bin/morvika ] || { echo "package-check: morvika found at '$installed'" >&2; exit 1; }
printed=$(env -u LD_LIBRARY_PATH morvika --version)
[ "$printed" = "morvika $version" ] || { echo "package-check: morvika --version printed '$printed'" >&2; exit 1; }

# A registry of its own: what GStreamer finds in the system folders alone, and the user's
# registry cache stays as it was.
env -u GST_PLUGIN_PATH -u GST_PLUGIN_PATH_1_0 -u GST_PLUGIN_SYSTEM_PATH GST_REGISTRY="$work/registry.bin" \
  gst-inspect-1.0 oskeljpegdump >"$work/inspect.txt"
grep -q "oskeljpegdump" "$work/inspect.txt"

mkdir "$work/profile"
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0" --wizard "$work/profile"

files=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {sub(/^\./, "", $6); print $6}')
$SUDO apt-get -o DPkg::Lock::Timeout=600 remove -y -q morvika >/dev/null
left=0
while IFS= read -r file; do
  if [ -e "$file" ]; then echo "package-check: $file is left after removal" >&2; left=1; fi
done <<< "$files"
for dir in /usr/share/morvika /usr/share/doc/morvika; do
  if [ -e "$dir" ]; then echo "package-check: $dir is left after removal" >&2; left=1; fi
done
[ "$left" = 0 ]
echo "package-check: $(wc -l <<< "$files") files installed and removed again"
