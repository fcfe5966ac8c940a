#!/bin/bash
# Runs the Windows test suite under Wine: every CTest test of the mingw-w64
# build; the Win32 layer against a COM port of Wine's mapped to a
# pseudo-terminal (once with modem lines through a preload library, once on
# the bare pty); the window's tests at 96, 120 and 144 pixels per inch; and
# ks-idu.exe upgrading a simulated station (ks-station on the pty behind
# COM7) from the press of Start to "Done.", after which the station's memory
# must equal the image; ks-idu-cli.exe's fault rows, Ctrl+C pressed once and
# twice at its console, one --all over two ports, and the same --all killed
# during programming (its runs must end with it and free the port); the
# programs in a folder named in Cyrillic with files named with "é" and "Ж";
# a report file held by another program, for the console, the window and
# a --watch whose port goes away and comes back while the file is renamed;
# and, with the registry laid out as on a PC with a built-in COM1 and
# an FTDI adapter on COM12, the station found on COM12 without --port by
# ks-idu.exe's Start and by ks-idu-cli.exe, and a not-found run's box read
# back with its details. Windows are drawn on a private virtual X server in a
# Wine virtual desktop. Wine runs in a mount namespace of the rig's own in
# which every serial device of the machine is /dev/null, so that no test
# reaches a real port. Exits non-zero when any test fails.
#
# Usage: tools/wine-tests.sh [--layer-only] [build-dir]   (default: build/mingw)
#        tools/wine-tests.sh --screenshot FILE [build-dir]
#        tools/wine-tests.sh --box-screenshot FILE [build-dir]
#   --layer-only       skip the CTest run: only the COM port rig, the window
#                      and the upgrade
#   --screenshot FILE  only take a picture (PNG) of ks-idu.exe's window as a
#                      user would start it, at 120 pixels per inch
#   --box-screenshot FILE
#                      only take a picture of the box that Start shows when
#                      no station answers, its details open, at 120 pixels
#                      per inch
#
# It needs root for its mount namespace (or, without, a user namespace of
# its own, where the kernel allows them).
#
# The upgrade needs ks-station built for Linux: KSIDU_STATION names one,
# else build/linux's is used, else one is built in the temporary directory.
set -euo pipefail

# Wine maps the machine's own serial devices to COM numbers at every start
# (here /dev/ttyS0, the VM's console), and the port list reads Wine's device
# map, which names COM1 to COM256. So everything below runs in a mount
# namespace of its own, where each of them is /dev/null.
here_ns=$(readlink /proc/self/ns/mnt)
if [ "${KSIDU_WINE_HOST_NS:-}" != "" ] && [ "$KSIDU_WINE_HOST_NS" != "$here_ns" ]; then
  : # the copy of this script inside its own namespace
else
  if [ "$(id -u)" = 0 ]; then
    exec env KSIDU_WINE_HOST_NS="$here_ns" unshare --mount --propagation private -- "$0" "$@"
  fi
  exec env KSIDU_WINE_HOST_NS="$here_ns" \
    unshare --map-root-user --mount --propagation private -- "$0" "$@"
fi
null_device=$(stat -Lc %t:%T /dev/null)
for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/rfcomm*; do
  [ -e "$device" ] || continue
  mount --bind /dev/null "$device"
  if [ "$(stat -Lc %t:%T "$device")" != "$null_device" ]; then
    echo "wine-tests: $device is still a device of its own; not running Wine" >&2
    exit 1
  fi
done

layer_only=
screenshot=
box_screenshot=
while [ $# -gt 0 ]; do
  case "$1" in
    --layer-only) layer_only=1; shift ;;
    --screenshot) screenshot=$(realpath -m "${2:?--screenshot needs a file}"); shift 2 ;;
    --box-screenshot)
      box_screenshot=$(realpath -m "${2:?--box-screenshot needs a file}")
      shift 2
      ;;
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
# pushes them to COM256, which in this namespace is /dev/null (checked below
# for every COM name before any test runs). COM7 goes to a symlink
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

