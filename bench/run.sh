#!/usr/bin/env bash
# Prints the programmer's figures against the line's limit as a table.
#   bench/run.sh           the full measurements (about half an hour)
#   bench/run.sh --quick   every measurement once, small, to keep them working
# Expects build/ to be built (./test or ./run does that first); QR740_BUILD names
# another build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${QR740_BUILD:-build}/bin
if [ ! -x "$bin/qr740-bench" ]; then
  echo "bench: $bin/qr740-bench is missing; build first (./test does)" >&2
  exit 1
fi
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
"$bin/qr740-bench" "$@"
echo
# A gang of ports, one process against as many processes.
"$bin/qr740-gang-bench" "$@"
