#!/bin/bash
# Runs the Windows test suite under Wine: every CTest test of the mingw-w64
# build; the Win32 layer against a COM port of Wine's mapped to a
# pseudo-terminal (once with modem lines through a preload library, once on
# the bare pty); the window's tests at 96, 120 and 144 pixels per inch; and
# ks-idu.exe upgrading a simulated station (ks-station on the pty behind
# COM7) from the press of Start to "Done.", after which the station's memory
# must equal the image; ks-idu-cli.exe's fault rows, Ctrl+C pressed once and
# twice at its console, and one --all over two ports. Windows are drawn on a private virtual X server in a
# Wine virtual desktop. Exits non-zero when any test fails.
#
# Usage: tools/wine-tests.sh [--layer-only] [build-dir]   (default: build/mingw)
#        tools/wine-tests.sh --screenshot FILE [build-dir]
#   --layer-only       skip the CTest run: only the COM port rig, the window
#                      and the upgrade
#   --screenshot FILE  only take a picture (PNG) of ks-idu.exe's window as a
#                      user would start it, at 120 pixels per inch
#
# The upgrade needs ks-station built for Linux: KSIDU_STATION names one,
# else build/linux's is used, else one is built in the temporary directory.
set -euo pipefail

layer_only=
screenshot=
while [ $# -gt 0 ]; do
  case "$1" in
    --layer-only) layer_only=1; shift ;;
    --screenshot) screenshot=$(realpath -m "${2:?--screenshot needs a file}"); shift 2 ;;
    *) break ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/mingw}" && pwd)
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "wine-tests: no configured build in $build" >&2
  exit 2
fi
layer_exe=$build/tests/comm/ksidu_win32_layer_tests.exe
window_exe=$build/tests/win32/ksidu_win32_window_tests.exe
driver_exe=$build/tests/win32/ksidu_win32_driver.exe
program_exe=$build/app/win32/ks-idu.exe

work=$(mktemp -d "${TMPDIR:-/tmp}/ksidu-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install dialogs; windows only on the private display below.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

peer_pid=
station_pid=
xvfb_pid=
stop_peer() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
    peer_pid=
  fi
}
stop_station() {
  if [ -n "$station_pid" ]; then
    kill -TERM "$station_pid" 2>/dev/null || true
    wait "$station_pid" 2>/dev/null || true
    station_pid=
  fi
}
cleanup() {
  stop_peer
  stop_station
  wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A virtual X server of our own, on the first free display number.
if ! command -v Xvfb >/dev/null; then
  echo "wine-tests: Xvfb is needed for the window (Debian package xvfb)" >&2
  exit 1
fi
: >"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "wine-tests: the virtual X server did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"

# A fresh prefix. Wine maps the machine's own serial devices to COM1, COM2
# and so on at every start; marking COM1 to COM255 as taken (with no device)
# pushes them to COM256, out of reach of every test. COM7 goes to a symlink
# that the peer (or the station) points at its pty slave; COM12 to the same
# one, a port numbered above 9 that Windows opens only by its device path.
# Windows open in an 800 x 600 virtual desktop, where Wine manages them as
# Windows does.
wineboot -i >/dev/null 2>&1
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for i in $(seq 1 255); do
    if [ "$i" = 7 ] || [ "$i" = 12 ]; then
      printf '"COM%d"="%s"\n' "$i" "$work/com7"
    else
      printf '"COM%d"=""\n' "$i"
    fi
  done
  printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="Default"\n'
  printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"Default"="800x600"\n'
} >"$work/ports.reg"
wine reg import "$work/ports.reg" >/dev/null 2>&1
wineserver -w
# Wine's own fonts (Debian's fonts-wine: MS Sans Serif, Tahoma, Marlett for
# the title-bar buttons), where this Wine does not find them by itself.
if [ -d /usr/share/wine/fonts ]; then
  for font in /usr/share/wine/fonts/*; do
    [ -e "$WINEPREFIX/drive_c/windows/Fonts/${font##*/}" ] ||
      ln -s "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  done
fi

# The screen resolution Windows reports; every process started afterwards
# sees the new one.
set_dpi() {
  wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
}

