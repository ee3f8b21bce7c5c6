#!/usr/bin/env bash
# Pictures of the update program for a look by eye, in English and in Chinese: its dialog at the
# end of an update (done; the list not read; the download failed; the package refused at
# unpacking; the update server not trusted) and two of its message boxes (the question before an
# update, the cancelled update). Runs under Xvfb with a window manager (openbox), so the dialogs
# carry a frame with their title as on a desktop, and writes PNGs to the folder given (default:
# build/screenshots).
# Usage: update/tests/screenshots.sh [out-dir]     (needs a build: the quistral_screenshot_driver target)
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:-build/screenshots}
driver=build/bin/quistral_screenshot_driver
[ -x "$driver" ] || cmake --build build --target quistral_screenshot_driver -j4

# shellcheck source=../../tests/support/screenshots.sh
. tests/support/screenshots.sh
shots_install_tools
shots_start_display 640x400x24
shots_start_wm
shots_take "$driver" "$out"
