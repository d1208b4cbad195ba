#!/usr/bin/env bash
# Real console keys under Wine: the reader runs in a Wine console window on a virtual X display,
# and keys are typed into that window as an operator would type them:
#   - an Escape pressed before the reader starts and a key that is not Escape change nothing:
#     records written afterwards still arrive;
#   - Escape ends the run with "Trace reader has been canceled", exit code 0, reference back;
#   - Ctrl+C ends it with "CTRL-C pressed", exit code 0, reference back.
#
#   ConsoleKeysTest.sh BIN_DIR EMULATOR...
# BIN_DIR holds the test build's programs; EMULATOR is the build's emulator command
# (env WINEARCH=... WINEPREFIX=... ... LOADER). The test works on a copy of that Wine prefix with
# a wineserver, an X server and a console of its own, and ends each of them by its process id.
set -euo pipefail
bin=$1
shift
loader=${*: -1}
prefix=
for word in "$@"; do
  case $word in WINEPREFIX=*) prefix=${word#WINEPREFIX=} ;; WINEARCH=*) export "$word" ;; esac
done
[ -n "$prefix" ] && [ -d "$prefix" ] || { echo "no Wine prefix in the emulator command: $*" >&2; exit 1; }
for tool in Xvfb xdotool; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/windows-build installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/plix-console-keys.XXXXXX)
own_prefix=
pids=()
finish() {
  local status=$?
  # The wineserver ends every Wine process of the prefix (services, the desktop, the console)
  # before its own process and the X server are ended.
  [ -n "$own_prefix" ] && WINEPREFIX=$own_prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  exit $status
}
trap finish EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Bounded wait: until COMMAND succeeds, at most SECONDS.
wait_for() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}

cp -a "$prefix" "$work/prefix"
rm -f "$work/prefix/dosdevices/d:"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINELOADER=$loader
own_prefix=$WINEPREFIX
export RTH_SHM_PREFIX=plixkeys.$$.

# An X server of our own on the first free display number.
exec 8<> <(:)
Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display <&8 || fail "Xvfb did not start"
export DISPLAY=:$display
# The wineserver of this prefix, in the foreground so that its id is ours.
wineserver -f -p >/dev/null 2>&1 &
pids+=($!)

win() { "$loader" "$@"; }
win_path() { win winepath -w "$1" 2>/dev/null | tr -d '\r'; }

win "$bin/rthpart.exe" create plixtrace 65536 >/dev/null || fail "rthpart create"
write_lines() { printf '%s\n' "$@" | win "$bin/plixwrite.exe" >/dev/null || fail "plixwrite"; }
ref_count() { win "$bin/rthpart.exe" show plixtrace | tr -d '\r' | sed -n 's/^refCount: *//p'; }

# run NAME: the reader in a console window titled NAME, its files in $work/NAME; sets window.
run() {
  local name=$1
  mkdir -p "$work/$name"
  win wineconsole "$bin/console_host.exe" "plix-keys-$name" "$(win_path "$work/$name")" \
      "$(win_path "$bin/reader_under_test.exe")" "$(win_path "$work/$name/logs")" \
      >/dev/null 2>&1 &
  pids+=($!)
  wait_for 60 xdotool search --name "^plix-keys-$name\$" >/dev/null ||
    fail "$name: no console window titled plix-keys-$name"
  window=$(xdotool search --name "^plix-keys-$name\$" | head -n 1)
}
start_reader() { touch "$work/$1/go"; }
stdout_has() { grep -qF -- "$2" "$work/$1/program.stdout" 2>/dev/null; }
ended() { [ -s "$work/$1/program.exitcode" ]; }
# Without a window manager nothing has the focus, which xdotool remarks on for every key.
key() { xdotool key --window "$window" "$1" 2>/dev/null; }

# Escape, after a stale Escape (pressed in the window before the reader starts, as one that
# cleared the command line) and a key that is not Escape.
write_lines "before keys"
run escape
key Escape
sleep 0.5
start_reader escape
wait_for 60 stdout_has escape "before keys" || fail "escape: the record did not arrive"
key a
write_lines "after a"
wait_for 60 stdout_has escape "after a" || fail "a stale Escape or a key that is not Escape ended the draining"
ended escape && fail "a stale Escape or a key that is not Escape ended the run"
key Escape
wait_for 60 ended escape || fail "Escape did not end the run"
[ "$(cat "$work/escape/program.exitcode")" = 0 ] || fail "Escape: exit code $(cat "$work/escape/program.exitcode")"
stdout_has escape "Trace reader has been canceled" || fail "Escape: no cancel line"
[ "$(ref_count)" = 0 ] || fail "Escape: reference count $(ref_count) after the run"
echo "Escape: canceled, exit 0, reference back"

# Ctrl+C.
write_lines "before ctrl+c"
run ctrlc
start_reader ctrlc
wait_for 60 stdout_has ctrlc "before ctrl+c" || fail "ctrl+c: the record did not arrive"
[ "$(ref_count)" = 1 ] || fail "ctrl+c: reference count $(ref_count) while reading"
key ctrl+c
wait_for 60 ended ctrlc || fail "Ctrl+C did not end the run"
[ "$(cat "$work/ctrlc/program.exitcode")" = 0 ] || fail "Ctrl+C: exit code $(cat "$work/ctrlc/program.exitcode")"
stdout_has ctrlc "CTRL-C pressed" || fail "Ctrl+C: no CTRL-C line"
[ "$(ref_count)" = 0 ] || fail "Ctrl+C: reference count $(ref_count) after the run"
echo "Ctrl+C: CTRL-C pressed, exit 0, reference back"

win "$bin/rthpart.exe" remove plixtrace >/dev/null
echo "console keys: passed"