if [ -n "$screenshot" ]; then
  set_dpi 120
  out=$work/hold.out
  : >"$out"
  timeout 120 wine "$driver_exe" --hold 4 "$(winepath -w "$program_exe")" >"$out" 2>&1 &
  hold_pid=$!
  for _ in $(seq 300); do
    grep -q '^window: ' "$out" && break
    kill -0 "$hold_pid" 2>/dev/null || break
    sleep 0.1
  done
  read -r _ left top width height < <(grep '^window: ' "$out" | tr -d '\r') || {
    cat "$out" >&2
    echo "wine-tests: the window did not come up" >&2
    exit 1
  }
  sleep 1
  import -window root "$work/screen.png"
  convert "$work/screen.png" -crop "${width}x${height}+${left}+${top}" +repage "$screenshot"
  wait "$hold_pid"
  echo "wine-tests: picture of the window in $screenshot (${width} x ${height})"
  exit 0
fi

# The portable tests, the layer's own cases (which skip without the rig) and
# the window's cases, at 96 pixels per inch.
if [ -z "$layer_only" ]; then
  set_dpi 96
  KSIDU_WINE_DPI=96 ctest --test-dir "$build" --output-on-failure --timeout 600
fi

for exe in "$layer_exe" "$window_exe" "$driver_exe" "$program_exe" \
  "$build/tests/win32/ksidu_ctrl_events.exe"; do
  if [ ! -f "$exe" ]; then
    echo "wine-tests: $exe not built" >&2
    exit 1
  fi
done

# ks-idu.exe is one static program: it may import Windows' own DLLs only.
objdump=$(command -v x86_64-w64-mingw32-objdump || true)
if [ -n "$objdump" ]; then
  imports=$("$objdump" -p "$program_exe" | sed -n 's/^\s*DLL Name: //p' | tr -d '\r')
  echo "wine-tests: ks-idu.exe imports" $imports
  for dll in $imports; do
    case "${dll^^}" in
      KERNEL32.DLL | USER32.DLL | GDI32.DLL | COMCTL32.DLL | SHELL32.DLL | ADVAPI32.DLL | \
        MSVCRT.DLL) ;;
      *)
        echo "wine-tests: ks-idu.exe needs $dll, which Windows does not ship" >&2
        exit 1
        ;;
    esac
  done
fi

# A gtest program's output: it passed, and no case skipped (a skipped case
# did not run against the rig).
check_run() {  # what rc output-file
  local what=$1 rc=$2 out=$3
  if [ "$rc" -ne 0 ]; then
    echo "wine-tests: $what failed" >&2
    return 1
  fi
  if grep -q '^\[  SKIPPED \]' "$out" || ! grep -q '^\[  PASSED  \]' "$out"; then
    echo "wine-tests: $what did not run" >&2
    return 1
  fi
}

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
  check_run "Win32 layer tests ($rig)" "$rc" "$out"
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

# The window at both resolutions; the rig names the one it set, and the
# tests check that the program really sees it.
run_window() {  # dpi
  local out=$work/window-$1.out rc=0
  set_dpi "$1"
  KSIDU_WINE_DPI=$1 timeout 300 wine "$window_exe" >"$out" 2>&1 || rc=$?
  cat "$out"
  check_run "window tests at $1 pixels per inch" "$rc" "$out"
}
run_window 96
run_window 120
run_window 144

