#!/usr/bin/env bash
# Pictures of the GUI client for a look by eye, in English and in Chinese: the main dialog offline
# (both tabs), logging on and online, the tray menu in each of the three states, two message boxes
# (the quit question, a refused form), the change-password and the password re-entry dialogs, and
# a gateway's refusal written in code page 936 ("message-gateway-refusal"). The
# dialog runs behind the client's own connector against two test gateways on loopback, so every
# text is the engine's own. Runs under Xvfb with a window manager (openbox), so windows and boxes
# carry a frame with their title as on a desktop, on a private machine root, and writes PNGs to
# the folder given (default: build/screenshots).
# Usage: client/ui/tests/screenshots.sh [out-dir]     (needs a build: the vorn_screenshot_driver target)
set -euo pipefail
cd "$(dirname "$0")/../../.."
out=${1:-build/screenshots}
driver=build/bin/vorn_screenshot_driver
[ -x "$driver" ] || cmake --build build --target vorn_screenshot_driver -j4

# shellcheck source=../../../tests/support/screenshots.sh
. tests/support/screenshots.sh
extra=()
command -v xwininfo >/dev/null || extra+=(x11-apps)
shots_install_tools "${extra[@]}"
shots_start_display 900x560x24
shots_start_wm
shots_take "$driver" "$out"
