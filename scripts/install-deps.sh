#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent and quiet when everything is already there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/packages.txt")
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# The group whose members (the GUI client's users) may open the driver's control device.
if ! getent group qel >/dev/null; then
  $sudo groupadd --system qel
fi
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged proxy daemon must not run on its own; tests start their own instances. Stop only
# the service the package started (its unit, or the process its pid file names), never other
# instances of the same program that tests or users run.
stop_packaged_proxy() {
  if [ -d /run/systemd/system ]; then
    $sudo systemctl stop tinyproxy.service || true
    return
  fi
  local conf=/etc/tinyproxy/tinyproxy.conf pidfile pid
  [ -r "$conf" ] || return 0
  pidfile=$(awk 'tolower($1) == "pidfile" { gsub(/"/, "", $2); print $2; exit }' "$conf")
  [ -n "$pidfile" ] && [ -r "$pidfile" ] || return 0
  pid=$(head -n 1 "$pidfile")
  [[ $pid =~ ^[0-9]+$ ]] || return 0
  if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = /usr/bin/tinyproxy ]; then
    $sudo kill "$pid" || true
  fi
}
if [ -x /usr/bin/tinyproxy ]; then
  stop_packaged_proxy >/dev/null 2>&1
fi
# Likewise the packaged web server: the update tests start nginx themselves with their own
# configuration; the service the package may have started is stopped by its own pid file.
stop_packaged_web_server() {
  if [ -d /run/systemd/system ]; then
    $sudo systemctl stop nginx.service || true
    return
  fi
  local pid
  [ -r /run/nginx.pid ] || return 0
  pid=$(head -n 1 /run/nginx.pid)
  [[ $pid =~ ^[0-9]+$ ]] || return 0
  if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = /usr/sbin/nginx ]; then
    $sudo kill "$pid" || true
  fi
}
if [ -x /usr/sbin/nginx ]; then
  stop_packaged_web_server >/dev/null 2>&1
fi
