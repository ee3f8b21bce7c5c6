#!/usr/bin/env bash
# Pictures of the update program for a look by eye, in English and in Chinese: its dialog at the
# end of an update (done; the list not read; the download failed; the package refused at
# unpacking; the update server not trusted) and two of its message boxes (the question before an
# update, the cancelled update). Runs under Xvfb with a window manager (twm), so the dialogs
# carry a frame as on a desktop, and writes PNGs to the folder given (default:
# build/screenshots).
# Usage: update/tests/screenshots.sh [out-dir]     (needs a build: the quistral_screenshot_driver target)
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:-build/screenshots}
driver=build/bin/quistral_screenshot_driver
[ -x "$driver" ] || cmake --build build --target quistral_screenshot_driver -j4

# shellcheck source=../../tests/support/screenshots.sh
. tests/support/screenshots.sh
extra=()
command -v twm >/dev/null || extra+=(twm)
shots_install_tools "${extra[@]}"
shots_start_display 640x400x24 80
# Windows go where they ask to be, without the window manager asking the user to place them;
# Xvfb has only its built-in core font ("fixed") for the title bars.
printf 'UsePPosition "on"\nRandomPlacement\nNoGrabServer\n' >"$shots_root/twmrc"
for f in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do echo "$f \"fixed\"" >>"$shots_root/twmrc"; done
twm -display "$display" -f "$shots_root/twmrc" >/dev/null 2>&1 &
shots_extra_pid=$!
shots_take "$driver" "$out"
