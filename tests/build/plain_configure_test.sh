#!/usr/bin/env bash
# A plain configure, as someone who just builds the project would run it, must not turn warnings into errors:
# a new compiler's false positive would otherwise stop their build. Our presets turn -Werror on.
set -euo pipefail
source_dir=$1
build_dir=$(mktemp -d)
trap 'rm -rf "$build_dir"' EXIT
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZVQ_BUILD_WINDOW=OFF \
  -DZVQ_BUILD_TESTS=OFF >/dev/null
if grep -q -- '-Werror' "$build_dir/compile_commands.json"; then
  echo "a plain configure compiles with -Werror"
  exit 1
fi
echo "a plain configure leaves warnings as warnings"
