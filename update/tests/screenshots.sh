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

need=()
command -v Xvfb >/dev/null || need+=(xvfb)
command -v import >/dev/null || need+=(imagemagick)
command -v xwininfo >/dev/null || need+=(x11-utils)
command -v twm >/dev/null || need+=(twm)
fc-list 2>/dev/null | grep -qi 'wenquanyi\|noto.*cjk' || need+=(fonts-wqy-zenhei)
[ -f /usr/share/qt6/translations/qtbase_zh_CN.qm ] || need+=(qt6-translations-l10n)
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y "${need[@]}" >/dev/null
fi

mkdir -p "$out"
root=$(mktemp -d /tmp/quistral-shots.XXXXXX)
display=:$((80 + RANDOM % 9))
Xvfb "$display" -screen 0 640x400x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
wm=""
cleanup() {
  [ -z "$wm" ] || kill "$wm" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
for _ in $(seq 50); do xwininfo -root -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
# Windows go where they ask to be, without the window manager asking the user to place them;
# Xvfb has only its built-in core font ("fixed") for the title bars.
printf 'UsePPosition "on"\nRandomPlacement\nNoGrabServer\n' >"$root/twmrc"
for f in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do echo "$f \"fixed\"" >>"$root/twmrc"; done
twm -display "$display" -f "$root/twmrc" >/dev/null 2>&1 &
wm=$!

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
