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
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged proxy daemon must not run on its own; tests start their own instances.
if [ -x /usr/sbin/tinyproxy ]; then
  (service tinyproxy stop || pkill -x tinyproxy || true) >/dev/null 2>&1
fi
