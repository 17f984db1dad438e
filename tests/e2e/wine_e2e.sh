#!/usr/bin/env bash
# The real Windows program end to end under Wine: ZvqSupportLauncher.exe (64-bit) against the Linux demo
# service, which serves the Windows demo applet, on a private Xvfb display, typed into by xdotool as a user
# would. The program trusts the system's store only, so the service's CA goes into the prefix's Root store.
#   wine_e2e.sh WINDOWS-BUILD SERVICE WORK-DIR [CASE...]
#   WINDOWS-BUILD  a tools/windows_build.sh tree (its launcher calls https://localhost:47443/validate)
#   CASE: accepted  the working code: the applet starts with its quoted path as its whole command line, a close
#                   during the session is refused, the launcher closes by itself, the staging folder is empty
#         expired   a left-over staging file is cleaned at start; a double-click replaces the whole code; the
#                   expired code: one error box, dismissed with Return; the launcher stays, then closes
#         stale     the working code from a launcher whose clock is two hours ahead: refused as a stale call
#         tampered  the working code, and the service serves the signed demo applet with one byte changed: the
#                   launcher refuses it as not from the expected publisher, starts nothing and leaves nothing
# The service runs on the demo state the Windows build pinned (its ZVQ_DEMO_STATE_DIR), whose CA signed the
# demo applet. Pictures of each stage go to $ZVQ_E2E_PICTURES when it names a folder. Every wait is bounded.
set -euo pipefail
windows_build=$(realpath "$1") service=$(realpath "$2") work=$(realpath -m "$3")
shift 3
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(accepted expired stale tampered)
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=tools/private_display.sh
source "$root/tools/private_display.sh"
# shellcheck source=tools/wine_session.sh
source "$root/tools/wine_session.sh"

