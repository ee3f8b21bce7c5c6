#!/usr/bin/env bash
# The demo of a working tunnel: installs what is missing, builds, and runs tw_demo as root, which
# builds a pc and a gw network namespace, starts the test gateway, tinyproxy, the resource host,
# the driver daemon and the service, logs on through the GUI client, shows the virtual address,
# the routes, a ping and a transfer through the tunnel, logs off through the client, shows that
# pc's routes and resolver are as before and tears everything down (also on Ctrl-C).
#
# Usage: scripts/demo.sh            (as root)
# The GUI client shows its window when there is a display ($DISPLAY or $WAYLAND_DISPLAY), else it
# runs offscreen and its state changes are printed. DEMO_CLIENT=engine logs on through the engine
# driver program instead.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# The client the demo logs on with: "gui" (VornClient with -autologon) or "engine" (the tests'
# engine driver program).
client=${DEMO_CLIENT:-gui}
case $client in
  gui | engine) ;;
  *) echo "demo.sh: DEMO_CLIENT is gui or engine, not $client" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: needs root: it makes network namespaces, TAP and TUN devices and routes." >&2
  echo "Run it as root, e.g. sudo scripts/demo.sh" >&2
  exit 2
fi

scripts/install-deps.sh
# An existing build keeps its own warning setting unless TW_WERROR names one.
cmake --preset default ${TW_WERROR:+-DTW_WERROR=$TW_WERROR} >/dev/null
cmake --build build -j "$(nproc)" --target tw_demo
# The client; a client that is not part of this tree yet is reported by tw_demo itself.
client_target=qel_engine_client
[ "$client" = gui ] && client_target=VornClient
cmake --build build -j "$(nproc)" --target "$client_target" >/dev/null 2>&1 || true

demo_pid=""
cleanup() {
  # tw_demo tears down on SIGINT/SIGTERM itself; this only removes what a hard kill left.
  if [ -n "$demo_pid" ]; then
    kill -TERM "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null || true
    for ns in "twpc$demo_pid" "twgw$demo_pid"; do
      ip netns del "$ns" 2>/dev/null || true
    done
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build/bin/tw_demo --client="$client" &
demo_pid=$!
# Ctrl-C reaches tw_demo too (same process group): it tears down and ends with 130, while the
# INT trap above waits for that in cleanup.
set +e
wait "$demo_pid"
rc=$?
set -e
demo_pid=""
exit "$rc"
