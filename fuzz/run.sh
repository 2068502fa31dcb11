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

# New corpus entries go to a scratch folder: the committed seeds stay as they are.
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

# The committed seeds are read but never written: libFuzzer adds new inputs to
# the first corpus folder only.
# Its running commentary goes to a log; the figures and any crash are shown.
log="$build/fuzz_receiver.log"
if ! "$build/bin/fuzz_receiver" \
  "${limit[@]}" \
  -max_len=4096 \
  -dict=fuzz/receiver.dict \
  -artifact_prefix="$artifacts/" \
  -print_final_stats=1 \
  "$scratch" fuzz/corpus/receiver >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "fuzz_receiver failed; inputs kept in $artifacts/" >&2
  exit 1
fi
grep -E '^(Done|stat::)' "$log"
