#!/usr/bin/env bash
# The demo: the programmer against a simulated QR740 on a pseudo-terminal.
#
# Builds a scratch folder build/demo/ with a copy of the programmer (it reads
# Loader.ini from its own folder), a Loader.ini that maps COM1 to the
# simulator's link, the sample loader and parameter file from sim/demo/, and a
# firmware image with blank and non-blank blocks. Then starts qr740-sim with
# real-line pacing and the programmer. On a desktop the window programs the
# controller and the demo ends when the window closes. Without a display the
# command-line programmer qr740-flash does the job and prints its own account
# (stages, progress, the controller's summary); then the demo prints the
# simulator's account of the session, and exits non-zero unless the programmer
# succeeded, the simulated flash holds the image and the controller received
# exactly the parameter commands of sim/demo/demo.expected.
#
# Expects build/ to be built (./run does that first); QR740_BUILD names another
# build tree to take the programs from and to put the demo folder in.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/${QR740_BUILD:-build}
bin=$build/bin
demo=$build/demo
link=$demo/ttyQR740

flash_start=0x4000
flash_end=0x8000
block_size=256
# Without a display: give up when the programmer has not answered the boot ROM
# by then, and in any case after the longest a paced session takes.
first_answer_limit=15
session_limit=180

headless=
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  headless=1
fi
programs=(qr740-sim qr740-programmer)
if [ -n "$headless" ]; then programs=(qr740-sim qr740-flash); fi
for program in "${programs[@]}"; do
  if [ ! -x "$bin/$program" ]; then
    echo "demo: $bin/$program is missing; build first (./run does)" >&2
    exit 1
  fi
done

# ---------------------------------------------------------------- the folder
rm -rf "$demo"
mkdir -p "$demo"
if [ -z "$headless" ]; then cp "$bin/qr740-programmer" "$demo/"; fi
cp sim/demo/qr740-demo.ldr sim/demo/demo.par "$demo/"

scripts/demo-image.sh "$demo/FW00303.bin"
# The shipped demo settings, with COM1 on this run's link.
sed "s|^COM1=.*|COM1=$link|" sim/demo/Loader.ini > "$demo/Loader.ini"

# The short story of a session, from the simulator's transcript: the stages,
# the blocks sent and skipped, the time the programming took on the line, and
# the parameter lines.
summarise() {
  local t=$demo/transcript.txt
  local total=$(( (flash_end - flash_start) / block_size ))
  local sent
  sent=$(grep -c "(block [0-9]*)" "$t" || true)
  echo "demo: the session, as the simulated controller saw it:"
  grep -E 'opened the port|closed the port|"APL" after|identification|loader upload|version|flash erased|parameter mode|session complete' "$t" |
    sed 's/^/  /'
  echo "  blocks: $sent of $total sent, $((total - sent)) blank ones skipped"
  awk '/<- frame .E./ && !first { first = $2 + 0 }
       /-> frame .P./ { last = $2 + 0 }
       END { if (first && last) printf "  programming on the line: %.1f s from the erase request to the last block reply\n", last - first }' \
    FS='[][]' "$t"
  echo "  parameter lines sent:"
  grep -E '<- "AT' "$t" | sed -E 's/.*<- "([^"]*)".*/    \1/'
  echo
}

# ---------------------------------------------------------------- running

sim_args=(
  --link "$link" --pace
  --flash-start "$flash_start" --flash-end "$flash_end" --block-size "$block_size"
  --fw-version 300
  --flash-out "$demo/flash-out.bin" --params-out "$demo/params-out.txt"
)
if [ -n "$headless" ]; then sim_args+=(--once); fi

sim_pid=
programmer_pid=
tail_pid=
stop() {
  # Only the processes this script started, each by its own id.
  if [ -n "$programmer_pid" ] && kill -0 "$programmer_pid" 2>/dev/null; then
    kill -TERM "$programmer_pid" 2>/dev/null || true
    wait "$programmer_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$tail_pid" ] && kill -0 "$tail_pid" 2>/dev/null; then
    kill -TERM "$tail_pid" 2>/dev/null || true
    wait "$tail_pid" 2>/dev/null || true
  fi
  sim_pid= programmer_pid= tail_pid=
}
trap stop EXIT
trap 'exit 130' INT TERM

"$bin/qr740-sim" "${sim_args[@]}" > "$demo/transcript.txt" 2>&1 &
sim_pid=$!
for ((i = 0; i < 50; i++)); do
  [ -L "$link" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -L "$link" ]; then
  cat "$demo/transcript.txt" >&2
  echo "demo: the simulator did not start" >&2
  exit 1
fi

if [ -z "$headless" ]; then
  (cd "$demo" && exec ./qr740-programmer) &
  programmer_pid=$!
  echo "demo: the programmer's window is open; the simulator's transcript follows."
  echo "demo: close the window to end the demo."
  tail -n +1 -f "$demo/transcript.txt" &
  tail_pid=$!
  wait "$programmer_pid" 2>/dev/null || true
  programmer_pid=
  stop
else
  echo "demo: no display, so the command-line programmer does the job:"
  echo
  programmer_status=0
  "$bin/qr740-flash" --folder "$demo" --wait "$first_answer_limit" || programmer_status=$?
  echo
  # The simulator ends its session once the line has been quiet for a while,
  # and writes what the controller received.
  for ((tenths = 0; tenths < session_limit * 10; tenths++)); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop
  summarise
fi

status=0
if [ -n "$headless" ]; then
  if [ "$programmer_status" -eq 0 ]; then
    echo "demo: qr740-flash ended with status 0: every controller programmed."
  else
    echo "demo: qr740-flash ended with status $programmer_status (see its account above)."
    status=1
  fi
fi
if [ -s "$demo/flash-out.bin" ] && cmp -s "$demo/flash-out.bin" "$demo/FW00303.bin"; then
  echo "demo: the simulated flash now holds the image FW00303.bin exactly."
else
  echo "demo: the simulated flash does not hold the image (see $demo/flash-out.bin)."
  status=1
fi
if [ -f "$demo/params-out.txt" ] && cmp -s "$demo/params-out.txt" sim/demo/demo.expected; then
  echo "demo: the controller received exactly the expected parameter commands."
else
  echo "demo: the parameter commands differ from sim/demo/demo.expected (see $demo/params-out.txt)."
  status=1
fi
echo "demo: files in $demo"
# Without a display the demo is a check: it fails unless the whole job arrived.
if [ -n "$headless" ]; then exit "$status"; fi
