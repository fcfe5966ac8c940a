#!/bin/bash
# Runs the Windows test suite under Wine: every CTest test of the mingw-w64
# build, then the Win32 layer against a COM port of Wine's mapped to a
# pseudo-terminal (once with modem lines through a preload library, once on
# the bare pty). Exits non-zero when any test fails.
#
# Usage: tools/wine-tests.sh [--layer-only] [build-dir]   (default: build/mingw)
#   --layer-only  skip the CTest run, only the COM port rig
set -euo pipefail

layer_only=
if [ "${1:-}" = --layer-only ]; then
  layer_only=1
  shift
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "wine-tests: no configured build in $build" >&2
  exit 2
fi
layer_exe=$build/tests/comm/ksidu_win32_layer_tests.exe

work=$(mktemp -d "${TMPDIR:-/tmp}/ksidu-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install dialogs, and no display for any other window.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

peer_pid=
stop_peer() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
    peer_pid=
  fi
}
cleanup() {
  stop_peer
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A fresh prefix. Wine maps the machine's own serial devices to COM1, COM2
# and so on at every start; marking COM1 to COM255 as taken (with no device)
# pushes them to COM256, out of reach of every test. COM7 goes to a symlink
# that the peer points at its pty slave.
wineboot -i >/dev/null 2>&1
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for i in $(seq 1 255); do
    if [ "$i" = 7 ]; then
      printf '"COM7"="%s"\n' "$work/com7"
    else
      printf '"COM%d"=""\n' "$i"
    fi
  done
} >"$work/ports.reg"
wine reg import "$work/ports.reg" >/dev/null 2>&1
wineserver -w

# The portable tests, and the layer's own cases, which skip without the rig.
if [ -z "$layer_only" ]; then
  ctest --test-dir "$build" --output-on-failure --timeout 600
fi

if [ ! -f "$layer_exe" ]; then
  echo "wine-tests: $layer_exe not built" >&2
  exit 1
fi

start_peer() {  # [modem-dir]
  rm -f "$work/ready"
  : >"$work/peer.log"
  /usr/bin/python3 "$root/tests/comm/wine_com_peer.py" --link "$work/com7" \
    --log "$work/peer.log" --ready "$work/ready" ${1:+--modem-dir "$1"} &
  peer_pid=$!
  for _ in $(seq 100); do
    [ -f "$work/ready" ] && return 0
    kill -0 "$peer_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "wine-tests: the COM peer did not come up" >&2
  return 1
}

run_layer() {  # rig filter [env...]
  local rig=$1 filter=$2 out=$work/layer-$1.out
  shift 2
  local rc=0
  env KSIDU_WINE_RIG="$rig" KSIDU_WINE_COM=COM7 KSIDU_WINE_PEER_LOG="$work/peer.log" "$@" \
    timeout 300 wine "$layer_exe" --gtest_filter="$filter" >"$out" 2>&1 || rc=$?
  cat "$out"
  if [ "$rc" -ne 0 ]; then
    echo "wine-tests: Win32 layer tests ($rig) failed" >&2
    return 1
  fi
  # A case that skipped did not run against the port: the rig is broken.
  if grep -q '^\[  SKIPPED \]' "$out" || ! grep -q '^\[  PASSED  \]' "$out"; then
    echo "wine-tests: Win32 layer tests ($rig) did not run against the port" >&2
    return 1
  fi
}

# With modem lines: the pty preload library of the POSIX tests goes into the
# Wine process, whose unix side makes the ioctls; the tests see carrier detect
# only when it is loaded there.
mkdir -p "$work/modem"
# KSIDU_PTYMODEM_LIB may name one already built (target ksidu_ptymodem of a
# Linux build); otherwise it is built here from its source.
preload=${KSIDU_PTYMODEM_LIB:-}
if [ -z "$preload" ]; then
  preload=$work/libksidu_ptymodem.so
  cc -shared -fPIC -O2 -o "$preload" "$root/tests/comm/ptymodem.c" -ldl -pthread
fi
start_peer "$work/modem"
run_layer modem '-*CostNoCore*' \
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem"
stop_peer

# On the bare pty every wait fails at once.
start_peer ""
run_layer bare '*CostNoCore*'
stop_peer

wineserver -w
echo "wine-tests: all passed"
