#!/usr/bin/env bash
# The Windows program's end-to-end cases under Wine (tests/e2e/wine_e2e.sh): builds the Windows programs
# (tools/windows_build.sh) and the Linux demo service, then runs the cases against the 64-bit program.
#   tools/wine-e2e.sh [CASE...]        (default: accepted expired stale tampered)
# ZVQ_E2E_PICTURES=DIR keeps a picture of each stage.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host_build=$root/build/windows-host

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
packages=(wine wine64 xvfb xauth xdotool faketime fonts-wine python3 libcpp-httplib-dev libssl-dev rapidjson-dev
          osslsigncode)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$root/tools/windows_build.sh"
cmake -S "$root" -B "$host_build" -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZVQ_BUILD_WINDOW=OFF -DZVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$host_build" -j "${ZVQ_JOBS:-2}" --target zvq-demo-service
echo "== end to end under Wine: the 64-bit program (this host's Wine may lack its 32-bit half)"
"$root/tests/e2e/wine_e2e.sh" "$root/build/windows-x86_64" "$host_build/tools/demo_service/zvq-demo-service" \
  "$root/build/windows-e2e" "$@"
