#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...]
# QR740_TARGETS, when set, names the only targets to build (./run builds what the
# demo runs, and leaves the tests and benchmarks to ./test).
set -euo pipefail
dir=$1
shift
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
if [ -n "${QR740_TARGETS:-}" ]; then
  read -r -a names <<< "$QR740_TARGETS"
  targets=(--target "${names[@]}")
fi
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
