#!/usr/bin/env bash
# The launcher end to end against the local demo support service (./zvq run).
# With a usable display the user types the demo code into the launcher. Without one the launcher's window runs
# on a private Xvfb display, driven by zvq-demo-driver: it types the code, prints each stage caption and saves a
# picture per stage. Either way the run ends with the launcher's exit code and a look at the staging folder.
# Ctrl-C stops everything the run started.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# shellcheck source=tools/private_display.sh
source "$root/tools/private_display.sh"

build=$root/build/demo
state=$build/demo-service  # the demo service's default state folder in this build
port=47443                 # the port of the compiled-in service URL
code="123 456 789"
applet_seconds=${ZVQ_DEMO_APPLET_SECONDS:-4}

work=$(mktemp -d "${TMPDIR:-/tmp}/zvq-run.XXXXXX")
service_pid=
log_pid=
launcher_pid=

pid_alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# The applet runs in a process group of its own, so it is stopped by its parent's id; the launcher then gets a
# moment to clean its staging folder and close by itself before it is stopped too.
stop_launcher() {
  pid_alive "$launcher_pid" || return 0
  pkill -TERM -P "$launcher_pid" 2>/dev/null || true
  local tries=0
  while pid_alive "$launcher_pid" && [ $((tries += 1)) -le 30 ]; do sleep 0.1; done
  kill "$launcher_pid" 2>/dev/null || true
  wait "$launcher_pid" 2>/dev/null || true
}

stop_all() {
  stop_launcher
  if pid_alive "$service_pid"; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if pid_alive "$log_pid"; then
    kill "$log_pid" 2>/dev/null || true
    wait "$log_pid" 2>/dev/null || true
  fi
  stop_private_display
  rm -rf "$work"
}
trap stop_all EXIT
trap 'echo; echo "Stopped by the user."; exit 130' INT TERM

build_demo() {
  echo "Building the launcher, the demo service and the demo applet in $build"
  # The default preset, but trusting the demo service's CA, which the service makes on its first start.
  cmake --preset default -B "$build" -DZVQ_BUILD_TESTS=OFF \
    -DZVQ_CA_BUNDLE="$state/ca-cert.pem" -DZVQ_CA_BUNDLE_MADE_LATER=ON >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; return 1; }
  cmake --build "$build" -j "$(nproc)" \
    --target zvq-support-launcher zvq-demo-service zvq-demo-applet zvq-demo-driver
}

start_service() {
  "$build/tools/demo_service/zvq-demo-service" --port "$port" --state-dir "$state" >"$work/service.log" 2>&1 &
  service_pid=$!
  local tries=0
  until grep -q "listening on" "$work/service.log"; do
    if ! pid_alive "$service_pid" || [ $((tries += 1)) -gt 200 ]; then
      echo "The demo service did not start on port $port (is an earlier one still running?):" >&2
      cat "$work/service.log" >&2
      return 1
    fi
    sleep 0.1
  done
  # Its lines (the demo codes, then one per request) go to the terminal as they come.
  tail -n +1 -f --pid="$service_pid" "$work/service.log" | sed -u 's/^/[service] /' &
  log_pid=$!
}

have_display() {
  [ -n "${WAYLAND_DISPLAY:-}" ] && return 0
  [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1
}

# The launcher's own rule: an absolute $TMPDIR, else a private $XDG_RUNTIME_DIR of our own, otherwise /tmp.
staging_folder() {
  local temp=/tmp runtime=${XDG_RUNTIME_DIR:-}
  if [[ $runtime == /* && -d $runtime && ! -L $runtime ]] && [ "$(stat -c %u "$runtime")" = "$(id -u)" ] &&
    (((8#$(stat -c %a "$runtime") & 8#077) == 0)); then
    temp=$runtime
  fi
  [[ ${TMPDIR:-} == /* ]] && temp=$TMPDIR
  echo "${temp%/}/.zvq-support.tmp"
}

report_end() {
  local exit_code=$1 staging
  staging=$(staging_folder)
  echo "Launcher exit code: $exit_code"
  if [ -z "$(ls -A "$staging" 2>/dev/null)" ]; then
    echo "Staging folder $staging: empty"
  else
    echo "Staging folder $staging: NOT empty:"
    ls -lA "$staging"
    [ "$exit_code" -ne 0 ] || exit_code=1
  fi
  return "$exit_code"
}

build_demo
start_service
sleep 0.2  # lets the service's banner reach the terminal before the launcher's first lines

exit_code=0
if have_display; then
  echo
  echo "The launcher is starting: type the code $code and press Enter or Submit."
  echo "End the demo applet's session to close it; Ctrl-C here stops everything."
  # A session of its own, so a Ctrl-C meant for this script reaches it only through stop_launcher.
  setsid "$build/window/zvq-support-launcher" &
  launcher_pid=$!
  wait "$launcher_pid" || exit_code=$?
else
  echo
  echo "No display: running the launcher on a private Xvfb display; zvq-demo-driver types $code."
  start_private_display "$work"
  # Qt wants a private runtime folder; a server session may have none.
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
  fi
  pictures=$build/screenshots
  rm -rf "$pictures"
  ZVQ_DEMO_APPLET_SECONDS=$applet_seconds setsid "$build/tools/demo_driver/zvq-demo-driver" "$code" "$pictures" &
  launcher_pid=$!
  wait "$launcher_pid" || exit_code=$?
  echo "Pictures of each stage: $pictures"
fi
launcher_pid=
sleep 0.2  # the service's last request lines
report_end "$exit_code"
