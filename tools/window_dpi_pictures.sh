#!/usr/bin/env bash
# Pictures of the window at several scales, to check that no text is clipped: the Windows program under Wine at
# 96, 144 and 192 DPI, and the Qt window with QT_SCALE_FACTOR=2. Each shows the demo code typed in.
#   tools/window_dpi_pictures.sh OUT-DIR
# Needs tools/windows_build.sh's 64-bit program and the default build's launcher (cmake --preset default and
# cmake --build --preset default --target zvq-support-launcher). Neither talks to a service here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out=$(realpath -m "$1")
# shellcheck source=tools/private_display.sh
source "$root/tools/private_display.sh"
# shellcheck source=tools/wine_session.sh
source "$root/tools/wine_session.sh"

windows_launcher=$root/build/windows-x86_64/window/ZvqSupportLauncher.exe
qt_launcher=$root/build/default/window/zvq-support-launcher
for program in "$windows_launcher" "$qt_launcher"; do
  [ -f "$program" ] || { echo "missing $program" >&2; exit 1; }
done
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/zvq-dpi.XXXXXX")
launcher_pid=
stop_all() {
  if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then kill "$launcher_pid" 2>/dev/null || true; fi
  wine_prefix_stop
  stop_private_display
  rm -rf "$work"
}
trap stop_all EXIT

# picture NAME: the launcher's window with its frame, typed into, then closed.
picture() {
  local window X Y WIDTH HEIGHT
  window=$(timeout 90 xdotool search --sync --onlyvisible --name '^Support Launcher$' | head -n 1)
  xdotool windowfocus --sync "$window" mousemove 0 0 type --delay 40 123456789
  sleep 0.5  # the last digit's repaint; nothing on the bus says when a frame is on the screen
  eval "$(xdotool getwindowgeometry --shell "$window" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  local frame=$((HEIGHT / 6))  # room for the caption bar Wine draws above the client area
  python3 "$root/tools/xvfb_picture.py" "$PRIVATE_DISPLAY_FRAMEBUFFER" "$out/$1.png" \
    "$((X - 4))" "$((Y - frame - 4))" "$((WIDTH + 8))" "$((HEIGHT + frame + 8))"
  kill "$launcher_pid" 2>/dev/null || true
  wait "$launcher_pid" 2>/dev/null || true
  launcher_pid=
  echo "$out/$1.png"
}

start_private_display "$work"
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 "${wine[@]}" wineboot --init >"$work/wineboot.log" 2>&1 || true
"$wineserver" -w
"${wine[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
for dpi in 96 144 192; do
  "${wine[@]}" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
  # The DPI is read when the prefix's server starts.
  "$wineserver" -k || true
  "$wineserver" -w
  "${wine[@]}" "$windows_launcher" >"$work/launcher.log" 2>&1 &
  launcher_pid=$!
  picture "window-win32-${dpi}dpi"
  "$wineserver" -k || true
done

mkdir -m 0700 "$work/runtime"
XDG_RUNTIME_DIR=$work/runtime QT_SCALE_FACTOR=2 "$qt_launcher" >"$work/qt.log" 2>&1 &
launcher_pid=$!
picture window-qt-scale2
