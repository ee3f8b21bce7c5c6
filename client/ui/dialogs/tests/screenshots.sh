#!/usr/bin/env bash
# Pictures of the preferences dialog, the status window, the logon page and the about box in
# English and Chinese, taken on a real X display (Xvfb), for checking by eye.
# Usage: client/ui/dialogs/tests/screenshots.sh [output folder]   (default: build/dialog-shots)
# Installs Xvfb, ImageMagick and a Chinese font when they are missing (Debian, needs root or sudo).
set -euo pipefail
top=$(cd "$(dirname "$0")/../../../.." && pwd)
out=${1:-$top/build/dialog-shots}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
need=()
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
[ -x /usr/bin/import ] || need+=(imagemagick)
fc-list :lang=zh 2>/dev/null | grep -q . || need+=(fonts-wqy-zenhei)
if [ ${#need[@]} -gt 0 ]; then
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${need[@]}"
fi
cmake --build "$top/build" --target vorn_dialog_shots -j4
mkdir -p "$out"
for lang in en zh; do
  QEL_TEST_SOURCE_DIR=$top QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1024x768x24" "$top/build/bin/vorn_dialog_shots" "$out" "$lang"
done
# One sheet of all eight, for a quick look.
if [ -x /usr/bin/montage ]; then
  /usr/bin/montage "$out"/*-en.png "$out"/*-zh.png -tile 4x2 -geometry +8+8 -background '#cccccc' \
    "$out/all.png"
fi
ls -l "$out"
