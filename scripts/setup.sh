#!/usr/bin/env bash
# Installs what the build needs on Debian 12, only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  # the serial devices present, with their USB attributes
  libudev-dev
  libgtest-dev
  clang libclang-rt-14-dev
  fonts-dejavu-core
  # the Debian package (dpkg-shlibdeps) and the install check, which judges
  # the package with lintian
  dpkg-dev desktop-file-utils lintian
  # the journal: the local SQLite file, the factory server's client library, and
  # the PostgreSQL server that the journal's tests start for themselves
  libsqlite3-dev libpq-dev postgresql
  # srec_cat, the independent reader the image file tests hold ours against
  srecord
  # a real terminal for the command line's status block, resized while it runs
  tmux
  # the Markdown parser the guide's link check reads the pages with
  python3 python3-markdown-it
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
