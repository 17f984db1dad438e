#!/usr/bin/env bash
# Builds the Windows program ZvqSupportLauncher.exe and the Windows demo tools (the demo applet and the CA
# import tool) with MinGW-w64: 32-bit (the shipped program) into build/windows-i686 and 64-bit into
# build/windows-x86_64. The service URL is the local demo service's, by name (https://localhost:47443/validate).
# Both pin the key of the demo service's CA in build/windows-demo-service, made there at build time, and the
# demo applet is signed by that CA's publisher certificate; the demo service is to be started on that folder.
# Each program must stand alone: a program that imports any DLL but the system's own fails the build.
#   tools/windows_build.sh [i686|x86_64]...     (default: both)
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="${ZVQ_JOBS:-2}"
service_url="${ZVQ_WINDOWS_SERVICE_URL:-https://localhost:47443/validate}"
architectures=("$@")
[ ${#architectures[@]} -gt 0 ] || architectures=(i686 x86_64)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
packages=(cmake ninja-build python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 libz-mingw-w64-dev g++ libssl-dev osslsigncode)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# What a program of ours may import: the system's own DLLs, nothing that would have to ship beside it.
system_dlls='^(kernel32|user32|gdi32|comctl32|advapi32|shell32|ole32|oleaut32|rpcrt4|winhttp|bcrypt|crypt32|wintrust|ws2_32|msvcrt|ntdll|secur32|shlwapi|version)\.dll$'

check_imports() {  # <triple> <program>
  local triple=$1 program=$2 dll bad=0
  while read -r dll; do
    if ! grep -Eqi "$system_dlls" <<<"$dll"; then
      echo "$program imports $dll, which is not a system DLL" >&2
      bad=1
    fi
  done < <("$triple-objdump" -p "$program" | awk '/DLL Name:/ { print $3 }')
  return "$bad"
}

for arch in "${architectures[@]}"; do
  triple=$arch-w64-mingw32
  dir=$source_dir/build/windows-$arch
  echo "== $arch: $dir"
  cmake -S "$source_dir" -B "$dir" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-$triple.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s -DZVQ_BUILD_WINDOW=OFF -DZVQ_BUILD_TESTS=OFF -DZVQ_SERVICE_URL="$service_url" \
    -DZVQ_DEMO_STATE_DIR="$source_dir/build/windows-demo-service" >/dev/null
  cmake --build "$dir" -j"$jobs" --target ZvqSupportLauncher zvq-demo-applet zvq-import-ca
  for program in "$dir/window/ZvqSupportLauncher.exe" "$dir/tools/demo_applet/zvq-demo-applet.exe" \
                 "$dir/tools/import_ca/zvq-import-ca.exe"; do
    check_imports "$triple" "$program"
    printf '   %-48s %9d bytes, imports %s\n' "${program#"$source_dir"/}" "$(stat -c %s "$program")" \
      "$("$triple-objdump" -p "$program" | awk '/DLL Name:/ { printf "%s ", $3 }')"
  done
done
