#!/usr/bin/env bash
# ./zvq bench [--quick]: the launcher side by side with curl and with a minimal Qt window, on this machine, in
# one run. Builds the optimised benchmark programs in build/bench, starts nginx on loopback with a certificate
# made for the run, and prints minimum / median / maximum of several runs and the ratio of the medians:
#   - the whole network path (signed validation POST, applet GET with the session cookie, file saved) for
#     16, 256 and 1000 MiB applets: throughput and peak resident set, against curl making the same requests;
#   - the validation round trip alone, with an extra trust anchor and with the system's store (the latter in a
#     private mount namespace whose /etc/ssl/certs also trusts the run's CA), against curl's POST;
#   - start to first painted frame of the real window under Xvfb, against a Qt window with one label.
# --quick: the 16 MiB applet and one run of each, so CI proves the bench still works; timings decide nothing.
# ZVQ_BENCH_RUNS=N sets the number of runs (default 5; the validation round trip gets twice as many).
# Needs no network beyond loopback; everything the run made is deleted at its end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=$root/build/bench
bin=$build/tools/bench
code_json='{"code":"123456789"}'

# --- Inner mode: validation round trips, one "launcher S" and one "curl S" line per run ------------------
# Run by the outer mode directly, and inside the mount namespace for the system store.
if [ "${1:-}" = --validation-runs ]; then
  runs=$2 url=$3 anchor=$4 unrelated_anchor=${5:-}
  # With an extra anchor of its own the client must still trust what the system's store trusts.
  if [ -n "$unrelated_anchor" ] &&
    ! "$bin/zvq-bench-fetch" "$url/validate" --validate-only --anchor "$unrelated_anchor" >/dev/null; then
    echo "zvq bench: with an extra trust anchor the system's store no longer counted" >&2
    exit 1
  fi
  launcher_args=() curl_args=()
  if [ -n "$anchor" ]; then launcher_args=(--anchor "$anchor") curl_args=(--cacert "$anchor"); fi
  out=$(mktemp)
  for _ in $(seq "$runs"); do
    "$bin/zvq-bench-run" "$bin/zvq-bench-fetch" "$url/validate" --validate-only "${launcher_args[@]}" >"$out"
    echo "launcher $(sed -n 's/^validate_s=//p' "$out") $(sed -n 's/^cpu_s=//p' "$out")"
    mapfile -t signing < <("$bin/zvq-bench-fetch" --signing-headers)
    "$bin/zvq-bench-run" curl -sS --fail -o /dev/null -w 'time_total=%{time_total}\n' "${curl_args[@]}" \
      -H 'Content-Type: application/json' -H "${signing[0]}" -H "${signing[1]}" -H "${signing[2]}" \
      --data-binary "$code_json" "$url/validate" >"$out"
    echo "curl $(sed -n 's/^time_total=//p' "$out") $(sed -n 's/^cpu_s=//p' "$out")"
  done
  rm -f "$out"
  exit 0
fi

quick=false
sizes=(16 256 1000)
runs=${ZVQ_BENCH_RUNS:-5}
case "${1:-}" in
  --quick) quick=true sizes=(16) runs=1 ;;
  "") ;;
  *) echo "usage: ./zvq bench [--quick]" >&2; exit 2 ;;
esac
validation_runs=$((2 * runs))
[ "$quick" = true ] && validation_runs=1

# shellcheck source=tools/private_display.sh
source "$root/tools/private_display.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/zvq-bench.XXXXXX")
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  stop_private_display
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "Stopped by the user."; exit 130' INT TERM

fail() { echo "zvq bench: $*" >&2; exit 1; }

# --- Build ----------------------------------------------------------------------------------------------
echo "Building the benchmark (Release) in $build"
cmake --preset bench >"$work/configure.log" || { cat "$work/configure.log" >&2; exit 1; }
cmake --build --preset bench -j "$(nproc)" \
  --target zvq-bench-run zvq-bench-fetch zvq-bench-first-frame zvq-bench-minimal-window zvq-support-launcher

