# Shared by the screenshot scripts (sourced, not run). A driver program shows one state after
# another; before each it prints "READY <name>" and waits for a line, and the picture of the whole
# screen is taken meanwhile.

# Installs what the pictures need when missing (Xvfb, ImageMagick's import, xwininfo, a CJK font,
# Qt's own catalogues), plus the packages named.
shots_install_tools() {
  local need=("$@")
  command -v Xvfb >/dev/null || need+=(xvfb)
  command -v import >/dev/null || need+=(imagemagick)
  command -v xwininfo >/dev/null || need+=(x11-utils)
  fc-list 2>/dev/null | grep -qi 'wenquanyi\|noto.*cjk' || need+=(fonts-wqy-zenhei)
  [ -f /usr/share/qt6/translations/qtbase_zh_CN.qm ] || need+=(qt6-translations-l10n)
  if [ ${#need[@]} -gt 0 ]; then
    apt-get install -y "${need[@]}" >/dev/null
  fi
}

# Starts Xvfb with a screen of SIZE (e.g. 900x560x24) on a display from BASE to BASE+8 and a
# private folder ($shots_root); both go when the script exits, with the process named in
# $shots_extra_pid (a window manager) if any. Sets $display.
shots_start_display() {
  local size=$1 base=$2
  shots_root=$(mktemp -d /tmp/qel-shots.XXXXXX)
  display=:$((base + RANDOM % 9))
  shots_extra_pid=""
  Xvfb "$display" -screen 0 "$size" -nolisten tcp >/dev/null 2>&1 &
  shots_xvfb=$!
  trap shots_cleanup EXIT
  for _ in $(seq 50); do xwininfo -root -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
}

shots_cleanup() {
  [ -z "$shots_extra_pid" ] || kill "$shots_extra_pid" 2>/dev/null || true
  kill "$shots_xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$shots_root"
}

# Runs DRIVER once per language on a machine root of its own and writes OUT/<lang>-<name>.png.
shots_take() {
  local driver=$1 out=$2 lang pid word step
  mkdir -p "$out"
  for lang in en zh; do
    rm -rf "${shots_root:?}/$lang"
    mkdir -p "$shots_root/$lang"
    coproc DRIVER { env QEL_ROOT="$shots_root/$lang" DISPLAY="$display" QT_QPA_PLATFORM=xcb "$driver" "$lang" 2>/dev/null; }
    pid=$DRIVER_PID
    while read -r word step <&"${DRIVER[0]}"; do
      [ "$word" = READY ] || continue
      import -display "$display" -window root "$out/$lang-$step.png"
      echo "$out/$lang-$step.png"
      echo next >&"${DRIVER[1]}"
    done
    wait "$pid" || true
  done
}
