# Shared by the screenshot scripts (sourced, not run). A driver program shows one state after
# another; before each it prints "READY <name>" and waits for a line, and the picture of the whole
# screen is taken meanwhile, once the screen has settled.

# Installs what the pictures need when missing (Xvfb, ImageMagick, xwininfo and xprop, a CJK font,
# Qt's own catalogues, a window manager), plus the packages named.
shots_install_tools() {
  local need=("$@")
  command -v Xvfb >/dev/null || need+=(xvfb)
  command -v import >/dev/null || need+=(imagemagick)
  command -v xwininfo >/dev/null && command -v xprop >/dev/null || need+=(x11-utils)
  command -v openbox >/dev/null || need+=(openbox)
  fc-list 2>/dev/null | grep -qi 'wenquanyi\|noto.*cjk' || need+=(fonts-wqy-zenhei)
  [ -f /usr/share/qt6/translations/qtbase_zh_CN.qm ] || need+=(qt6-translations-l10n)
  if [ ${#need[@]} -gt 0 ]; then
    apt-get install -y "${need[@]}" >/dev/null
  fi
}

# Starts Xvfb with a screen of SIZE (e.g. 900x560x24) on a display it finds free (another
# script's or a desktop's display is never the one pictured) and a private folder ($shots_root);
# both go when the script exits, with the process named in $shots_extra_pid (a window manager) if
# any. Sets $display.
shots_start_display() {
  local size=$1
  shots_root=$(mktemp -d /tmp/qel-shots.XXXXXX)
  shots_extra_pid=""
  # Xvfb writes the display's number to descriptor 3 once it accepts clients.
  Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp 3>"$shots_root/display" >/dev/null 2>&1 &
  shots_xvfb=$!
  trap shots_cleanup EXIT
  for _ in $(seq 100); do
    [ -s "$shots_root/display" ] && break
    kill -0 "$shots_xvfb" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$shots_root/display" ] || { echo "Xvfb did not start" >&2; return 1; }
  display=:$(head -n 1 "$shots_root/display")
}

# Starts a window manager (openbox, its default configuration and no user's) on $display, so that
# windows carry a frame with their title as on a desktop, and waits until it manages the screen:
# a window shown before that would come out without a frame, where it asked to be.
shots_start_wm() {
  mkdir -p "$shots_root/config"
  DISPLAY="$display" XDG_CONFIG_HOME="$shots_root/config" openbox --sm-disable >/dev/null 2>&1 &
  shots_extra_pid=$!
  for _ in $(seq 100); do
    xprop -display "$display" -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    sleep 0.1
  done
  echo "the window manager did not start" >&2
  return 1
}

shots_cleanup() {
  [ -z "$shots_extra_pid" ] || kill "$shots_extra_pid" 2>/dev/null || true
  kill "$shots_xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$shots_root"
}

# Takes the picture of the whole screen into FILE once two pictures in a row are the same: a
# window that is still being drawn (by its program or, for its frame, by the window manager)
# changes between them.
shots_capture() {
  local file=$1 last="$shots_root/last.png"
  import -display "$display" -window root "$last"
  for _ in $(seq 20); do
    import -display "$display" -window root "$file"
    [ "$(compare -metric AE "$last" "$file" null: 2>&1)" = 0 ] && return 0
    mv "$file" "$last"
  done
  echo "$file: the screen did not settle" >&2
  mv "$last" "$file"
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
      shots_capture "$out/$lang-$step.png"
      echo "$out/$lang-$step.png"
      echo next >&"${DRIVER[1]}"
    done
    wait "$pid" || true
  done
}
