#!/usr/bin/env bash
# Photographs the dialog after a search under a virtual X server and writes
# res/screenshot.png. Needs xvfb, x11-apps (xwd) and netpbm.
#   res/make_screenshot.sh [BUILD_DIR]      (default build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
cmake --build "$here/$build" -j2 --target dialog_screenshot
shot="$here/$build/tests/dialog/dialog_screenshot"
out="$here/res/screenshot.png"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
QT_QPA_PLATFORM=xcb TZ=UTC xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash -c "
  '$shot' 8 &
  sleep 4
  xwd -silent -name Tarvik | xwdtopnm 2>/dev/null | pnmtopng > '$out'
  wait
"
echo "wrote $out"
