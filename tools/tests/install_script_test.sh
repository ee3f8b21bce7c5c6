#!/usr/bin/env bash
# scripts/install.sh and scripts/uninstall.sh in a throw-away prefix, machine root, client group
# and network namespace: install, uninstall keeping the settings, install again (the settings come
# back), uninstall; afterwards no service, process, adapter, group member or file is left. The
# client's user is a system user of the test's own, so no real user's groups change meanwhile.
# Usage: install_script_test.sh <source tree> <built programs>   (exit 77: skipped)
set -euo pipefail
top=$1
bin=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root (groups, services and a network namespace)"
  exit 77
fi
work=$(mktemp -d /tmp/qel-install-test.XXXXXX)
# The client's user reaches the machine root, as on a real machine.
chmod 0755 "$work"
ns=qelinst$$
group=qelt$$
# Unique even beside a user that a killed run of the same pid left behind.
user=qelu$$x$RANDOM
root=$work/root
prefix=$work/opt

cleanup() {
  # Whatever a failed run left: the services' own processes (by their pid files), the namespace,
  # the group, the files.
  for f in "$root"/run/services/*.pid; do
    [ -f "$f" ] && kill -KILL "$(cat "$f")" 2>/dev/null || true
  done
  # Programs an ended run left half-way (a start still waiting), by their unique folder.
  for p in $(pgrep -f "^$prefix/" || true); do kill -KILL "$p" 2>/dev/null || true; done
  ip netns del "$ns" 2>/dev/null || true
  if getent passwd "$user" >/dev/null; then userdel "$user" || true; fi
  # The user's own group, should userdel have kept it.
  if getent group "$user" >/dev/null; then groupdel "$user" || true; fi
  if getent group "$group" >/dev/null; then groupdel "$group" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
# A run ended from outside (a time-out, ^C) cleans up too: bash runs the exit trap only on exit.
trap 'exit 143' TERM HUP
trap 'exit 130' INT

fail() { echo "FAIL: $*" >&2; exit 1; }
in_ns() { ip netns exec "$ns" env QEL_ROOT="$root" "$@"; }
running() { in_ns "$bin/qelsc" query "$1" 2>/dev/null | grep -q RUNNING; }
virtual_links() { ip netns exec "$ns" ip -o link | grep -c "00:ff:ff:ff:00:00" || true; }
no_processes() { ! pgrep -f "^$prefix/" >/dev/null; }

member_of() { id -nG "$user" | tr ' ' '\n' | grep -qx "$1"; }

useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" ||
  fail "could not create the test user $user"
groups_before=$(id -nG "$user")
ip netns add "$ns"

in_ns "$top/scripts/install.sh" --prefix "$prefix" --from "$bin" --group "$group" --user "$user" \
  --setup-name Setup_IP_10.1.2.3_PORT_4433.exe || fail "install"
running Lunther || fail "Lunther is not running after the install"
running QelMini || fail "QelMini is not running after the install"
[ "$(virtual_links)" -eq 1 ] || fail "expected one virtual adapter"
member_of "$group" || fail "$user is not a member of $group"
[ -d "$prefix/Log" ] && [ -n "$(ls "$prefix/Log")" ] || fail "nothing was logged"
# Every program a user runs, with what it loads from its folder, and the GUI client's menu entry.
for f in VornClient Quistral libGlimrow.so libtamberk.so libWendrel.so libMorbeck.so English.lang Ostrel.lang; do
  [ -f "$prefix/$f" ] || fail "$f was not installed"
done
for p in VornClient Quistral; do
  ldd "$prefix/$p" | grep -q "not found" && fail "$p misses a library: $(ldd "$prefix/$p" | grep "not found")"
  ldd "$prefix/$p" | grep -F "$bin/" && fail "$p loads libraries from the build folder"
done
desktop=$root/share/applications/qel-vornclient.desktop
grep -qx "Exec=$prefix/VornClient" "$desktop" || fail "no desktop entry for the GUI client"
# The user (a member of the group, not root) learns that the services run.
as_user() { in_ns setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"; }
as_user "$prefix/qelsc" query Lunther | grep -q RUNNING || fail "the group's member does not see Lunther running"
as_user "$prefix/qelsc" query QelMini | grep -q RUNNING || fail "the group's member does not see QelMini running"

in_ns "$top/scripts/uninstall.sh" --prefix "$prefix" --keep-settings || fail "uninstall keeping the settings"
[ "$(ls -A "$prefix")" = QelConfig.ini ] || fail "left in the prefix: $(ls -A "$prefix")"
setting() { tr -d '\r' <"$prefix/QelConfig.ini" | grep -qx "$1"; }
setting ServerAddr=10.1.2.3 || fail "the gateway is not in the kept settings"
no_processes || fail "programs still run"
[ "$(virtual_links)" -eq 0 ] || fail "the virtual adapter is still there"
getent group "$group" >/dev/null && fail "the group is still there"
[ "$(id -nG "$user")" = "$groups_before" ] || fail "$user kept groups: $(id -nG "$user")"

in_ns "$top/scripts/install.sh" --prefix "$prefix" --from "$bin" --group "$group" || fail "second install"
[ -e "$prefix/QelConfig.ini" ] && fail "the settings file was not taken back"
in_ns "$prefix/caddow" SaveQelConfig
setting ServerPortNum=4433 || fail "the settings did not survive the reinstall"
rm -f "$prefix/QelConfig.ini"

in_ns "$top/scripts/uninstall.sh" --prefix "$prefix" || fail "uninstall"
[ -e "$prefix" ] && fail "the prefix is still there: $(ls -A "$prefix")"
[ -e "$desktop" ] && fail "the desktop entry is still there"
no_processes || fail "programs still run"
for s in Lunther QelMini; do
  in_ns "$bin/qelsc" query "$s" >/dev/null 2>&1 && fail "$s is still registered"
done
[ "$(virtual_links)" -eq 0 ] || fail "the virtual adapter is still there"
getent group "$group" >/dev/null && fail "the group is still there"
[ -z "$(ls -A "$root/run/services" 2>/dev/null)" ] || fail "left by the services: $(ls -A "$root/run/services")"
echo "install and uninstall left nothing behind"
