#!/usr/bin/env bash
# Photographs tarvik-gui itself, opened on the demonstration's sample disk,
# under a virtual X server and writes res/screenshot.png. Needs xvfb,
# x11-apps (xwd) and netpbm.
#   res/make_screenshot.sh [BUILD_DIR]      (default build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/${1:-build}
cmake --build "$build" -j2 --target tarvik-gui kxmkdisk
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/kxmkdisk" --preset sample "$work/sample.img" >/dev/null
out="$here/res/screenshot.png"
export XDG_RUNTIME_DIR=$work
# The sample's recorder clock ran in UTC, as in scripts/demo.sh.
QT_QPA_PLATFORM=xcb TZ=UTC xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash -c "
  '$build/tarvik-gui' --read-only -D '$work/sample.img' >/dev/null 2>&1 &
  gui=\$!
  sleep 4
  xwd -silent -name Tarvik | xwdtopnm 2>/dev/null | pnmtopng > '$out'
  kill \$gui
"
echo "wrote $out"
