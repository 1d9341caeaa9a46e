#!/usr/bin/env bash
# run.sh BUILD_DIR SECONDS: runs every fuzz target built in BUILD_DIR for SECONDS each, one after
# the other. What they learn and any crashing input stay in BUILD_DIR (corpus/, artifacts/); the
# seeds in fuzz/corpus/<target>/, where there are any, are only read. Exits 1 on any finding.
set -euo pipefail

build=$(cd "$1" && pwd)
seconds=$2
seeds=$(cd "$(dirname "$0")" && pwd)/corpus

targets=("$build"/fuzz/fuzz_*)
[ -x "${targets[0]}" ] || { echo "run.sh: no fuzz targets in $build/fuzz" >&2; exit 2; }

status=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  log=$build/$name.log
  mkdir -p "$corpus" "$artifacts"
  inputs=("$corpus")
  [ -d "$seeds/$name" ] && inputs+=("$seeds/$name")
  if "$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$name: ${runs:-?} runs in ${seconds} s, ${speed:-?} exec/s, no finding"
  else
    status=1
    echo "$name: FINDING (input in $artifacts, log in $log)"
    tail -n 40 "$log"
  fi
done
exit $status