# --- A CA and a server certificate for 127.0.0.1, made for this run ------------------------------------
make_certificates() {
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  openssl req -x509 "${ec[@]}" -days 2 -subj "/O=zvq bench/CN=zvq bench CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$work/ca-key.pem" -out "$work/ca.pem" 2>/dev/null
  openssl req -x509 "${ec[@]}" -days 2 -subj "/O=zvq bench/CN=zvq bench unrelated CA" \
    -addext "basicConstraints=critical,CA:TRUE" -keyout "$work/unrelated-ca-key.pem" -out "$work/unrelated-ca.pem" 2>/dev/null
  openssl req "${ec[@]}" -subj "/CN=127.0.0.1" -keyout "$work/server-key.pem" -out "$work/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n' \
    >"$work/server.ext"
  openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca-key.pem" \
    -set_serial "0x$(openssl rand -hex 8)" -days 2 -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null
}

# --- nginx: the fixed validation reply with a session cookie, and the applet file for that cookie only ----
free_port() {
  local port
  for port in $(seq 47600 47699); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return 0; }
  done
  return 1
}

start_nginx() {
  port=$(free_port) || fail "no free port in 47600-47699"
  url=https://127.0.0.1:$port
  mkdir -p "$work/nginx/logs" "$work/nginx/temp"
  local user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="user root;"  # its workers must read the run's private files
  sed -e "s|@WORK@|$work|g" -e "s|@PORT@|$port|g" -e "s|@USER@|$user_line|" >"$work/nginx.conf" <<'EOF'
@USER@
daemon off;
worker_processes 1;
pid @WORK@/nginx/nginx.pid;
error_log @WORK@/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path @WORK@/nginx/temp/body;
  proxy_temp_path @WORK@/nginx/temp/proxy;
  fastcgi_temp_path @WORK@/nginx/temp/fastcgi;
  uwsgi_temp_path @WORK@/nginx/temp/uwsgi;
  scgi_temp_path @WORK@/nginx/temp/scgi;
  sendfile on;
  server {
    listen 127.0.0.1:@PORT@ ssl;
    ssl_certificate @WORK@/server.pem;
    ssl_certificate_key @WORK@/server-key.pem;
    location = /validate {
      if ($request_method != POST) { return 405; }
      add_header Set-Cookie "zvq_session=bench; Path=/; Secure; HttpOnly" always;
      default_type application/json;
      return 200 '{"response":{"url":"https://127.0.0.1:@PORT@/applet/bench"}}';
    }
    location = /applet/bench {
      if ($cookie_zvq_session != "bench") { return 403; }
      default_type application/octet-stream;
      alias @WORK@/applet.bin;
    }
  }
}
EOF
  nginx -p "$work/nginx" -e "$work/nginx/logs/error.log" -c "$work/nginx.conf" &
  nginx_pid=$!
  local tries=0
  until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    if ! kill -0 "$nginx_pid" 2>/dev/null || [ $((tries += 1)) -gt 100 ]; then
      cat "$work/nginx/logs/error.log" >&2
      fail "nginx did not start"
    fi
    sleep 0.05
  done
}

# --- Statistics -----------------------------------------------------------------------------------------
# Numbers on stdin -> "min median max".
stats() {
  sort -g | awk '{ v[NR] = $1 }
    END { if (NR == 0) { print "nan nan nan"; exit }
          m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          print v[1], m, v[NR] }'
}
median() { stats | awk '{ print $2 }'; }
# The value of KEY= in the key=value file.
value() { sed -n "s/^$1=//p" "$2" | tail -n 1; }

results=$work/results.txt
row() { printf '%-36s %-26s %-26s %s\n' "$@" | tee -a "$results"; }
# compare LABEL PRINTF-FORMAT LAUNCHER-FILE REFERENCE-FILE [GOAL]: min / median / max of each file's numbers
# and the ratio of the medians, launcher : reference.
compare() {
  local label=$1 format=$2 l r
  l=$(stats <"$3") r=$(stats <"$4")
  row "  $label" "$(awk -v f="$format" -v t="$l" 'BEGIN { split(t, x, " "); printf f " / " f " / " f, x[1], x[2], x[3] }')" \
    "$(awk -v f="$format" -v t="$r" 'BEGIN { split(t, x, " "); printf f " / " f " / " f, x[1], x[2], x[3] }')" \
    "$(awk -v a="$l" -v b="$r" -v g="${5:-}" 'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.2fx %s", x[2] / y[2], g }')"
}

