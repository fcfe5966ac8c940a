#!/bin/sh
# Takes a picture of the built Qt window, as the program draws it, on a
# virtual X server, and stores it as docs/window.png. Builds nothing: build
# the ksidu_qt target first.
#
#   tools/screenshot.sh [build-dir]      (default: build/linux)
#
# Needs the Debian packages xvfb, x11-utils (xwininfo), x11-apps (xwd) and
# netpbm (xwdtopnm, pnmtopng).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build/linux"}
exe="$build/app/qt/ks-idu"
out="$root/docs/window.png"
title='KS_E -> IDU'

if [ ! -x "$exe" ]; then
  echo "screenshot: $exe not found; build the ksidu_qt target first" >&2
  exit 1
fi
for tool in xvfb-run xwininfo xwd xwdtopnm pnmtopng; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "screenshot: $tool missing; install xvfb x11-utils x11-apps netpbm" >&2
    exit 1
  fi
done
mkdir -p "$root/docs"

# The window is drawn at its 120 pixels-per-inch design size.
export EXE="$exe" OUT="$out" TITLE="$title"
xvfb-run -a -s "-screen 0 640x480x24" sh -c '
  QT_QPA_PLATFORM=xcb QT_FONT_DPI=120 "$EXE" &
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
  if [ -n "$shown" ]; then
    sleep 1  # let it paint
    xwd -silent -name "$TITLE" | xwdtopnm 2>/dev/null | pnmtopng >"$OUT.tmp" && status=0
  else
    echo "screenshot: the window did not appear" >&2
  fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exit $status
'
mv "$out.tmp" "$out"
echo "$out"