launcher=$windows_build/window/ZvqSupportLauncher.exe
applet=$windows_build/tools/demo_applet/zvq-demo-applet.exe
import_tool=$windows_build/tools/import_ca/zvq-import-ca.exe
port=47443
pictures=${ZVQ_E2E_PICTURES:-}
state=$(sed -n 's/^ZVQ_DEMO_STATE_DIR:PATH=//p' "$windows_build/CMakeCache.txt")
[ -f "$state/ca-cert.pem" ] || { echo "no demo state in the Windows build (ZVQ_DEMO_STATE_DIR: '$state')"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
service_pid=
launcher_pid=
failed=0

log() { echo "[$(date +%T)] $*"; }
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# wait_for SECONDS COMMAND...: polls the condition every 100 ms.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

stop_service() {
  if alive "$service_pid"; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  service_pid=
}

stop_everything() {
  if alive "$launcher_pid"; then kill -KILL "$launcher_pid" 2>/dev/null || true; fi
  wine_prefix_stop
  stop_service
  stop_private_display
}
trap stop_everything EXIT

# start_service [SERVICE-OPTION...]
start_service() {
  stop_service
  : >"$work/service.log"
  # Generous idle time: Wine checks the certificate between handshake and request, slowly on a busy host.
  "$service" --port "$port" --state-dir "$state" --applet "$applet" --idle-timeout 15 "$@" \
    >>"$work/service.log" 2>&1 &
  service_pid=$!
  wait_for 30 grep -q "listening on" "$work/service.log" || { cat "$work/service.log"; return 1; }
}

# picture NAME [WINDOW [MARGIN]]: the window with its frame and MARGIN pixels around it (or the whole screen)
# into the pictures folder.
picture() {
  [ -n "$pictures" ] || return 0
  mkdir -p "$pictures"
  local geometry=()
  if [ -n "${2:-}" ]; then
    local X Y WIDTH HEIGHT margin=${3:-4}
    eval "$(xdotool getwindowgeometry --shell "$2" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
    geometry=("$((X - margin))" "$((Y - 20 - margin))" "$((WIDTH + 2 * margin))" "$((HEIGHT + 20 + 2 * margin))")
  fi
  python3 "$root/tools/xvfb_picture.py" "$PRIVATE_DISPLAY_FRAMEBUFFER" "$pictures/$1.png" "${geometry[@]}"
}

find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
window_shown() { [ -n "$(find_window "$1")" ]; }
launcher_exited() { ! alive "$launcher_pid"; }
count() { grep -c -E "$1" "$work/service.log" || true; }
request_lines() { count '^(GET|POST|PUT|DELETE|HEAD) '; }
staging_empty() { [ -d "$staging" ] && [ -z "$(ls -A "$staging")" ]; }

start_launcher() {
  : >"$work/applet-report.txt"
  ZVQ_DEMO_APPLET_SECONDS=$1 ZVQ_DEMO_APPLET_REPORT="$report_windows" "${wine[@]}" "$launcher" \
    >"$work/launcher.log" 2>&1 &
  launcher_pid=$!
  wait_for 90 window_shown '^Support Launcher$' || return 1
  launcher_window=$(find_window '^Support Launcher$')
  xdotool mousemove 0 0  # the pointer stays out of the pictures
}

type_code() {
  xdotool windowfocus --sync "$launcher_window"
  xdotool type --delay 60 "$1"
}

# The refused cases: one box, Return dismisses it, the window is still there with nothing staged; then the
# user's close (Alt+F4) ends the program, since no run is under way any more.
#   expect_refusal EXPECTED-LINE NAME [REQUESTS]   (default: one request, the validation)
expect_refusal() {
  local expected_line=$1 name=$2 requests=${3:-1}
  wait_for 60 window_shown '^Error$' || { echo "no error box"; return 1; }
  sleep 0.3
  local box
  box=$(find_window '^Error$')
  picture "$name-error" "$launcher_window" 70
  [ "$(xdotool search --onlyvisible --name '^Error$' | wc -l)" -eq 1 ] || { echo "more than one error box"; return 1; }
  xdotool windowfocus --sync "$box"
  xdotool key Return
  wait_for 20 bash -c "! xdotool search --onlyvisible --name '^Error\$' >/dev/null" ||
    { echo "Return did not dismiss the error box"; return 1; }
  alive "$launcher_pid" || { echo "the launcher closed after a refused code"; return 1; }
  wait_for 10 window_shown '^Support Launcher$' || { echo "the launcher's window is gone"; return 1; }
  [ "$(count "$expected_line")" -eq 1 ] || { echo "expected one line matching: $expected_line"; return 1; }
  [ "$(request_lines)" -eq "$requests" ] || { echo "expected exactly $requests request(s)"; return 1; }
  staging_empty || { echo "the staging folder is not empty: $(ls -A "$staging")"; return 1; }
  xdotool windowfocus --sync "$launcher_window"
  xdotool key alt+F4
  wait_for 30 launcher_exited || { echo "Alt+F4 did not close an idle launcher"; return 1; }
  local status=0
  wait "$launcher_pid" || status=$?
  launcher_pid=
  [ "$status" -eq 0 ] || { echo "the launcher exited with status $status"; return 1; }
}

case_accepted() {
  start_service
  start_launcher 8 || { echo "the launcher's window did not appear"; return 1; }
  picture accepted-1-start "$launcher_window"
  type_code 123456789
  sleep 0.3
  picture accepted-2-code "$launcher_window"
  xdotool key Return
  wait_for 90 window_shown '^Remote support session$' || { echo "the applet's window did not appear"; return 1; }
  sleep 0.5
  picture accepted-3-waiting "$launcher_window" 170
  # A close while the applet runs is refused silently.
  xdotool windowfocus --sync "$launcher_window"
  xdotool key alt+F4
  sleep 1
  alive "$launcher_pid" && window_shown '^Support Launcher$' || { echo "the launcher closed during the session"; return 1; }
  wait_for 90 launcher_exited || { echo "the launcher did not close by itself after the session"; return 1; }
  local status=0
  wait "$launcher_pid" || status=$?
  launcher_pid=
  [ "$status" -eq 0 ] || { echo "the launcher exited with status $status"; return 1; }
  local quoted="\"$temp_windows\\.zvq-support.tmp\\QuintrelSupport.exe\""
  grep -qF "support session started (" "$work/applet-report.txt" || { echo "the applet did not start"; return 1; }
  grep -qF "working directory $temp_windows\\.zvq-support.tmp, command line $quoted)" "$work/applet-report.txt" ||
    { echo "the applet's working directory or command line is not as expected:"; cat "$work/applet-report.txt"; return 1; }
  grep -qF "support session ended" "$work/applet-report.txt" || { echo "the applet's session did not end"; return 1; }
  [ "$(count '^POST /validate 200 accepted')" -eq 1 ] || { echo "expected one accepted validation"; return 1; }
  [ "$(count '^GET /applet/[0-9a-f]+ 200 applet sent')" -eq 1 ] || { echo "expected one applet download"; return 1; }
  [ "$(request_lines)" -eq 2 ] || { echo "expected exactly two requests"; return 1; }
  staging_empty || { echo "the staging folder is not empty: $(ls -A "$staging")"; return 1; }
}

case_expired() {
  start_service
  # A file an earlier run left behind goes with the clean-up shortly after the window shows.
  mkdir -p "$staging"
  echo "left over" >"$staging/QuintrelSupport.exe"
  start_launcher 1 || { echo "the launcher's window did not appear"; return 1; }
  wait_for 20 staging_empty || { echo "the start-up clean-up left $(ls -A "$staging")"; return 1; }
  # A double-click selects the whole code, so the next digits replace it rather than being cut off after nine.
  # (The window as X sees it includes the frame Wine draws: the code field sits about 105 pixels down.)
  type_code 999999999
  xdotool mousemove --window "$launcher_window" 150 105 click --repeat 2 --delay 80 1
  xdotool mousemove 0 0 type --delay 60 111222333
  xdotool key Return
  expect_refusal '^POST /validate 410 InvalidCodeException: .* has expired' expired
}

case_stale() {
  # The launcher's clock two hours ahead: far outside the service's tolerance, and inside every certificate's
  # validity. (Not the service's clock: behind, it would take its certificates for not yet valid and remake
  # them, and the prefix would no longer trust them.) The clock library is preloaded straight into the Wine
  # process: the faketime wrapper would stand between us and the launcher as a process of its own.
  local library
  library=$(dpkg -L libfaketime 2>/dev/null | grep -m1 '/libfaketime\.so\.1$') || { echo "no libfaketime"; return 1; }
  start_service
  # File times stay real, or Wine would take its prefix for outdated and rebuild it first.
  LD_PRELOAD="$library" FAKETIME=+2h NO_FAKE_STAT=1 DONT_FAKE_MONOTONIC=1 start_launcher 1 || { echo "the launcher's window did not appear"; return 1; }
  type_code 123456789
  xdotool key Return
  expect_refusal '^POST /validate 401 StaleCallException' stale
}

case_tampered() {
  start_service --tamper
  # Wine's message-box channel writes the box's text to the launcher's output.
  WINEDEBUG=-all,+msgbox start_launcher 1 || { echo "the launcher's window did not appear"; return 1; }
  type_code 123456789
  xdotool key Return
  expect_refusal '^GET /applet/[0-9a-f]+ 200 applet sent' tampered 2 || return 1
  grep -qF '[EAppletNotTrusted] The downloaded program is not from the expected publisher and must not be run' \
    "$work/launcher.log" || { echo "the error box did not say that the applet is not trusted"; return 1; }
  [ ! -s "$work/applet-report.txt" ] || { echo "the applet started:"; cat "$work/applet-report.txt"; return 1; }
}

for program in "$launcher" "$applet" "$import_tool" "$service"; do
  [ -f "$program" ] || { echo "missing $program"; exit 1; }
done
start_private_display "$work" || exit 1
log "making a Wine prefix"
# The service makes its CA on first start; the prefix must trust it before the launcher calls.
start_service
wine_prefix_start "$work/wineprefix" "$state/ca-cert.pem" "$import_tool"
stop_service
temp_windows=$(wine_temp_folder_windows)
staging=$(wine_temp_folder)/.zvq-support.tmp
report_windows=$("${wine[@]}" winepath -w "$work/applet-report.txt" 2>/dev/null | tr -d '\r')

for name in "${cases[@]}"; do
  log "case $name"
  if "case_$name"; then
    echo "PASS: $name"
  else
    echo "FAIL: $name"
    echo "--- service log"; cat "$work/service.log" 2>/dev/null || true
    echo "--- launcher output"; cat "$work/launcher.log" 2>/dev/null || true
    echo "--- applet report"; cat "$work/applet-report.txt" 2>/dev/null || true
    failed=1
    if alive "$launcher_pid"; then kill -KILL "$launcher_pid" 2>/dev/null || true; fi
    launcher_pid=
    wine_prefix_stop
  fi
done
exit "$failed"
