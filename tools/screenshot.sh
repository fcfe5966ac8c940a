#!/bin/sh
# Takes a picture of the built Qt window, as the program draws it, on a
# virtual X server, and stores it as docs/window.png. Builds nothing: build
# the ksidu_qt target first.
#
#   tools/screenshot.sh [build-dir]              (default: build/linux)
#   tools/screenshot.sh --wm FILE [build-dir]    the window at 96 dpi with the
#                                                frame openbox draws, in FILE
#
# Needs the Debian packages xvfb, x11-utils (xwininfo, xprop) and imagemagick
# (import); with --wm, openbox too.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
wm=""
out="$root/docs/window.png"
if [ "${1:-}" = "--wm" ]; then
  if [ $# -lt 2 ]; then
    echo "screenshot: --wm needs a file name" >&2
    exit 2
  fi
  wm=yes
  out=$2
  shift 2
fi
build=${1:-"$root/build/linux"}
exe="$build/app/qt/ks-idu"
title='KS_E -> IDU'

if [ ! -x "$exe" ]; then
  echo "screenshot: $exe not found; build the ksidu_qt target first" >&2
  exit 1
fi
tools="xvfb-run xwininfo xprop import"
if [ -n "$wm" ]; then
  tools="$tools openbox"
else
  mkdir -p "$root/docs"
fi
for tool in $tools; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "screenshot: $tool missing; install xvfb x11-utils imagemagick openbox" >&2
    exit 1
  fi
done

# Without a window manager the window is drawn at its 120 pixels-per-inch
# design size; under openbox at 96, the resolution most desktops have.
export EXE="$exe" OUT="$out" TITLE="$title" WM="$wm"
server="-screen 0 640x480x24"
[ -z "$wm" ] || server="$server -dpi 96"
xvfb-run -a -s "$server" sh -c '
  dpi=120
  if [ -n "$WM" ]; then
    dpi=96
    openbox >/dev/null 2>&1 &
    wmpid=$!
    for _ in $(seq 1 100); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
      sleep 0.1
    done
  fi
  QT_QPA_PLATFORM=xcb QT_FONT_DPI=$dpi "$EXE" &
  pid=$!
  shown=""
  for _ in $(seq 1 100); do
    if xwininfo -name "$TITLE" 2>/dev/null | grep -q "Map State: IsViewable"; then
      shown=yes
      break
    fi
    sleep 0.1
  done
  status=1
  id=$(xwininfo -name "$TITLE" 2>/dev/null | awk "/Window id:/ {print \$4}")
  if [ -n "$shown" ] && [ -n "$WM" ]; then
    sleep 1  # let it and its frame paint
    # The frame: the window widened by the extents openbox draws around it.
    geometry=$( { xwininfo -id "$id"; xprop -id "$id" _NET_FRAME_EXTENTS; } | awk "
      /Absolute upper-left X/ {x=\$NF} /Absolute upper-left Y/ {y=\$NF}
      /Width:/ {w=\$NF} /Height:/ {h=\$NF}
      /_NET_FRAME_EXTENTS/ {gsub(\",\", \"\"); l=\$3; r=\$4; t=\$5; b=\$6}
      END {print w+l+r \"x\" h+t+b \"+\" x-l \"+\" y-t}")
    import -window root -crop "$geometry" +repage "$OUT.tmp.png" && mv "$OUT.tmp.png" "$OUT.tmp" &&
      status=0
  elif [ -n "$shown" ]; then
    sleep 1  # let it paint
    import -window "$id" "$OUT.tmp.png" && mv "$OUT.tmp.png" "$OUT.tmp" && status=0
  else
    echo "screenshot: the window did not appear" >&2
  fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if [ -n "$WM" ]; then
    kill "$wmpid" 2>/dev/null || true
    wait "$wmpid" 2>/dev/null || true
  fi
  exit $status
'
mv "$out.tmp" "$out"
echo "$out"
