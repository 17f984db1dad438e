#!/usr/bin/env bash
# Builds the Windows program's libraries and their tests with MinGW-w64 and runs every Windows test program
# under Wine in a prefix made for this run. The HTTPS service the client tests talk to is the scripted test
# service, a Linux program built natively and started here; its CA is imported into the prefix's Root store.
#
#   tools/wine-tests.sh [build-dir]        (default: build/win32 in the source tree)
#
# The shipped program is 32-bit, so the 32-bit cross build is always made. Its tests run under 32-bit Wine
# where this host can execute 32-bit Linux programs; elsewhere (some containers and sandboxes cannot) the same
# tests are built for 64-bit Windows and run under 64-bit Wine.
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(realpath -m "${1:-$source_dir/build/win32}")"
mkdir -p "$build_dir"
jobs="${ZVQ_JOBS:-2}"

have_packages() {
  local package
  for package; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(cmake ninja-build python3 g++ googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          libz-mingw-w64-dev rapidjson-dev libssl-dev osslsigncode wine wine64 wine32:i386 xvfb xauth)
if ! have_packages "${packages[@]}"; then
  echo "== installing ${packages[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

configure_and_build() {  # <toolchain> <dir>
  local toolchain="$1" dir="$2"
  cmake -S "$source_dir" -B "$dir" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZVQ_BUILD_WINDOW=OFF -DZVQ_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== the scripted test service, for the build host"
cmake -S "$source_dir" -B "$build_dir/host" -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZVQ_BUILD_WINDOW=OFF >/dev/null
cmake --build "$build_dir/host" -j"$jobs" --target zvq-scripted-service

echo "== 32-bit Windows build"
configure_and_build toolchain-i686-w64-mingw32.cmake "$build_dir/i686"

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  tests_dir="$build_dir/i686"
  wine=(wine)
  wineserver=wineserver
  export WINEARCH=win32
else
  echo "== this host cannot run 32-bit programs: the tests run as 64-bit Windows programs"
  configure_and_build toolchain-x86_64-w64-mingw32.cmake "$build_dir/x86_64"
  tests_dir="$build_dir/x86_64"
  wine=(/usr/lib/wine/wine64)
  wineserver=/usr/lib/wine/wineserver64
  export WINEARCH=win64
fi

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: the prefix is for console test programs, and their installers would want the network.
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
service_pid=""
# shellcheck source=tools/private_display.sh
source "$source_dir/tools/private_display.sh"
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; fi
  stop_private_display
}
trap cleanup EXIT
# The window's tests draw on X through Wine: a private display unless this session has one.
if [ -z "${DISPLAY:-}" ]; then
  mkdir -p "$build_dir/display"
  start_private_display "$build_dir/display"
fi
echo "== making a fresh Wine prefix"
timeout 300 "${wine[@]}" wineboot --init >/dev/null 2>&1
"$wineserver" -w

# The service ends when its standard input does, which this script holds (and closes when it exits).
service_dir="$build_dir/scripted-service"
rm -rf "$service_dir"
mkdir -p "$service_dir"
coproc SERVICE {
  exec "$build_dir/host/tests/support/zvq-scripted-service" --watch-stdin --ca-file "$service_dir/ca.pem" \
    2>"$service_dir/errors"
}
service_pid=$SERVICE_PID
if ! read -r -t 60 _ ZVQ_SCRIPTED_SERVICE <&"${SERVICE[0]}" || [ -z "$ZVQ_SCRIPTED_SERVICE" ]; then
  cat "$service_dir/errors"
  echo "the scripted service did not start"
  exit 1
fi
export ZVQ_SCRIPTED_SERVICE
# Unix paths reach Windows programs through Wine's Z: drive.
export ZVQ_SCRIPTED_SERVICE_CA="Z:${service_dir//\//\\}\\ca.pem"
# The one case that needs the CA untrusted runs first, in a process that never trusted it.
untrusted_log="$build_dir/untrusted_ca.log"
if ! (cd "$tests_dir/tests/http" && ZVQ_SCRIPTED_SERVICE_CA_NOT_IMPORTED=1 timeout 300 "${wine[@]}" \
        ./transport_rules_test.exe --gtest_filter='*NotTrusted*') >"$untrusted_log" 2>&1 ||
   ! grep -Eq '^\[  PASSED  \] 1 test\.' "$untrusted_log"; then
  echo "FAIL the untrusted-CA case; its output:"
  cat "$untrusted_log"
  exit 1
fi
echo "PASS a service whose CA is not trusted is refused"
echo "== trusting the scripted service's CA in the prefix (control port $ZVQ_SCRIPTED_SERVICE)"
timeout 120 "${wine[@]}" "$tests_dir/tools/import_ca/zvq-import-ca.exe" "$ZVQ_SCRIPTED_SERVICE_CA"
# The applets of the signature tests are signed by publishers of the build's demo CA, which must be trusted.
echo "== trusting the build's demo CA, which issues the test applets' publisher certificates"
timeout 120 "${wine[@]}" "$tests_dir/tools/import_ca/zvq-import-ca.exe" "$tests_dir/demo-service/ca-cert.pem"

# Wine's exit code can hide a program that never loaded, so what counts is gtest's own summary.
failed=0
passed_programs=0
failed_programs=0
mapfile -t programs < <(find "$tests_dir/tests" \( -name '*_test.exe' -o -name '*_tests.exe' \) | sort)
[ "${#programs[@]}" -gt 0 ] || { echo "no test programs found under $tests_dir/tests"; exit 1; }
for program in "${programs[@]}"; do
  name="$(basename "$program" .exe)"
  log="$build_dir/$name.log"
  status=0
  (cd "$(dirname "$program")" && timeout 300 "${wine[@]}" "$program") >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && grep -Eq '^\[  PASSED  \] [0-9]+ tests?\.' "$log" && ! grep -q '^\[  FAILED  \]' "$log"; then
    echo "PASS $name: $(grep -E '^\[==========\] [0-9]+ tests? from' "$log" | tail -1 | cut -c14-)"
    passed_programs=$((passed_programs + 1))
  else
    echo "FAIL $name (exit status $status); its output:"
    cat "$log"
    failed=1
    failed_programs=$((failed_programs + 1))
  fi
done
echo "windows: $passed_programs passed, $failed_programs failed"
exit "$failed"