# --- The whole network path -----------------------------------------------------------------------------
full_path() {
  local size=$1 bytes=$(( $1 * 1048576 )) run out stage saved f
  head -c "${size}M" /dev/urandom >"$work/applet.bin"
  for f in mibs rss cpu; do : >"$work/launcher-$f" && : >"$work/curl-$f"; done
  record() {  # record WHO RUNNER-OUTPUT
    awk -v b="$size" -v s="$(value wall_s "$2")" 'BEGIN { print b / s }' >>"$work/$1-mibs"
    awk -v k="$(value max_rss_kib "$2")" 'BEGIN { print k / 1024 }' >>"$work/$1-rss"
    value cpu_s "$2" >>"$work/$1-cpu"
  }
  for run in $(seq "$runs"); do
    # The launcher: its real client and staging code, its staging folder under a private TMPDIR.
    stage=$work/tmp-launcher
    rm -rf "$stage" && mkdir -m 700 "$stage"
    out=$work/launcher.out
    TMPDIR=$stage "$bin/zvq-bench-run" "$bin/zvq-bench-fetch" "$url/validate" --anchor "$work/ca.pem" >"$out" ||
      fail "the launcher's network path failed: $(cat "$out")"
    saved=$stage/.zvq-support.tmp/QuintrelSupport.exe
    [ "$(value bytes "$out")" = "$bytes" ] && [ "$(stat -c %s "$saved")" = "$bytes" ] ||
      fail "the launcher staged $(value bytes "$out") bytes, not $bytes"
    if [ "$run" -eq 1 ]; then cmp -s "$saved" "$work/applet.bin" || fail "the staged applet differs from the served one"; fi
    record launcher "$out"
    rm -rf "$stage"

    # curl: the same POST with fresh signing headers, then the GET with the session cookie, in one process.
    mapfile -t signing < <("$bin/zvq-bench-fetch" --signing-headers)
    out=$work/curl.out
    mkdir -p "$work/curl-stage"
    "$bin/zvq-bench-run" curl -sS --fail --cacert "$work/ca.pem" -b "" -o /dev/null \
      -H 'Content-Type: application/json' -H "${signing[0]}" -H "${signing[1]}" -H "${signing[2]}" \
      --data-binary "$code_json" "$url/validate" \
      --next --fail --cacert "$work/ca.pem" -b "" -o "$work/curl-stage/QuintrelSupport.exe" "$url/applet/bench" >"$out" ||
      fail "curl failed: $(cat "$out")"
    [ "$(stat -c %s "$work/curl-stage/QuintrelSupport.exe")" = "$bytes" ] || fail "curl saved the wrong size"
    record curl "$out"
    rm -rf "$work/curl-stage"
  done
  rm -f "$work/applet.bin"

  compare "$size MiB throughput, MiB/s" %.0f "$work/launcher-mibs" "$work/curl-mibs" "(goal >= 0.95)"
  compare "$size MiB peak RSS, MiB" %.1f "$work/launcher-rss" "$work/curl-rss" \
    "(goal: launcher <= 64 MiB; its max $(stats <"$work/launcher-rss" | awk '{ printf "%.1f", $3 }'))"
  compare "$size MiB CPU time, s" %.2f "$work/launcher-cpu" "$work/curl-cpu"
}

# --- Validation round trip ------------------------------------------------------------------------------
# FILE: lines "launcher|curl ROUND-TRIP-S PROCESS-CPU-S" from the inner mode.
validation_rows() {
  local label=$1 file=$2
  awk '$1 == "launcher" { print $2 * 1000 }' "$file" >"$work/v-launcher"
  awk '$1 == "curl" { print $2 * 1000 }' "$file" >"$work/v-curl"
  compare "$label, ms" %.1f "$work/v-launcher" "$work/v-curl" "(goal <= 1.1)"
  awk '$1 == "launcher" { print $3 * 1000 }' "$file" >"$work/v-launcher"
  awk '$1 == "curl" { print $3 * 1000 }' "$file" >"$work/v-curl"
  compare "  process CPU time, ms" %.1f "$work/v-launcher" "$work/v-curl"
}

