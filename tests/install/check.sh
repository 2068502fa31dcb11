#!/usr/bin/env bash
# The installed program: tests/install/check.sh BUILD [--lintian]
#
# Installs BUILD into a scratch prefix and starts the installed programmer on
# Qt's offscreen platform with a scratch HOME, the way its desktop entry does:
# it must make its folder and Loader.ini, open, and end cleanly on SIGTERM,
# with --folder and the portable layout each winning where they should. Holds
# each program's manual page to its --help. Then validates the desktop entry,
# builds the Debian package and checks that it holds the files the install
# guide (docs/install.md) lists, and nothing else, with the changelog of its
# version; with --lintian, lintian --pedantic must find no error and no
# warning in it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
run_lintian=
if [ "${2:-}" = --lintian ]; then run_lintian=1; fi

scratch=$(mktemp -d)
pids=()
cleanup() {
  # Only the processes this script started, each by its own id.
  for pid in "${pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# Waits for a condition with a deadline; the programs answer in well under a
# second, the deadline only stops a hang.
wait_for() {
  local deadline=$((SECONDS + 30))
  until eval "$1"; do
    if ((SECONDS >= deadline)); then return 1; fi
    sleep 0.05
  done
}

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
desktop=$prefix/share/applications/qr740-programmer.desktop
for file in bin/qr740-programmer bin/qr740-flash bin/qr740-sim share/applications/qr740-programmer.desktop \
  share/icons/hicolor/scalable/apps/qr740-programmer.svg \
  share/qr740-programmer/demo/{Loader.ini,qr740-demo.ldr,demo.par,FW00303.bin}; do
  [ -f "$prefix/$file" ] || fail "cmake --install did not put $file in place"
done
"$root/scripts/demo-image.sh" "$scratch/FW00303.bin"
if cmp -s "$scratch/FW00303.bin" "$prefix/share/qr740-programmer/demo/FW00303.bin"; then
  pass "installed files, the demo image being the demo's"
else
  fail "the installed demo image is not the demo's"
fi

if desktop-file-validate "$desktop"; then pass "desktop entry validates"; else fail "desktop entry"; fi

# The desktop entry's command, run as a launcher would, from the prefix.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
read -r -a command <<<"$exec_line"
command[0]=$prefix/bin/${command[0]}

# ------------------------------------------------ answers on the terminal
no_display=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
if [ "$("${no_display[@]}" "${command[@]}" --version)" = "qr740-programmer 3.03" ]; then
  pass "--version without a display"
else
  fail "--version"
fi
if "${no_display[@]}" "${command[@]}" --help | grep -q -- '--folder DIR'; then
  pass "--help without a display"
else
  fail "--help"
fi
if [ "$("${no_display[@]}" "$prefix/bin/qr740-flash" --version)" = "qr740-flash 3.03" ] &&
  ! ldd "$prefix/bin/qr740-flash" | grep -q libQt6Widgets; then
  pass "qr740-flash installed, without Qt Widgets"
else
  fail "qr740-flash"
fi
status=0
"${no_display[@]}" "${command[@]}" --bogus 2>"$scratch/bogus.err" || status=$?
if [ "$status" -eq 2 ] && grep -q "unknown option '--bogus'" "$scratch/bogus.err"; then
  pass "an unknown option is an error with status 2"
else
  fail "--bogus gave status $status: $(cat "$scratch/bogus.err")"
fi

# ------------------------------------------------ the manual pages
# A page drifts from its program quietly: every option --help mentions must be
# in the page, and every option the page describes (the heading after .TP)
# must still be one --help mentions.
long_options() { grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }
page_text() { zcat "$1" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g'; }
# The exit statuses --help lists: the lines under "Exit status:" that begin with
# a status, or a list of them ("  130, 143, 129  ended by ...").
help_statuses() {
  awk '/^Exit status:/ { on = 1; next }
       on && !/^ / { on = 0 }
       on && /^  [0-9]/ { sub(/^  /, ""); sub(/  .*/, ""); print }' | { grep -oE '[0-9]+' || true; } | sort -u
}
# The statuses the page's EXIT STATUS section gives, each the heading after .TP.
page_statuses() {
  sed -n '/^\.SH "EXIT STATUS"/,/^\.SH /p' | awk 'after_tp { print } { after_tp = ($1 == ".TP") }' |
    { grep -E '^\.BR? [0-9]' || true; } | { grep -oE '[0-9]+' || true; } | sort -u
}
for program in "$prefix"/bin/*; do
  name=$(basename "$program")
  page=$prefix/share/man/man1/$name.1.gz
  if [ ! -f "$page" ]; then
    fail "$name has no manual page"
    continue
  fi
  if ! "${no_display[@]}" "$program" --help >"$scratch/$name.help"; then
    fail "$name --help"
    continue
  fi
  long_options <"$scratch/$name.help" >"$scratch/$name.help-options"
  page_text "$page" | long_options >"$scratch/$name.page-options"
  page_text "$page" | awk 'after_tp { print } { after_tp = ($1 == ".TP") }' | long_options \
    >"$scratch/$name.page-headings"
  undocumented=$(comm -23 "$scratch/$name.help-options" "$scratch/$name.page-options" | xargs)
  stale=$(comm -13 "$scratch/$name.help-options" "$scratch/$name.page-headings" | xargs)
  if [ -n "$undocumented" ]; then fail "$name.1 lacks $undocumented, which --help names"; fi
  if [ -n "$stale" ]; then fail "$name.1 describes $stale, which --help does not name"; fi
  if [ -z "$undocumented$stale" ]; then
    pass "$name.1 describes the $(wc -l <"$scratch/$name.help-options") options --help names"
  fi
  # The statuses too, where --help lists them: a script is written against one
  # of the two, and they must not disagree.
  help_statuses <"$scratch/$name.help" >"$scratch/$name.help-statuses"
  if [ -s "$scratch/$name.help-statuses" ]; then
    page_text "$page" | page_statuses >"$scratch/$name.page-statuses"
    if cmp -s "$scratch/$name.help-statuses" "$scratch/$name.page-statuses"; then
      pass "$name.1 gives the exit statuses --help lists: $(xargs <"$scratch/$name.help-statuses")"
    else
      fail "$name.1 gives the exit statuses $(xargs <"$scratch/$name.page-statuses"), --help $(xargs <"$scratch/$name.help-statuses")"
    fi
  fi
done

# ------------------------------------------------ starting the window
export QT_QPA_PLATFORM=offscreen
unset XDG_CONFIG_HOME

# start NAME HOME-FOLDER PROGRAM [ARGS...]: starts a copy, its pid in $started.
start() {
  local name=$1 home=$2
  shift 2
  mkdir -p "$home"
  HOME=$home "$@" >"$scratch/$name.out" 2>&1 &
  started=$!
  pids+=("$started")
}
# stop NAME PID: SIGTERM, and the window must close as on Exit, with status 0.
stop() {
  local name=$1 pid=$2 status=0
  kill -TERM "$pid"
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    fail "$name ended with status $status on SIGTERM: $(cat "$scratch/$name.out")"
    return 1
  fi
}

# The installed layout: the folder is made in the user's configuration.
home=$scratch/home-user
start user "$home" "${command[@]}"
user_ini=$home/.config/qr740-programmer/Loader.ini
if wait_for '[ -s "$user_ini" ]' && stop user "$started"; then
  if grep -q '^;\[Ports\]' "$user_ini" && grep -q '^;\[Loader\]' "$user_ini"; then
    pass "first start makes ~/.config/qr740-programmer/Loader.ini and ends cleanly"
  else
    fail "the new Loader.ini does not show [Ports] and [Loader]: $(cat "$user_ini")"
  fi
else
  fail "no $user_ini"
fi

home=$scratch/home-xdg
XDG_CONFIG_HOME=$scratch/xdg start xdg "$home" "${command[@]}"
if wait_for '[ -s "$scratch/xdg/qr740-programmer/Loader.ini" ]' && stop xdg "$started" &&
  [ ! -e "$home/.config" ]; then
  pass "XDG_CONFIG_HOME is followed"
else
  fail "XDG_CONFIG_HOME"
fi

home=$scratch/home-folder
start folder "$home" "${command[@]}" --folder "$scratch/bench"
if wait_for '[ -s "$scratch/bench/Loader.ini" ]' && stop folder "$started" &&
  [ ! -e "$home/.config" ]; then
  pass "--folder chooses the folder"
else
  fail "--folder"
fi

# The portable layout: a copy beside its Loader.ini, whose COM1 is a simulated
# controller's link; the controller's transcript tells when the window opened
# the port from that file, and that it closed it on SIGTERM.
portable=$scratch/portable
mkdir -p "$portable"
cp "$prefix/bin/qr740-programmer" "$portable/"
printf '[Communications]\nPort=1\n\n[Ports]\nCOM1=%s\n' "$scratch/link" >"$portable/Loader.ini"
cp "$portable/Loader.ini" "$scratch/portable.ini"
"$prefix/bin/qr740-sim" --link "$scratch/link" >"$scratch/sim.txt" 2>&1 &
pids+=("$!")
transcript=$scratch/sim.txt
home=$scratch/home-portable
if ! wait_for '[ -L "$scratch/link" ]'; then
  fail "the simulator did not start: $(cat "$transcript")"
else
  start portable "$home" "$portable/qr740-programmer"
  if wait_for 'grep -q "opened the port" "$transcript"' && stop portable "$started" &&
    wait_for 'grep -q "closed the port" "$transcript"' && [ ! -e "$home/.config" ]; then
    pass "a Loader.ini beside the executable makes its folder the program's"
  else
    fail "portable layout: $(cat "$transcript")"
  fi
fi

home=$scratch/home-both
start both "$home" "$portable/qr740-programmer" --folder "$scratch/chosen"
if wait_for '[ -s "$scratch/chosen/Loader.ini" ]' && stop both "$started" &&
  cmp -s "$portable/Loader.ini" "$scratch/portable.ini" && [ ! -e "$home/.config" ]; then
  pass "--folder wins over the portable layout"
else
  fail "--folder beside a Loader.ini"
fi

# ------------------------------------------------ the Debian package
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack"; }
deb=$(find "$scratch/package" -maxdepth 1 -name 'qr740-programmer_*.deb' | head -n 1)
if [ -z "$deb" ]; then
  fail "no package"
else
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$scratch/files"
  # The paths the install guide's "Where the files go" names; one ending in /
  # stands for the files under it.
  awk '/^#+ Where the files go/ { on = 1; next } /^#/ { on = 0 } on' "$root/docs/install.md" |
    grep -o '`/usr/[^`]*`' | tr -d '`' | sort -u >"$scratch/readme"
  [ -s "$scratch/readme" ] || fail "docs/install.md names no installed paths"
  while read -r path; do
    if [[ $path == */ ]]; then
      grep -q "^$path" "$scratch/files" || fail "the package has nothing under $path"
    else
      grep -qx "$path" "$scratch/files" || fail "the package lacks $path"
    fi
  done <"$scratch/readme"
  while read -r file; do
    covered=
    while read -r path; do
      if [ "$file" = "$path" ] || { [[ $path == */ ]] && [[ $file == "$path"* ]]; }; then covered=1; fi
    done <"$scratch/readme"
    [ -n "$covered" ] || fail "the package holds $file, which docs/install.md does not name"
  done <"$scratch/files"
  depends=$(dpkg-deb -f "$deb" Depends)
  if [[ $depends == *libqt6widgets6* && $depends == *libc6* && $depends == *qt6-qpa-plugins* ]]; then
    pass "package $(basename "$deb"): $(wc -l <"$scratch/files") files, depends on $depends"
  else
    fail "package dependencies: $depends"
  fi

  dpkg-deb -x "$deb" "$scratch/unpacked"
  version=$(dpkg-deb -f "$deb" Version)
  changelog=$scratch/unpacked/usr/share/doc/qr740-programmer/changelog.Debian.gz
  changelog_version=$(zcat "$changelog" 2>/dev/null | sed -n '1s/^qr740-programmer (\([^)]*\)).*/\1/p') || true
  if [ "$changelog_version" = "$version" ]; then
    pass "the changelog's latest entry is the package's version, $version"
  else
    fail "the package is $version, its changelog's latest entry '$changelog_version'"
  fi

  # lintian's own verdict: errors and warnings fail, info and pedantic tags
  # are shown for a person to weigh.
  if [ -n "$run_lintian" ]; then
    status=0
    lintian --pedantic --display-info --fail-on error,warning "$deb" \
      >"$scratch/lintian.txt" 2>"$scratch/lintian.err" || status=$?
    if [ "$status" -eq 0 ]; then
      pass "lintian --pedantic: no error or warning, $(grep -c '^[IP]:' "$scratch/lintian.txt") info or pedantic tags"
      sed 's/^/    /' "$scratch/lintian.txt"
    else
      fail "lintian --pedantic (status $status):
$(cat "$scratch/lintian.txt" "$scratch/lintian.err")"
    fi
  fi
fi

if ((failures)); then
  echo "install check: $failures failed" >&2
  exit 1
fi
echo "install check: every check passed"
