#!/usr/bin/env bash
# A release build must name the applet's publisher: fingerprints or the explicit word "none", never the demo's.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "a key shared with the real service" >"$work/key.txt"
fingerprint=$(printf '0123456789abcdef%.0s' 1 2 3 4)
failed=0
# expected outcome, then the ZVQ_APPLET_PUBLISHER argument (none: not given)
while read -r expected argument; do
  args=(-DZVQ_RELEASE=ON -DZVQ_BUILD_WINDOW=OFF -DZVQ_BUILD_SERVICE=OFF -DZVQ_BUILD_TESTS=OFF -DZVQ_SIGNING_KEY_FILE="$work/key.txt"
        -DZVQ_SERVICE_URL=https://support.example/validate)
  [ "$argument" = "-" ] || args+=("-DZVQ_APPLET_PUBLISHER=$argument")
  outcome=accepted
  cmake -S "$source_dir" -B "$work/build" -G Ninja "${args[@]}" >"$work/log" 2>&1 || outcome=refused
  rm -rf "$work/build"
  if [ "$outcome" != "$expected" ]; then
    echo "FAIL: ZVQ_APPLET_PUBLISHER '$argument' was $outcome"
    cat "$work/log"
    failed=1
  fi
done <<ROWS
refused -
refused demo
accepted none
accepted ${fingerprint},${fingerprint^^}
refused ${fingerprint:1}
ROWS
exit "$failed"