# The system's certificate directory and bundle plus the run's CA, for a private mount namespace only.
make_system_store() {
  local store=$work/system-certs hash suffix=0
  mkdir "$store"
  cp -rL /etc/ssl/certs/. "$store/"  # copies, never links: the bundle below is appended to
  cp "$work/ca.pem" "$store/zvq-bench-ca.pem"
  hash=$(openssl x509 -hash -noout -in "$work/ca.pem")
  while [ -e "$store/$hash.$suffix" ]; do suffix=$((suffix + 1)); done
  ln -s zvq-bench-ca.pem "$store/$hash.$suffix"
  cat "$work/ca.pem" >>"$store/ca-certificates.crt"
  echo "$store"
}

# Returns 2 when this machine allows no private mount namespace; any other failure ends the bench.
system_store_runs() {
  local store
  store=$(make_system_store)
  local unshare_args=(-m --propagation private)
  [ "$(id -u)" -eq 0 ] || unshare_args=(-r "${unshare_args[@]}")
  # shellcheck disable=SC2016
  local in_namespace=(unshare "${unshare_args[@]}"
    bash -c 'mount --bind "$1" /etc/ssl/certs && shift && exec "$@"' _ "$store")
  "${in_namespace[@]}" true 2>"$work/unshare.log" || return 2
  "${in_namespace[@]}" "$root/tools/bench.sh" --validation-runs "$validation_runs" "$url" "" "$work/unrelated-ca.pem" ||
    fail "the validation round trips with the system's store failed"
}

# --- Start to first frame -------------------------------------------------------------------------------
first_frame() {
  start_private_display "$work" || fail "no Xvfb"
  mkdir -m 700 "$work/xdg" "$work/tmp-window"
  local probe=$build/tools/bench/libzvq-bench-first-frame.so program run out f
  for f in frame cpu libraries; do : >"$work/launcher-$f" && : >"$work/minimal-$f"; done
  # One unmeasured start of each warms the font and library caches both use.
  for run in $(seq 0 "$runs"); do
    for program in launcher minimal; do
      local command=("$build/window/zvq-support-launcher")
      [ "$program" = minimal ] && command=("$bin/zvq-bench-minimal-window")
      out=$work/frame.out
      env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/xdg" TMPDIR="$work/tmp-window" \
        "$bin/zvq-bench-run" env LD_PRELOAD="$probe" "${command[@]}" >"$out" 2>"$work/frame.err" ||
        fail "$program did not paint: $(cat "$out" "$work/frame.err")"
      [ "$run" -eq 0 ] && continue
      awk -v s="$(value first_frame_s "$out")" 'BEGIN { print s * 1000 }' >>"$work/$program-frame"
      awk -v s="$(value cpu_s "$out")" 'BEGIN { print s * 1000 }' >>"$work/$program-cpu"
      value libraries "$out" >>"$work/$program-libraries"
    done
  done
  stop_private_display
  compare "first frame, ms" %.0f "$work/launcher-frame" "$work/minimal-frame" "(goal <= 1.2)"
  compare "CPU time to first frame, ms" %.0f "$work/launcher-cpu" "$work/minimal-cpu"
  row "  shared libraries at first frame" "$(median <"$work/launcher-libraries")" "$(median <"$work/minimal-libraries")" ""
}

# --- The run --------------------------------------------------------------------------------------------
make_certificates
start_nginx
: >"$results"
echo
echo "zvq bench: $runs run(s) each, min / median / max; ratio of the medians (launcher : reference)"
row "Whole network path" "launcher" "curl" "ratio"
for size in "${sizes[@]}"; do full_path "$size"; done

row "Validation round trip" "launcher" "curl POST" "ratio"
"$root/tools/bench.sh" --validation-runs "$validation_runs" "$url" "$work/ca.pem" >"$work/validation-anchor"
validation_rows "with the extra trust anchor" "$work/validation-anchor"
# A client without the anchor must refuse this server outside the namespace; inside it the store decides.
if "$bin/zvq-bench-fetch" "$url/validate" --validate-only >/dev/null 2>&1; then
  fail "the system's store already trusts the run's CA"
fi
if system_store_runs >"$work/validation-system"; then
  validation_rows "with the system's store" "$work/validation-system"
else
  row "  with the system's store" "n/a: no private mount namespace here ($(head -c 60 "$work/unshare.log"))" "" ""
fi

row "Start to first frame (Xvfb)" "launcher window" "Qt window with one label" "ratio"
first_frame
