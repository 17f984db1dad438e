#!/usr/bin/env bash
# Signs the Windows program with an Authenticode SHA-256 signature into a folder signed/ beside it, then checks
# each signature with osslsigncode. Without arguments it builds ZvqSupportLauncher.exe, 32- and 64-bit, with
# tools/windows_build.sh (the demo configuration) and signs both; with arguments it signs those programs only.
#   tools/sign_windows.sh [PROGRAM.exe]...
#
# Without ZVQ_SIGN_PKCS12 the certificate is a throw-away self-signed code-signing certificate made for this
# run (and deleted after it), and the check trusts that certificate alone; the signed 64-bit program is then
# started under Wine on a private display to show that it still runs. A release passes the real certificate,
# its password in a file, and the RFC 3161 time-stamping service of the certificate's issuer, so the signature
# stays valid after the certificate expires:
#   ZVQ_SIGN_PKCS12=velloran.p12 ZVQ_SIGN_PASSWORD_FILE=pass.txt ZVQ_SIGN_TIMESTAMP_URL=http://... \
#     tools/sign_windows.sh build/windows-release/window/ZvqSupportLauncher.exe
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$source_dir/tools/private_display.sh"

programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  "$source_dir/tools/windows_build.sh" i686 x86_64
  programs=("$source_dir/build/windows-i686/window/ZvqSupportLauncher.exe"
            "$source_dir/build/windows-x86_64/window/ZvqSupportLauncher.exe")
fi

work=$(mktemp -d)
cleanup() {
  local status=$?
  [ -z "${WINEPREFIX:-}" ] || /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
  stop_private_display
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

sign_args=(-h sha256 -n "Support Launcher")
verify_args=()
if [ -n "${ZVQ_SIGN_PKCS12:-}" ]; then
  sign_args+=(-pkcs12 "$ZVQ_SIGN_PKCS12")
  [ -z "${ZVQ_SIGN_PASSWORD_FILE:-}" ] || sign_args+=(-readpass "$ZVQ_SIGN_PASSWORD_FILE")
  [ -z "${ZVQ_SIGN_TIMESTAMP_URL:-}" ] || sign_args+=(-ts "$ZVQ_SIGN_TIMESTAMP_URL")
else
  echo "== signing with a throw-away test certificate (made now, deleted at the end)"
  openssl req -x509 -newkey rsa:3072 -sha256 -days 2 -nodes -keyout "$work/test-key.pem" -out "$work/test-cert.pem" \
    -subj "/O=Velloran/CN=Velloran Support Launcher test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -addext "basicConstraints=critical,CA:FALSE" 2>/dev/null
  sign_args+=(-certs "$work/test-cert.pem" -key "$work/test-key.pem")
  verify_args+=(-CAfile "$work/test-cert.pem")
fi

signed_programs=()
for program in "${programs[@]}"; do
  program=$(realpath "$program")
  signed=$(dirname "$program")/signed/$(basename "$program")
  mkdir -p "$(dirname "$signed")"
  rm -f "$signed"
  osslsigncode sign "${sign_args[@]}" -in "$program" -out "$signed" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2; exit 1; }
  signed_programs+=("$signed")
  echo "== ${signed#"$source_dir"/}"
  osslsigncode verify "${verify_args[@]}" -in "$signed" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; exit 1; }
  grep -E '^(Calculated message digest|Timestamp|Signature verification|Number of verified)' "$work/verify.log" |
    sed 's/^/   /'
  grep -m 1 -E '^[[:space:]]+Subject:' "$work/verify.log" | sed 's/^[[:space:]]*/   Signer /'
done

# A program's signature sits after its sections, where the loader does not look; that the signed file still
# starts (Wine checks no signature, so only a broken file fails) is shown once, with the test build's 64-bit one.
[ -z "${ZVQ_SIGN_PKCS12:-}" ] && [ $# -eq 0 ] || exit 0
start_private_display "$work"
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 /usr/lib/wine/wine64 wineboot --init >"$work/wineboot.log" 2>&1 || true
/usr/lib/wine/wine64 "${signed_programs[1]}" >"$work/wine.log" 2>&1 &
wine_pid=$!
window=
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --name '^Support Launcher$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  kill -0 "$wine_pid" 2>/dev/null || break
  sleep 0.2
done
[ -n "$window" ] || { echo "the signed 64-bit program showed no window under Wine:" >&2; cat "$work/wine.log" >&2; exit 1; }
echo "== the signed 64-bit program shows its window under Wine"
/usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
wait "$wine_pid" 2>/dev/null || true
