#!/usr/bin/env bash
# scripts/install.sh and scripts/uninstall.sh in a throw-away prefix, machine root, client group
# and network namespace: install with a group of its own (every daemon admits it, also after the
# update program restarted the network service), what a member's logons and an update leave
# written, uninstall keeping the settings (exactly they remain), install again (the settings come
# back, the version is that of the files), uninstall; afterwards no service, process, adapter,
# group member or file is left, the user's own folder included. The client's user is a system user
# of the test's own, so no real user's groups change meanwhile.
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

home=$work/home
useradd --system --user-group --no-create-home --home-dir "$home" --shell /usr/sbin/nologin "$user" ||
  fail "could not create the test user $user"
install -d -m 0700 -o "$user" -g "$user" "$home"
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

# Every daemon admits the group the install chose: the driver's control device, the service's
# pipe, the client's shared settings folder; the choice is the machine's, not the starter's.
[ "$(cat "$root/client-group")" = "$group" ] || fail "the group is not recorded in the machine root"
admits_group() {
  [ "$(stat -c %G "$root/run/ndisfilter")" = "$group" ] || fail "$1: the driver's device is not the group's"
  [ "$(stat -c %G "$root/run/NetshsvcPipe")" = "$group" ] || fail "$1: the service's pipe is not the group's"
  [ "$(stat -c %G "$root/client")" = "$group" ] || fail "$1: the client's settings folder is not the group's"
  as_user test -x "$root/client" || fail "$1: the member cannot reach the client's settings"
}
admits_group "after the install"
# The update program restarts the network service through the service layer (run without
# arguments it only starts it), from an environment that names no group: the service still admits
# the install's group, and the service layer's monitor (a fork of the update program) does not
# pass for the update program, which would hold every logon back.
in_ns "$prefix/qelsc" stop Lunther >/dev/null || fail "stop Lunther"
in_ns env -u QEL_GROUP QT_QPA_PLATFORM=offscreen "$prefix/Quistral" || fail "the update program"
running Lunther || fail "Lunther is not running after the update program started it"
admits_group "after the update program restarted Lunther"
lunther=$(cat "$root/run/services/lunther.pid" 2>/dev/null || true)
monitor=$(ps -o ppid= -p "$lunther" | tr -d ' ')
[ "$(cat "/proc/$monitor/comm")" = Lunther-monitor ] || fail "the monitor shows as $(cat "/proc/$monitor/comm")"
for p in $(pgrep -x Quistral || true); do
  case $(readlink "/proc/$p/exe" || true) in "$prefix/"*) fail "process $p still shows as the update program" ;; esac
done

# What a member's logons, a crash and an update leave written, each where its writer puts it: the
# user's own folder, an old private part, the update's files in the prefix (with a file a package
# added, noted in the install record by the update program), the resolver's lock, named objects.
place=$home/.local/state/qel
as_user mkdir -p "$place/Dump" "$place/trusted"
as_user touch "$place/settings.db" "$place/settings.db-wal" "$place/history.ini" "$place/Dump/1.dmp" \
  "$place/trusted/gw.crt" "$place/UpdateList.txt" "$place/SystemRouteTable.dat"
as_user touch "$root/client/private-$(id -u "$user").db"
mkdir -p "$prefix/UpdateDir" "$prefix/Dump" "$prefix/trusted" "$prefix/lib" "$root/system" "$root/resolver"
touch "$prefix/UpdateList.txt" "$prefix/UpdatePack.dat" "$prefix/UpdateDir/data.txt" "$prefix/Dump/1.dmp" \
  "$prefix/trusted/gw.crt" "$prefix/history.ini" "$prefix/lib/added.bin" "$root/system/olvane.bin" \
  "$root/resolver/lock" "$root/client/SystemRouteTable.dat"
echo "file lib/added.bin" >>"$prefix/.qel-install"
[ -n "$(ls -A "$root/run/objects")" ] || fail "no named objects were made"

in_ns "$top/scripts/uninstall.sh" --prefix "$prefix" --keep-settings || fail "uninstall keeping the settings"
[ "$(ls -A "$prefix")" = QelConfig.ini ] || fail "left in the prefix: $(ls -A "$prefix")"
# Exactly the settings remain: the store with its side files, the private parts, the user's part.
left=$(cd "$root" && find . -mindepth 1 | sort | grep -v -x -E '\./(settings\.db(-wal|-shm)?|client|client/(settings|private-[0-9]+)\.db(-wal|-shm)?)' || true)
[ -z "$left" ] || fail "left in the machine root besides the settings: $left"
[ -f "$root/settings.db" ] && [ -f "$root/client/settings.db" ] || fail "the settings store went"
[ -f "$root/client/private-$(id -u "$user").db" ] || fail "the private part went"
left=$(cd "$place" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./settings.db ./settings.db-wal " ] || fail "left in the user's own folder besides its settings: $left"
setting() { tr -d '\r' <"$prefix/QelConfig.ini" | grep -qx "$1"; }
setting ServerAddr=10.1.2.3 || fail "the gateway is not in the kept settings"
no_processes || fail "programs still run"
[ "$(virtual_links)" -eq 0 ] || fail "the virtual adapter is still there"
getent group "$group" >/dev/null && fail "the group is still there"
[ "$(id -nG "$user")" = "$groups_before" ] || fail "$user kept groups: $(id -nG "$user")"

# A later version recorded by an update stays in the kept store; the install records its own.
version_of="WHERE key_l = 'software\\morvane\\qelclient' AND name_l = 'version'"
sqlite3 "$root/settings.db" "UPDATE vals SET data = CAST('9.9.9.9' || char(0) AS BLOB) $version_of"
[ "$(sqlite3 "$root/settings.db" "SELECT hex(data) FROM vals $version_of")" = 392E392E392E3900 ] ||
  fail "could not record a later version"
in_ns "$top/scripts/install.sh" --prefix "$prefix" --from "$bin" --group "$group" --user "$user" ||
  fail "second install"
[ -e "$prefix/QelConfig.ini" ] && fail "the settings file was not taken back"
version=$(sqlite3 "$root/settings.db" "SELECT hex(data) FROM vals $version_of")
[ "$version" = 362E332E30312E3000 ] || fail "the recorded version is $version, not the files' 6.3.01.0"
in_ns "$prefix/caddow" SaveQelConfig
setting ServerPortNum=4433 || fail "the settings did not survive the reinstall"
rm -f "$prefix/QelConfig.ini"

in_ns "$top/scripts/uninstall.sh" --prefix "$prefix" || fail "uninstall"
[ -e "$prefix" ] && fail "the prefix is still there: $(ls -A "$prefix")"
[ -e "$desktop" ] && fail "the desktop entry is still there"
# Nothing the suite wrote is left: not in the machine root (asked before anything below opens its
# store again), not in the user's own folder.
[ ! -e "$root" ] || fail "left in the machine root: $(cd "$root" && find . -mindepth 1)"
[ ! -e "$place" ] || fail "the user's own folder is still there"
no_processes || fail "programs still run"
for s in Lunther QelMini; do
  in_ns "$bin/qelsc" query "$s" >/dev/null 2>&1 && fail "$s is still registered"
done
[ "$(virtual_links)" -eq 0 ] || fail "the virtual adapter is still there"
getent group "$group" >/dev/null && fail "the group is still there"
echo "install and uninstall left nothing behind"