# Where each COM name reaches, for every name Wine's device map lists and
# every one Wine has a device for: nowhere, one of the rig's own links, or a
# device that is /dev/null here. Anything else stops the rig before a test
# can open it.
check_com_names() {
  local map=$work/devicemap.txt device name target reached=() names
  wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *\(\\[^ ]*\) *REG_SZ *\(.*\)$/\1 \2/p' >"$map"
  names=$( (cut -d' ' -f2 "$map" && cd "$WINEPREFIX/dosdevices" && ls -d com* 2>/dev/null) |
    tr '[:lower:]' '[:upper:]' | sort -u -V)
  for name in $names; do
    device=$WINEPREFIX/dosdevices/${name,,}
    [ -L "$device" ] || continue
    target=$(readlink "$device")
    case "$target" in
      "$work"/*) reached+=("$name: the rig's ${target#"$work"/}") ;;
      *)
        if [ -c "$target" ] && [ "$(stat -Lc %t:%T "$target")" = "$null_device" ]; then
          reached+=("$name: $target, which is /dev/null here")
        else
          echo "wine-tests: $name reaches $target, which is not the rig's; not running" >&2
          exit 1
        fi
        ;;
    esac
  done
  local list listed
  list=$(printf '%s; ' "${reached[@]}")
  listed=$(cut -d' ' -f2 "$map" | sort -V | sed -n '1p;$p' | paste -sd' ')
  echo "wine-tests: Wine's device map lists $(wc -l <"$map") ports (${listed/ / to });" \
    "a COM name reaches a device only as ${list%; }"
}
check_com_names

# The screen resolution Windows reports; every process started afterwards
# sees the new one.
set_dpi() {
  wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
}

# Whether FILE gets a line matching PATTERN (a basic regular expression,
# carriage returns left out) within SECONDS, while process PID runs.
wait_for_line() {  # file pattern pid seconds
  for _ in $(seq $(($4 * 10))); do
    tr -d '\r' <"$1" 2>/dev/null | grep -q "$2" && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  tr -d '\r' <"$1" 2>/dev/null | grep -q "$2"
}

if [ -n "$screenshot" ]; then
  set_dpi 120
  out=$work/hold.out
  : >"$out"
  timeout 120 wine "$driver_exe" --hold 4 "$(winepath -w "$program_exe")" >"$out" 2>&1 &
  hold_pid=$!
  wait_for_line "$out" '^window: ' "$hold_pid" 30 || true
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
if [ -z "$layer_only" ] && [ -z "$box_screenshot" ]; then
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
if [ -z "$box_screenshot" ]; then
  start_peer "$work/modem"
  run_layer modem '-*CostNoCore*' \
    LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem"
  stop_peer

  # On the bare pty every wait fails at once.
  start_peer ""
  run_layer bare '*CostNoCore*'
  stop_peer
fi

# The window at both resolutions; the rig names the one it set, and the
# tests check that the program really sees it.
run_window() {  # dpi
  local out=$work/window-$1.out rc=0
  set_dpi "$1"
  KSIDU_WINE_DPI=$1 timeout 300 wine "$window_exe" >"$out" 2>&1 || rc=$?
  cat "$out"
  check_run "window tests at $1 pixels per inch" "$rc" "$out"
}
if [ -z "$box_screenshot" ]; then
  run_window 96
  run_window 120
  run_window 144
fi

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
run_driver() {  # [driver option...] -- [ks-idu.exe argument...]
  local options=()
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
    timeout 300 wine "$driver_exe" "${options[@]}" "$(winepath -w "$program_exe")" "$@"
}
drive() {  # [driver option...]: ks-idu.exe --port COM7 under the driver
  run_driver "$@" -- --port COM7
}

# Without --port: the registry as on a PC with a built-in COM1 and an FTDI
# adapter on COM12. The instance walk lists COM1 (service Serial) and leaves
# out the adapter (FTSER2K) and a stale one on COM5, unplugged long ago; the
# device map, the ports present now, adds COM12. Wine writes a device map of
# its own at every start (COM1 to COM256): a wineserver that stays up holds
# the machine's instead until machine_done.
machine_layout() {
  local enum='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum' got
  {
    printf 'REGEDIT4\n'
    printf '\n[%s\\ACPI\\PNP0501\\1]\n"Service"="Serial"\n' "$enum"
    printf '\n[%s\\ACPI\\PNP0501\\1\\Device Parameters]\n"PortName"="COM1"\n' "$enum"
    printf '\n[%s\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000]\n"Service"="FTSER2K"\n' "$enum"
    printf '\n[%s\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\\Device Parameters]\n' "$enum"
    printf '"PortName"="COM12"\n"LatencyTimer"=dword:00000010\n'
    printf '\n[%s\\FTDIBUS\\VID_0403+PID_6015+DN05J1KXA\\0000]\n"Service"="FTSER2K"\n' "$enum"
    printf '\n[%s\\FTDIBUS\\VID_0403+PID_6015+DN05J1KXA\\0000\\Device Parameters]\n' "$enum"
    printf '"PortName"="COM5"\n'
  } >"$work/machine.reg"
  wineserver -k 2>/dev/null || true
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine reg import "$work/machine.reg" >/dev/null 2>&1
  # Wine's own map is written as its devices start: wait for it, then replace it.
  for _ in $(seq 100); do
    wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | grep -q 'REG_SZ' && break
    sleep 0.1
  done
  # Its values only: the key is volatile, and a new one could not be made.
  wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /va /f >/dev/null 2>&1
  wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial0' /d COM1 /f >/dev/null 2>&1
  wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /d COM12 /f >/dev/null 2>&1
  check_com_names
  got=$(tr '\n' ' ' <"$work/devicemap.txt")
  if [ "$got" != '\Device\Serial0 COM1 \Device\VCP0 COM12 ' ]; then
    echo "wine-tests: the machine's device map did not hold: $got" >&2
    exit 1
  fi
}
machine_done() {
  wineserver -k 2>/dev/null || true
  wineserver -w
}

# A run of ks-idu.exe without --port that ends in "Station KESTRO not found."
# (the station on COM12 silent): the driver reads the box back, opens its
# details, and presses OK; what it showed must be what the trace noted beside
# the box.
read_box() {  # hold-seconds output
  local rc=0
  start_station --identify silent
  rm -f "$work/box.trace"
  run_driver --box "$1" -- --trace "$(winepath -w "$work/box.trace")" >"$2" 2>&1 || rc=$?
  stop_station
  if [ "$rc" -ne 0 ] ||
    ! /usr/bin/python3 "$root/tests/win32/wine_box_check.py" --driver "$2" \
      --trace "$work/box.trace" --caption "Hardware error." --text "Station KESTRO not found." \
      --details "COM1: not a serial port" \
      --details "COM12: no valid answer to 4 identify frames"; then
    cat "$2" >&2
    echo "wine-tests: the not-found box of ks-idu.exe without --port (driver exit $rc)" >&2
    exit 1
  fi
}

if [ -n "$box_screenshot" ]; then
  set_dpi 120
  machine_layout
  out=$work/box.out
  : >"$out"
  read_box 4 "$out" &
  box_pid=$!
  wait_for_line "$out" '^box: ' "$box_pid" 60 || true
  read -r _ left top width height < <(grep '^box: ' "$out" | tr -d '\r') || {
    cat "$out" >&2
    echo "wine-tests: the box did not come up" >&2
    exit 1
  }
  sleep 1
  import -window root "$work/screen.png"
  convert "$work/screen.png" -crop "${width}x${height}+${left}+${top}" +repage "$box_screenshot"
  wait "$box_pid"
  machine_done
  echo "wine-tests: picture of the box in $box_screenshot (${width} x ${height})"
  exit 0
fi

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

# The same --all killed while COM7's station is being programmed (paced as on
# a real line): its runs end with it, not after it (the job's end kills them,
# so the COM7 run writes no record of its own), no ks-idu-cli.exe is left in
# Wine's process list, and COM7 opens again at once: a second run finds the
# station and is stopped with Ctrl+C once it erases.
runs_left() {
  wine winedbg --command "info proc" 2>/dev/null | tr -d '\r' | grep -c "'ks-idu-cli.exe'" || true
}
start_station --baud 19200
rm -f "$work/killed.jsonl"
: >"$work/killed.out"
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
  wine "$cli_exe" --all --port COM7 --port COM9 --report "$(winepath -w "$work/killed.jsonl")" \
  >"$work/killed.out" 2>&1 &
coordinator_pid=$!
problem=
if ! wait_for_line "$work/killed.out" 'COM7: Programming\.\.\.' "$coordinator_pid" 60 ||
  [ "$(runs_left)" -lt 2 ]; then
  problem="COM7's run was not programming under its coordinator"
fi
kill -9 "$coordinator_pid" 2>/dev/null || true
wait "$coordinator_pid" 2>/dev/null || true
for _ in $(seq 100); do
  [ "$(runs_left)" = 0 ] && break
  sleep 0.1
done
if [ -z "$problem" ] && [ "$(runs_left)" != 0 ]; then
  problem="ks-idu-cli.exe still running: $(wine winedbg --command "info proc" 2>&1 | tr -d '\r')"
elif [ -z "$problem" ] && grep -qF '"port":"COM7"' "$work/killed.jsonl" 2>/dev/null; then
  problem="the COM7 run outlived its coordinator long enough to write its record"
fi
rc=0
if [ -z "$problem" ]; then
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
    timeout 120 wine "$ctrl_exe" 1 "Erase processor..." "$(winepath -w "$cli_exe")" --port COM7 \
    >"$work/after.out" 2>&1 || rc=$?
  [ "$rc" = 130 ] || problem="a run on COM7 afterwards: exit $rc, expected 130 (stopped)"
fi
stop_station
if [ -n "$problem" ]; then
  echo "wine-tests: ks-idu-cli.exe --all killed during programming: $problem" >&2
  cat "$work/killed.out" "$work/after.out" "$work/station.out" >&2 2>/dev/null || true
  exit 1
fi
echo "wine-tests: ks-idu-cli.exe --all killed during programming: its runs ended with it," \
  "COM7 opened again at once"

# Without --port, on the machine laid out as a PC with a built-in COM1 and an
# FTDI adapter on COM12: the list is COM1 then COM12 (the stale adapter's
# COM5 and Wine's own COM7 not in it), and the station on COM12 is found
# and upgraded by Start in ks-idu.exe and by ks-idu-cli.exe; COM1, a name
# with no device behind it in Wine, is passed over as not a serial port.
# Then a not-found run's box, read back with its details.
machine_layout
rc=0
listed=$(timeout 60 wine "$cli_exe" --list-ports 2>"$work/list.err" | tr -d '\r') || rc=$?
if [ "$rc" -ne 0 ] || [ "$listed" != $'COM1\nCOM12' ]; then
  echo "wine-tests: ks-idu-cli.exe --list-ports on the machine (exit $rc) printed:" >&2
  printf '%s\n' "$listed" >&2
  cat "$work/list.err" >&2
  exit 1
fi
echo "wine-tests: ks-idu-cli.exe --list-ports on the machine: COM1, COM12"
# The record of a run found on COM12 after COM1 was passed over.
found_on_com12() {  # report
  grep -qF '"port":"COM12"' "$1" && grep -qF '"latency_timer_ms":16' "$1" &&
    grep -qF '"latency_advice":"COM12 is an FTDI adapter whose latency timer holds' "$1" &&
    grep -qF '"passed_over":[{"port":"COM1","reason":"not a serial port"}]' "$1" &&
    [ "$(wc -l <"$1")" = 1 ]
}
start_station
rc=0
rm -f "$work/noport.jsonl"
run_driver -- --report "$(winepath -w "$work/noport.jsonl")" >"$work/noport.out" 2>&1 || rc=$?
stop_station
cat "$work/noport.out"
if [ "$rc" -ne 0 ] || ! found_on_com12 "$work/noport.jsonl"; then
  echo "wine-tests: Start in ks-idu.exe without --port did not upgrade the station on COM12" >&2
  cat "$work/noport.jsonl" >&2 || true
  exit 1
fi
echo "wine-tests: ks-idu.exe without --port: Start found the station on COM12, \"Done.\""
start_station
rc=0
rm -f "$work/noport.jsonl"
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" \
  timeout 120 wine "$cli_exe" --report "$(winepath -w "$work/noport.jsonl")" \
  >"$work/row.out" 2>"$work/row.err" || rc=$?
stop_station
if [ "$rc" -ne 0 ] || ! grep -qF "Done." "$work/row.out" || ! found_on_com12 "$work/noport.jsonl" ||
  grep -qF -- '\\.\' "$work/row.out" "$work/row.err"; then
  echo "wine-tests: ks-idu-cli.exe without --port: exit $rc" >&2
  cat "$work/row.out" "$work/row.err" "$work/noport.jsonl" >&2 || true
  exit 1
fi
echo "wine-tests: ks-idu-cli.exe without --port: the station on COM12, exit 0, \"Done.\""
read_box 0 "$work/box.out"
machine_done

# Any folder, any name: the programs copied into a folder whose name the ANSI
# code page cannot hold, the report and trace in folders named with "é" and
# "Ж"; every record read back as JSON, every file found under its own name.
uni="$work/Программы José"
mkdir -p "$uni" "$work/é" "$work/Ж"
cp "$cli_exe" "$program_exe" "$uni/"
for where in é Ж; do
  start_station
  rc=0
  LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" LC_ALL=C.UTF-8 \
    timeout 120 wine "$uni/ks-idu-cli.exe" --port COM7 \
    --report "$(winepath -w "$work/$where/runs $where.jsonl")" \
    --trace "$(winepath -w "$work/$where/run $where.trace")" >"$work/uni.out" 2>"$work/uni.err" ||
    rc=$?
  stop_station
  if [ "$rc" -ne 0 ] || ! grep -q 'Done\.' "$work/uni.out" ||
    [ ! -s "$work/$where/run $where.trace" ]; then
    echo "wine-tests: ks-idu-cli.exe from \"$uni\" with files in \"$where\": exit $rc" >&2
    ls -la "$work/$where" >&2
    cat "$work/uni.out" "$work/uni.err" >&2
    exit 1
  fi
done
start_station
rc=0
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" LC_ALL=C.UTF-8 \
  timeout 120 wine "$uni/ks-idu-cli.exe" --all --port COM7 --port COM9 \
  --report "$(winepath -w "$work/Ж/runs Ж.jsonl")" --trace "$(winepath -w "$work/é/all é.trace")" \
  >"$work/uni.out" 2>"$work/uni.err" || rc=$?
stop_station
if [ "$rc" -ne 0 ] || [ ! -s "$work/é/all é.trace.COM7" ] || [ ! -s "$work/é/all é.trace.COM9" ]; then
  echo "wine-tests: ks-idu-cli.exe --all from \"$uni\": exit $rc" >&2
  ls -la "$work/é" >&2
  cat "$work/uni.out" "$work/uni.err" >&2
  exit 1
fi
/usr/bin/python3 - "$work" <<'PYTHON'
import json
import sys

work = sys.argv[1]
want = {"é": ["done"], "Ж": ["done", "done", "not found"]}
for where, outcomes in want.items():
    with open(f"{work}/{where}/runs {where}.jsonl", encoding="utf-8") as f:
        records = [json.loads(line) for line in f]
    got = sorted(r["outcome"] for r in records)
    if got != sorted(outcomes) or any(r["program"] != "ks-idu-cli" for r in records):
        sys.exit(f"wine-tests: the records in {where}: {got}, expected {sorted(outcomes)}")
for trace in (f"{work}/Ж/run Ж.trace", f"{work}/é/all é.trace.COM7"):
    with open(trace, encoding="utf-8") as f:
        if "ks-idu-cli 2.3" not in f.readline():
            sys.exit(f"wine-tests: {trace} does not begin as a trace")
print("wine-tests: ks-idu-cli.exe from a folder named in Cyrillic, --all included, "
      "records and traces in \"é\" and \"Ж\": all found, every record valid JSON")
PYTHON

# A record file held by another program (open for editing, others may only
# read): the run is not stopped. The console says so and exits 8 after
# "Done.", printing the record; the window says so in a box of its own after
# the run and writes the record with the next one once the file is let go.
held="$work/Ж/held é.jsonl"
rm -f "$held" "$work/release"
timeout 300 wine "$driver_exe" --hold-file "$(winepath -w "$held")" "$(winepath -w "$work/release")" \
  >"$work/holder.out" 2>&1 &
holder_pid=$!
wait_for_line "$work/holder.out" holding "$holder_pid" 30 || true
start_station
rc=0
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" LC_ALL=C.UTF-8 \
  timeout 120 wine "$cli_exe" --port COM7 --report "$(winepath -w "$held")" \
  >"$work/held.out" 2>"$work/held.err" || rc=$?
stop_station
touch "$work/release"
wait "$holder_pid" || true
tr -d '\r' <"$work/held.err" >"$work/held.txt"
if [ "$rc" -ne 8 ] || ! grep -q 'Done\.' "$work/held.out" ||
  ! grep -q "is held by another program (Windows error 32: " "$work/held.txt" ||
  ! grep -q '^ks-idu-cli: the record of this run: {.*"outcome":"done"' "$work/held.txt" ||
  [ -s "$held" ]; then
  echo "wine-tests: ks-idu-cli.exe with its report file held: exit $rc, expected 8" >&2
  cat "$work/holder.out" "$work/held.out" "$work/held.err" >&2
  exit 1
fi
echo "wine-tests: ks-idu-cli.exe with its report file held: \"Done.\", told, exit 8"
start_station
rc=0
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" LC_ALL=C.UTF-8 \
  timeout 300 wine "$driver_exe" --hold-report "$(winepath -w "$held")" \
  "$(winepath -w "$uni/ks-idu.exe")" --port COM7 --report "$(winepath -w "$held")" \
  --trace "$(winepath -w "$work/é/window é.trace")" >"$work/held-window.out" 2>&1 || rc=$?
stop_station
cat "$work/held-window.out"
if [ "$rc" -ne 0 ] || [ ! -s "$work/é/window é.trace" ] ||
  ! /usr/bin/python3 -c '
import json, sys
records = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
sys.exit([r["outcome"] for r in records] != ["done", "done"] or
         any(r["program"] != "ks-idu" for r in records))' "$held"; then
  echo "wine-tests: ks-idu.exe with its report file held through a run: exit $rc" >&2
  cat "$held" >&2 || true
  exit 1
fi
echo "wine-tests: ks-idu.exe with its report file held: \"Done.\", told in a box," \
  "both records written once the file was let go"

# --watch over COM7 beside a record file held by another program, which is
# then renamed while COM7 is gone: the first run reaches "Done." but cannot
# write its record, and the coordinator keeps it. The file is let go, COM7's
# name taken away as Windows does when its adapter is pulled out, the file
# renamed and COM7 given back: the second run's record makes a new file of
# the old name, and the kept one follows it there. Ctrl+C then ends the
# session with 0: no run going, both stations done and recorded.
watched="$work/Ж/watch é.jsonl"
rm -f "$watched" "$work/watch-release" "$work/watch-stop"
timeout 300 wine "$driver_exe" --hold-file "$(winepath -w "$watched")" \
  "$(winepath -w "$work/watch-release")" >"$work/holder.out" 2>&1 &
holder_pid=$!
wait_for_line "$work/holder.out" holding "$holder_pid" 30 || true
start_station
: >"$work/watch.out"
LD_PRELOAD="$preload" KSIDU_PTYMODEM_DIR="$work/modem" LC_ALL=C.UTF-8 \
  timeout 240 wine "$ctrl_exe" 1 "@$(winepath -w "$work/watch-stop")" "$(winepath -w "$cli_exe")" \
  --watch --port COM7 --report "$(winepath -w "$watched")" >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
watch_said() {  # pattern seconds
  wait_for_line "$work/watch.out" "$1" "$watch_pid" "$2"
}
problem=
if ! watch_said '^\[ *[0-9.]*\] COM7: record not written: .* is held by another program (Windows error 32: .*; kept, to be written after the next run$' 60; then
  problem="no word of the first run's record kept"
fi
touch "$work/watch-release"
wait "$holder_pid" || true
target=
if [ -z "$problem" ]; then
  target=$(wine "$driver_exe" --unplug COM7 | tr -d '\r' | sed -n 's/^unplugged COM7 //p')
  if [ -z "$target" ]; then
    problem="COM7 could not be taken away"
  elif ! watch_said 'COM7: port gone$' 30; then
    problem="COM7 taken away, not seen gone"
  fi
  mv "$watched" "$work/Ж/watch é-1.jsonl"
  [ -n "$target" ] && wine "$driver_exe" --plug COM7 "$target"
  if [ -z "$problem" ] && ! watch_said 'COM7: record written$' 60; then
    problem="the kept record was not written after the second run"
  fi
fi
touch "$work/watch-stop"
rc=0
wait "$watch_pid" || rc=$?
stop_station
tr -d '\r' <"$work/watch.out" >"$work/watch.txt"
if [ -z "$problem" ] && [ "$rc" -ne 0 ]; then
  problem="exit $rc, expected 0"
elif [ -z "$problem" ] && { [ "$(grep -c '^\[ *[0-9.]*\] COM7: Done\.$' "$work/watch.txt")" != 2 ] ||
  ! grep -qF '2 stations found on 1 port: 2 done, 0 not.' "$work/watch.txt" ||
  [ -s "$work/Ж/watch é-1.jsonl" ]; }; then
  problem="not two upgrades with an empty file renamed between them"
elif [ -z "$problem" ] && ! /usr/bin/python3 -c '
import json, sys
records = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
# The second run wrote its own; the first one'"'"'s, kept, came after it.
sys.exit([(r["port"], r["outcome"]) for r in records] != [("COM7", "done")] * 2 or
         records[1]["start"] >= records[0]["start"])' "$watched"; then
  problem="the new file does not hold both records, the kept one last"
fi
if [ -n "$problem" ]; then
  echo "wine-tests: ks-idu-cli.exe --watch with its report file held, then renamed: $problem" >&2
  cat "$work/watch.out" "$work/watch.err" "$work/holder.out" >&2
  cat "$watched" >&2 2>/dev/null || true
  exit 1
fi
echo "wine-tests: ks-idu-cli.exe --watch with its report file held, then renamed while COM7 was" \
  "gone: the kept record and the next one in a new file of the old name, exit 0"

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
