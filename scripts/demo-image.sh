#!/usr/bin/env bash
# Writes the demo's firmware image FW00303.bin: scripts/demo-image.sh FILE
#
# 64 blocks of 256 bytes for the flash from 0x4000: runs of code-like blocks and
# of erased (0xFF) blocks, so that the programmer skips some of them.
set -euo pipefail
export LC_ALL=C # byte strings, whatever the user's locale

blank_block() {
  local s
  printf -v s '%256s' ''
  printf '%s' "${s// /$'\xff'}"
}
text_block() {
  local s
  printf -v s 'QR740 demo firmware 3.03, block %02d. ' "$1"
  while [ ${#s} -lt 256 ]; do s+=$s; done
  printf '%s' "${s:0:256}"
}

for ((i = 0; i < 64; i++)); do
  if ((i < 16 || (i >= 24 && i < 32) || (i >= 56 && i != 60))); then
    text_block "$i"
  else
    blank_block
  fi
done > "$1.part"
mv "$1.part" "$1"
