#!/usr/bin/env bash
# Removes what scripts/install.sh installed: ends the cleaner and waits for the GUI client
# (Skarrow CheckPreUninstall), stops and removes the network service and the driver daemon with
# their systemd units, checks with Skarrow CheckUnInstall, then removes the files (the programs,
# libraries, catalogues and the GUI client's desktop entry), the group membership and the group
# that the install made.
#
# Usage: scripts/uninstall.sh [--prefix DIR] [--keep-settings]
#   --keep-settings  the client's settings stay in <prefix>/QelConfig.ini for the next install
# The machine root is $QEL_ROOT (default /var/lib/qel). Needs root.
set -euo pipefail
prefix=/opt/qel
keep=no
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --keep-settings) keep=yes; shift ;;
    *) echo "uninstall.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
die() { echo "uninstall.sh: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "needs root"
record=$prefix/.qel-install
[ -f "$record" ] || die "nothing installed in $prefix"
[ -n "${QEL_ROOT:-}" ] && export QEL_ROOT
root=${QEL_ROOT:-/var/lib/qel}
if [ "$root" = /var/lib/qel ]; then unit_dir=/etc/systemd/system; else unit_dir=$root/etc/systemd/system; fi
systemd=no
[ -d /run/systemd/system ] && [ "$root" = /var/lib/qel ] && systemd=yes

set +e
"$prefix/Skarrow" CheckPreUninstall
gui=$?
set -e
[ $gui -eq 0 ] || die "the client still runs; close it and try again"

if [ $keep = yes ]; then
  "$prefix/caddow" SaveQelConfig
fi

# The network service is stopped, waited for and removed with its unit; what stays is an error.
"$prefix/Lunther" -u >/dev/null || die "Lunther could not be unregistered"
if [ -f "$unit_dir/QelMini.service" ]; then
  if [ $systemd = yes ]; then systemctl disable --now QelMini.service || true; fi
  rm -f "$unit_dir/QelMini.service"
  if [ $systemd = yes ]; then systemctl daemon-reload; fi
fi
"$prefix/qelsc" delete QelMini

set +e
"$prefix/Skarrow" CheckUnInstall
check=$?
set -e
case $check in
  0) ;;
  2) die "CheckUnInstall: virtual adapters remain" ;;
  *) die "CheckUnInstall: services remain (exit code $check)" ;;
esac
# Last program run from the prefix: nothing logs into it afterwards.
"$prefix/caddow" ClearInstallDir

group_made=""
while read -r kind a b; do
  case $kind in
    file) rm -f "$prefix/$a" ;;
    desktop) rm -f "$a" ;;
    dir) rm -rf "${prefix:?}/$a" ;;
    member) gpasswd -d "$a" "$b" >/dev/null 2>&1 || true ;;
    group) group_made=$a ;;
  esac
done <"$record"
[ -n "$group_made" ] && groupdel "$group_made"
rm -f "$record"
# Only an empty prefix goes: kept settings, or files somebody else put there, stay.
rmdir "$prefix" 2>/dev/null || true
# What the service layer keeps of a stopped service (its no-restart marks), now that both are gone.
rm -f "$root/run/services/lunther."* "$root/run/services/qelmini."*
rmdir "$root/run/services" 2>/dev/null || true
# The two daemons' instance locks (a lock goes with its process; the file stays).
rm -f "$root/run/instances/Lunther.lock" "$root/run/instances/QelMini.lock"
rmdir "$root/run/instances" 2>/dev/null || true
echo "uninstall.sh: removed from $prefix"
