#!/usr/bin/env bash
# One end-to-end case of the real launcher against the demo service, on a private Xvfb display, typed into
# by xdotool. Every wait is on a condition, bounded; the CTest timeout is the last guard.
#   e2e_test.sh CASE LAUNCHER SERVICE APPLET PORT STATE-DIR WORK-ROOT
#   CASE: accepted  the working code: the applet runs, the launcher closes by itself with status 0
#         expired   the expired code: the error box, dismissed with Return; the launcher stays open
#         stale     the working code from a launcher whose clock is two hours ahead: refused as a stale call
#         accessibility  both codes again, as a screen reader meets the window (a11y_test.py, AT-SPI on a private
#                   D-Bus session)
set -euo pipefail
case_name=$1 launcher=$2 service=$3 applet=$4 port=$5 state=$6 work_root=$7
# shellcheck source=tools/private_display.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/private_display.sh"

work=$(mktemp -d "$work_root/run-$case_name.XXXXXX")
staging=$work/tmp/.zvq-support.tmp
mkdir -m 0700 "$work/tmp" "$work/runtime"
service_pid=
launcher_pid=

fail() {
  echo "FAIL: $*"
  echo "--- service log"; cat "$work/service.log" 2>/dev/null || true
  echo "--- launcher output"; cat "$work/launcher.log" 2>/dev/null || true
  exit 1
}

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# wait_for SECONDS COMMAND...: polls the condition every 50 ms.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

stop_everything() {
  if alive "$launcher_pid"; then
    pkill -KILL -P "$launcher_pid" 2>/dev/null || true  # an applet left running by a failed case
    kill -KILL "$launcher_pid" 2>/dev/null || true
  fi
  if alive "$service_pid"; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  stop_private_display
  rm -rf "$work"
}
trap stop_everything EXIT

start_service() {
  "$service" --port "$port" --state-dir "$state" --applet "$applet" >"$work/service.log" 2>&1 &
  service_pid=$!
  wait_for 20 grep -q "listening on" "$work/service.log" || fail "the demo service did not start"
}

# start_launcher [WRAPPER...]: the launcher with this case's own temporary folder, so its staging folder too.
start_launcher() {
  env TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/runtime" ZVQ_DEMO_APPLET_SECONDS=1 "$@" "$launcher" \
    >"$work/launcher.log" 2>&1 &
  launcher_pid=$!
  launcher_window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Support Launcher$' | head -n 1) ||
    fail "the launcher's window did not appear"
}

# type_code DIGITS: into the code field (it has the focus when the window opens), then Enter.
type_code() {
  xdotool windowfocus --sync "$launcher_window"
  xdotool type --delay 30 "$1"
  xdotool key Return
}

# count PATTERN: how many request lines of the service match.
count() { grep -c -E "$1" "$work/service.log" || true; }
request_lines() { count '^(GET|POST|PUT|DELETE|HEAD) '; }

launcher_exited() { ! alive "$launcher_pid"; }
error_box_shown() { xdotool search --onlyvisible --name '^Error$' >/dev/null 2>&1; }
error_box_gone() { ! error_box_shown; }
staging_empty() { [ -d "$staging" ] && [ -z "$(ls -A "$staging")" ]; }

# The refused-code cases: the box, Return dismisses it, the window is still there with nothing staged.
expect_refusal() {
  local expected_line=$1
  wait_for 20 error_box_shown || fail "no error box"
  box=$(xdotool search --onlyvisible --name '^Error$' | head -n 1)
  xdotool windowfocus --sync "$box"
  xdotool key Return
  wait_for 10 error_box_gone || fail "Return did not dismiss the error box"
  alive "$launcher_pid" || fail "the launcher closed after a refused code"
  xdotool search --onlyvisible --name '^Support Launcher$' >/dev/null || fail "the launcher's window is gone"
  [ "$(count "$expected_line")" -eq 1 ] || fail "expected one line matching: $expected_line"
  [ "$(request_lines)" -eq 1 ] || fail "expected exactly one request, the validation"
  staging_empty || fail "the staging folder is not empty: $(ls -A "$staging")"
  # Nothing runs, so the window may close: the close rule is not what stops it here, a signal is.
  kill -TERM "$launcher_pid"
  wait_for 10 launcher_exited || fail "the launcher did not stop on SIGTERM"
}

start_private_display "$work" || fail "no private display"
export XDG_RUNTIME_DIR=$work/runtime
start_service

case "$case_name" in
  accepted)
    start_launcher
    type_code 123456789
    wait_for 45 launcher_exited || fail "the launcher did not close by itself after the applet's session"
    status=0
    wait "$launcher_pid" || status=$?
    launcher_pid=
    [ "$status" -eq 0 ] || fail "the launcher exited with status $status"
    grep -q "zvq-demo-applet: support session ended" "$work/launcher.log" || fail "the applet did not run to its end"
    [ "$(count '^POST /validate 200 accepted')" -eq 1 ] || fail "expected one accepted validation"
    [ "$(count '^GET /applet/[0-9a-f]+ 200 applet sent')" -eq 1 ] || fail "expected one applet download"
    [ "$(request_lines)" -eq 2 ] || fail "expected exactly two requests"
    staging_empty || fail "the staging folder is not empty: $(ls -A "$staging")"
    ;;
  expired)
    start_launcher
    type_code 111222333
    expect_refusal '^POST /validate 410 InvalidCodeException: .* has expired'
    ;;
  stale)
    # Two hours ahead: far outside the service's tolerance, and inside every certificate's validity.
    # The preloaded clock library cannot come first on a sanitizer build's library list; that is harmless here.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" start_launcher faketime -f +2h
    type_code 123456789
    expect_refusal '^POST /validate 401 StaleCallException'
    ;;
  accessibility)
    # The system's Python: the AT-SPI bindings are Debian's. The script starts the launcher itself, after its
    # listeners are on the bus.
    env TMPDIR="$work/tmp" dbus-run-session -- /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/a11y_test.py" \
      "$launcher" 2> >(grep -v -e 'Failed to set fd limit' -e 'Activating service' -e 'Successfully activated' \
                       -e 'SpiRegistry daemon' >&2) || fail "the accessibility checks failed"
    staging_empty || fail "the staging folder is not empty: $(ls -A "$staging")"
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
