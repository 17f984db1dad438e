#!/usr/bin/env bash
# Runs every <name>_fuzzer of a fuzz build for a bounded time each, seeded from fuzz/corpus/<name>/ with the
# dictionary fuzz/<name>.dict; fails on the first finding. What a run adds to the corpus stays in the build
# directory, so later runs go on from there.
#   tools/run_fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=$1
seconds=$2

fuzzers=$(find "$build/fuzz" -maxdepth 1 -type f -name '*_fuzzer' -perm -u+x | sort)
if [ -z "$fuzzers" ]; then
  echo "No fuzzers in $build/fuzz" >&2
  exit 1
fi

# ASan holds freed memory back to catch use after free; its default (256 MiB) alone would pass the limit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=10}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

summary=()
for fuzzer in $fuzzers; do
  name=$(basename "$fuzzer" _fuzzer)
  work="$build/fuzz-corpus/$name"
  findings="$build/fuzz-findings/$name"
  mkdir -p "$work" "$findings"
  options=(-max_total_time="$seconds" -rss_limit_mb=128 -malloc_limit_mb=128 -timeout=25 -print_final_stats=1
           -artifact_prefix="$findings/")
  [ -f "fuzz/$name.dict" ] && options+=(-dict="fuzz/$name.dict")
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  log="$build/fuzz-findings/$name.log"
  echo "Fuzzing $name for $seconds s"
  if ! "$fuzzer" "${options[@]}" "$work" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "$name: finding; input and log in $findings/ and $log" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("$name: ${runs:-?} executions in $seconds s")
done
printf '%s\n' "${summary[@]}"
