#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each over its seed corpus for a
# bounded time; exits non-zero when a target crashes or breaks an invariant.
#   FUZZ_SECONDS   how long each target runs (default 30; 0 runs the seeds once)
#   FUZZ_BUILD_DIR build tree (default build/fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD_DIR:-build/fuzz}

CXX=clang++ scripts/build.sh "$build" -DQR740_FUZZ=ON -DQR740_TESTS=OFF

# New corpus entries go to scratch folders: the committed seeds stay as they are.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"

# libFuzzer takes 0 for "no limit"; here it means the seeds alone.
if [ "$seconds" -eq 0 ]; then
  limit=(-runs=0)
else
  limit=(-max_total_time="$seconds")
fi

# run_target NAME DICT SEEDS: one target over its seeds for the time limit.
# The committed seeds are read but never written: libFuzzer adds new inputs to
# the first corpus folder only.
# Its running commentary goes to a log; the figures and any crash are shown.
# A crash's input is named after its target, so that two targets' findings in
# the one artifacts folder stay apart.
failed=()
run_target() {
  local name=$1 dict=$2 seeds=$3
  local log="$build/$name.log"
  mkdir -p "$scratch/$name"
  echo "== $name"
  if ! "$build/bin/$name" \
    "${limit[@]}" \
    -max_len=4096 \
    -dict="$dict" \
    -artifact_prefix="$artifacts/$name-" \
    -print_final_stats=1 \
    "$scratch/$name" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name failed; inputs kept in $artifacts/" >&2
    failed+=("$name")
    return
  fi
  grep -E '^(Done|stat::)' "$log"
}

# Every target runs even when an earlier one fails, so one run reports them all.
run_target fuzz_receiver fuzz/receiver.dict fuzz/corpus/receiver
run_target fuzz_params fuzz/params.dict fuzz/corpus/params
run_target fuzz_image fuzz/image.dict fuzz/corpus/image
run_target fuzz_ini_reader fuzz/ini.dict fuzz/corpus/ini_reader
run_target fuzz_ini_writer fuzz/ini.dict fuzz/corpus/ini_writer

if [ "${#failed[@]}" -ne 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