# The upgrade, end to end: ks-idu.exe as a user starts it (plus the port to
# use: Wine lists its COM ports under none of the registry keys the tool
# reads), a simulated station on the pty behind COM7 with carrier detect,
# CTS and DSR through the preload library, Start pressed by the driver.
find_station() {
  if [ -n "${KSIDU_STATION:-}" ]; then
    echo "$KSIDU_STATION"
  elif [ -x "$root/build/linux/tools/station/ks-station" ]; then
    echo "$root/build/linux/tools/station/ks-station"
  else
    cmake -S "$root" -B "$work/host" -DKSIDU_BUILD_TESTS=OFF -DKSIDU_BUILD_QT=OFF >/dev/null
    cmake --build "$work/host" --target ks_station -j2 >/dev/null
    echo "$work/host/tools/station/ks-station"
  fi
}
station=$(find_station)
# The image the build embeds, for the comparison with the station's memory.
image=$(sed -n 's/^KSIDU_FIRMWARE_IMAGE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ -z "$image" ]; then
  image=$(ls "$root"/resources/*.hex)
elif [ "${image#/}" = "$image" ]; then
  image=$root/$image
fi

start_station() {  # [station option...]
  rm -f "$work/com7" "$work/station.json" "$work/station.bin"
  "$station" --pty --link "$work/com7" --modem-dir "$work/modem" --idle-exit 120 \
    --summary "$work/station.json" --dump "$work/station.bin" "$@" >"$work/station.out" 2>&1 &
  station_pid=$!
  for _ in $(seq 100); do
    [ -L "$work/com7" ] && return 0
    sleep 0.1
  done
  cat "$work/station.out" >&2
  echo "wine-tests: the station did not come up" >&2
  return 1
}
drive() {  # [driver option...]: ks-idu.exe --port COM7 under the driver
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
    timeout 300 wine "$driver_exe" "$@" "$(winepath -w "$program_exe")" --port COM7
}

start_station
rc=0
drive >"$work/upgrade.out" 2>&1 || rc=$?
cat "$work/upgrade.out"
stop_station
if [ "$rc" -ne 0 ]; then
  echo "wine-tests: the upgrade through ks-idu.exe failed" >&2
  exit 1
fi
/usr/bin/python3 - "$image" "$work/station.bin" "$work/station.json" <<'EOF'
import json
import sys

image, dump, summary = sys.argv[1:4]
memory = bytearray(b"\xff" * 65536)
with open(image) as lines:
    for line in lines:
        line = line.strip()
        if not line:
            continue
        record = bytes.fromhex(line[1:])
        count, address, kind = record[0], record[1] << 8 | record[2], record[3]
        if kind == 0:
            memory[address:address + count] = record[4:4 + count]
with open(dump, "rb") as f:
    station = f.read()
with open(summary) as f:
    facts = json.load(f)
problems = []
if station != memory:
    first = next((i for i in range(65536) if i >= len(station) or station[i] != memory[i]), 0)
    problems.append(f"the station's memory differs from the image from 0x{first:04X} on")
if facts.get("erase_count") != 1:
    problems.append(f"erased {facts.get('erase_count')} times")
if not facts.get("last_command_seen"):
    problems.append("the last command never arrived")
if problems:
    sys.exit("wine-tests: " + "; ".join(problems))
print(f"wine-tests: the station's memory equals the image "
      f"({len(facts.get('records', []))} records, {facts.get('fillers')} fillers)")
EOF

# Closing the window in the middle of a run (the station paced as on a real
# line, so programming lasts): the program ends at once, with no message.
start_station --baud 19200
rc=0
drive --close-at "Programming..." >"$work/close.out" 2>&1 || rc=$?
cat "$work/close.out"
stop_station
if [ "$rc" -ne 0 ]; then
  echo "wine-tests: closing ks-idu.exe during a run failed" >&2
  exit 1
fi

# The Windows subset of the fault matrix: the console program under Wine
# against the station on COM7, each ending with its exit status and message.
cli_exe=$build/app/console/ks-idu-cli.exe
console_row() {  # expected-status expected-text [station option...]; port in $row_port
  local want=$1 text=$2 port=${row_port:-COM7}
  shift 2
  start_station "$@"
  local rc=0
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
    timeout 120 wine "$cli_exe" --port "$port" >"$work/row.out" 2>"$work/row.err" || rc=$?
  stop_station
  # The port keeps the name it was given; only the open uses the device path.
  if [ "$rc" -ne "$want" ] || ! grep -qF -- "$text" "$work/row.out" "$work/row.err" ||
    grep -qF -- '\\.\' "$work/row.out" "$work/row.err"; then
    echo "wine-tests: ks-idu-cli.exe --port $port with the station's ${*:-defaults}: exit $rc," \
      "expected $want and \"$text\"" >&2
    cat "$work/row.out" "$work/row.err" >&2
    exit 1
  fi
  printf 'wine-tests: ks-idu-cli.exe --port %s, station %-48s exit %d, %s\n' "$port" \
    "${*:-as it comes}" "$rc" "$text"
}
console_row 0 "Done."
# Above COM9: reached only as \\.\COM12, and still called COM12.
row_port=COM12 console_row 0 "Done."
console_row 4 "Initialize error.: Station upgrade not supported." --identify refuse
console_row 3 "Hardware error.: Station KESTRO not found." --identify silent
console_row 5 "Upgrade error.: Communication error." --fault 1=negative
console_row 0 "Done." --fault 3:1=silent --fault 3:2=silent --fault 3:3=silent
console_row 5 "Upgrade error.: Command timeout." --fault 4=silent
console_row 0 "Done." --fault 2=two --fault 3:1=negative --fault 5=split --fault 6=garbage

# Ctrl+C at ks-idu-cli.exe's console during programming (the station paced
# as on a real line): once, the run stops, its record is written and the
# program exits with 130; twice, straight after each other, it ends at once,
# with 130 all the same.
ctrl_exe=$build/tests/win32/ksidu_ctrl_events.exe
ctrl_row() {  # count
  local count=$1 rc=0
  rm -f "$work/ctrl.jsonl"
  start_station --baud 19200
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
    timeout 120 wine "$ctrl_exe" "$count" "Programming..." "$(winepath -w "$cli_exe")" \
    --port COM7 --report "$(winepath -w "$work/ctrl.jsonl")" >"$work/ctrl.out" 2>"$work/ctrl.err" ||
    rc=$?
  stop_station
  local problem=
  if [ "$rc" -ne 130 ]; then
    problem="exit $rc, expected 130"
  elif [ "$count" = 1 ] && { ! grep -q 'Summary: COM7, .*, interrupted' "$work/ctrl.out" ||
    ! grep -qF 'ks-idu-cli: The station: erased; ' "$work/ctrl.err" ||
    ! grep -qF '"outcome":"interrupted"' "$work/ctrl.jsonl"; }; then
    problem="no summary, station line or record of the interrupted run"
  fi
  if [ -n "$problem" ]; then
    echo "wine-tests: $count Ctrl+C in ks-idu-cli.exe during programming: $problem" >&2
    cat "$work/ctrl.out" "$work/ctrl.err" >&2
    [ -f "$work/ctrl.jsonl" ] && cat "$work/ctrl.jsonl" >&2
    exit 1
  fi
  echo "wine-tests: ks-idu-cli.exe, $count Ctrl+C during programming: exit 130"
}
ctrl_row 1
ctrl_row 2

# ks-idu-cli.exe --all: a run of its own for each port (the station on COM7,
# nothing behind COM9), started with CreateProcess and read through pipes,
# each appending its record to one report.
start_station
rc=0
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
  timeout 120 wine "$cli_exe" --all --port COM7 --port COM9 --report "$(winepath -w "$work/all.jsonl")" \
  >"$work/all.out" 2>"$work/all.err" || rc=$?
stop_station
tr -d '\r' <"$work/all.out" >"$work/all.txt"
if [ "$rc" -ne 0 ] || ! grep -q '^\[ *[0-9.]*\] COM7: Done\.$' "$work/all.txt" ||
  ! grep -q '^\[ *[0-9.]*\] COM9: Hardware error\.: Station KESTRO not found\.$' "$work/all.txt" ||
  ! grep -qF '1 station found on 2 ports: 1 done, 0 not.' "$work/all.txt" ||
  [ "$(grep -c '"port":"COM[79]"' "$work/all.jsonl")" != 2 ]; then
  echo "wine-tests: ks-idu-cli.exe --all over COM7 and COM9: exit $rc" >&2
  cat "$work/all.out" "$work/all.err" "$work/all.jsonl" >&2
  exit 1
fi
echo "wine-tests: ks-idu-cli.exe --all, COM7 and COM9: exit 0, COM7 done, COM9 without a station," \
  "a record each"

# --version of every Windows program: the image's line count and the hash
# that sha256sum gives, and a stand-in named as such (its hash is taken over
# its lines joined by LF).
joined=$(tr -d '\r' <"$image")
want="firmware image: $(printf '%s\n' "$joined" | wc -l) lines, SHA-256 $(sha256sum <"$image" | cut -c1-64)"
if [ "$(printf '%s' "$joined" | sha256sum | cut -c1-64)" = \
  "$(head -c 64 "$root/resources/firmware-standin.sha256")" ]; then
  want+=$'\n'"firmware image: the stand-in, not the station's firmware"
fi
for exe in "$program_exe" "$cli_exe" "$build/tools/station/ks-station.exe"; do
  name=$(basename "$exe" .exe)
  rc=0
  got=$(timeout 60 wine "$exe" --version 2>"$work/version.err" | tr -d '\r') || rc=$?
  if [ "$rc" -ne 0 ] || [ "$got" != "$name 2.3"$'\n'"$want" ]; then
    echo "wine-tests: $name.exe --version (exit $rc) printed:" >&2
    printf '%s\n' "$got" >&2
    cat "$work/version.err" >&2
    echo "wine-tests: expected:" >&2
    printf '%s\n' "$name 2.3" "$want" >&2
    exit 1
  fi
  echo "wine-tests: $name.exe --version names the image"
done

# The simulator itself as a Windows program, on COM7.
/usr/bin/python3 "$root/tests/station/wine_station_check.py" \
  --exe "$build/tools/station/ks-station.exe" --com COM7 --link "$work/com7"

wineserver -w
echo "wine-tests: all passed"
