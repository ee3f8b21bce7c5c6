#!/usr/bin/env bash
# Pictures of the GUI client for a look by eye, in English and in Chinese: the main dialog offline
# (both tabs), logging on and online, the tray menu in each of the three states, two message boxes
# (the quit question, a refused form), the change-password and the password re-entry dialogs, and
# a gateway's refusal written in code page 936 ("message-gateway-refusal"). The
# dialog runs behind the client's own connector against two test gateways on loopback, so every
# text is the engine's own. Runs under Xvfb on a private machine root and writes PNGs to the
# folder given (default: build/screenshots).
# Usage: client/ui/tests/screenshots.sh [out-dir]     (needs a build: the vorn_screenshot_driver target)
set -euo pipefail
cd "$(dirname "$0")/../../.."
out=${1:-build/screenshots}
driver=build/bin/vorn_screenshot_driver
[ -x "$driver" ] || cmake --build build --target vorn_screenshot_driver -j4

need=()
command -v Xvfb >/dev/null || need+=(xvfb)
command -v import >/dev/null || need+=(imagemagick)
command -v xwininfo >/dev/null || need+=(x11-apps x11-utils)
fc-list 2>/dev/null | grep -qi 'wenquanyi\|noto.*cjk' || need+=(fonts-wqy-zenhei)
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y "${need[@]}" >/dev/null
fi

mkdir -p "$out"
root=$(mktemp -d /tmp/vorn-shots.XXXXXX)
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 900x560x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -rf "$root"; }
trap cleanup EXIT
for _ in $(seq 50); do xwininfo -root -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done

for lang in en zh; do
  rm -rf "$root/$lang"
  mkdir -p "$root/$lang"
  coproc DRIVER { env QEL_ROOT="$root/$lang" DISPLAY="$display" QT_QPA_PLATFORM=xcb "$driver" "$lang" 2>/dev/null; }
  pid=$DRIVER_PID
  while read -r word step <&"${DRIVER[0]}"; do
    [ "$word" = READY ] || continue
    import -display "$display" -window root "$out/$lang-$step.png"
    echo "$out/$lang-$step.png"
    echo next >&"${DRIVER[1]}"
  done
  wait "$pid" || true
done
