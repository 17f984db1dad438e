#!/usr/bin/env bash
# The Windows program end to end under Wine against the local demo support service (./zvq run windows).
# Builds ZvqSupportLauncher.exe (tools/windows_build.sh) and the Linux demo service, which serves the Windows
# demo applet, puts the service's CA into a Wine prefix's Root store and starts the launcher.
# With a usable display the user types the demo code. Without one the launcher runs on a private Xvfb display:
# the code is typed for the user, each stage is pictured into build/windows-x86_64/screenshots, and the run ends
# with the launcher's exit code and a look at the staging folder. Ctrl-C stops everything the run started.
# The 64-bit build is the one that runs: the shipped 32-bit one needs 32-bit Wine, which needs a host that
# runs 32-bit Linux programs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# shellcheck source=tools/private_display.sh
source "$root/tools/private_display.sh"
# shellcheck source=tools/wine_session.sh
source "$root/tools/wine_session.sh"

host_build=$root/build/windows-host
windows_build=$root/build/windows-x86_64
port=47443  # the port of the Windows build's service URL
code=123456789
applet_seconds=${ZVQ_DEMO_APPLET_SECONDS:-4}
work=$(mktemp -d "${TMPDIR:-/tmp}/zvq-run-windows.XXXXXX")
service_pid=
log_pid=
launcher_pid=

pid_alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

stop_all() {
  wine_prefix_stop
  for pid in "$service_pid" "$log_pid"; do
    if pid_alive "$pid"; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  stop_private_display
  rm -rf "$work"
}
trap stop_all EXIT
trap 'echo; echo "Stopped by the user."; exit 130' INT TERM

wait_for() {  # SECONDS COMMAND...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for package in wine wine64 fonts-wine xvfb xauth xdotool python3 osslsigncode; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "Building the Windows programs and the demo service"
tools/windows_build.sh
cmake -S "$root" -B "$host_build" -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZVQ_BUILD_WINDOW=OFF -DZVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$host_build" -j "${ZVQ_JOBS:-2}" --target zvq-demo-service
# The state the Windows build pinned and signed the demo applet with.
state=$(sed -n 's/^ZVQ_DEMO_STATE_DIR:PATH=//p' "$windows_build/CMakeCache.txt")

"$host_build/tools/demo_service/zvq-demo-service" --port "$port" --state-dir "$state" \
  --applet "$windows_build/tools/demo_applet/zvq-demo-applet.exe" --idle-timeout 15 >"$work/service.log" 2>&1 &
service_pid=$!
wait_for 20 grep -q "listening on" "$work/service.log" || {
  echo "The demo service did not start on port $port (is an earlier one still running?):" >&2
  cat "$work/service.log" >&2
  exit 1
}
tail -n +1 -f --pid="$service_pid" "$work/service.log" | sed -u 's/^/[service] /' &
log_pid=$!

have_display() { [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; }
headless=0
have_display || headless=1
if [ "$headless" -eq 1 ]; then start_private_display "$work"; fi

echo "Making a Wine prefix that trusts the demo service's CA: $windows_build/wineprefix"
wine_prefix_start "$windows_build/wineprefix" "$state/ca-cert.pem" "$windows_build/tools/import_ca/zvq-import-ca.exe"
staging=$(wine_temp_folder)/.zvq-support.tmp

echo
echo "Running $windows_build/window/ZvqSupportLauncher.exe (64-bit) under 64-bit Wine"
export ZVQ_DEMO_APPLET_SECONDS=$applet_seconds
"${wine[@]}" "$windows_build/window/ZvqSupportLauncher.exe" &
launcher_pid=$!
exit_code=0
if [ "$headless" -eq 0 ]; then
  echo "Type the code 123 456 789 and press Enter or Submit; end the demo applet's session to close the launcher."
  wait "$launcher_pid" || exit_code=$?
else
  pictures=$windows_build/screenshots
  rm -rf "$pictures"
  mkdir -p "$pictures"
  picture() {  # NAME WINDOW
    local X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$2" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
    python3 tools/xvfb_picture.py "$PRIVATE_DISPLAY_FRAMEBUFFER" "$pictures/$1.png" \
      "$((X - 4))" "$((Y - 24))" "$((WIDTH + 8))" "$((HEIGHT + 28))"
  }
  shown() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
  wait_for 90 shown '^Support Launcher$' || { echo "The launcher's window did not appear"; exit 1; }
  window=$(xdotool search --onlyvisible --name '^Support Launcher$' | head -n 1)
  echo "No display: the launcher runs on a private Xvfb display; typing 123 456 789 and Enter for you."
  picture 1-start "$window"
  xdotool windowfocus --sync "$window" mousemove 0 0 type --delay 60 "$code"
  picture 2-code "$window"
  xdotool key Return
  if wait_for 90 shown '^Remote support session$'; then
    echo "The demo applet's session window is open; it ends itself after $applet_seconds seconds."
    python3 tools/xvfb_picture.py "$PRIVATE_DISPLAY_FRAMEBUFFER" "$pictures/3-session.png"
  fi
  wait "$launcher_pid" || exit_code=$?
  echo "Pictures: $pictures"
fi
launcher_pid=
sleep 0.2
echo "Launcher exit code: $exit_code"
if [ -z "$(ls -A "$staging" 2>/dev/null)" ]; then
  echo "Staging folder $staging: empty"
else
  echo "Staging folder $staging: NOT empty:"
  ls -lA "$staging"
  [ "$exit_code" -ne 0 ] || exit_code=1
fi
exit "$exit_code"
