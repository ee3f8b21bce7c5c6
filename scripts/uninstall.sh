#!/usr/bin/env bash
# Removes what scripts/install.sh installed and what the suite wrote since: ends the cleaner and
# waits for the GUI client (Skarrow CheckPreUninstall), stops and removes the network service and
# the driver daemon with their systemd units, checks with Skarrow CheckUnInstall, then removes the
# files (the programs, libraries, catalogues, the GUI client's desktop entry, and the files an
# update's package added), what the programs wrote in the prefix (the daily log, crash reports,
# trusted certificates, the gateway history, the update's list, package and folder), the machine
# root's runtime folder, system folder and resolver lock, the group membership and the group that
# the install made, and the settings unless asked to keep them.
#
# Usage: scripts/uninstall.sh [--prefix DIR] [--keep-settings]
#   --keep-settings  the settings stay for the next install: the client's in <prefix>/QelConfig.ini,
#                    the machine root's settings store (settings.db, client/settings.db and the
#                    private parts beside it), the certificate store and each user's own part of
#                    the store (settings.db in the user's own folder; the rest of that folder goes).
#                    Without it (the default) they go too, secrets with them: an uninstall leaves
#                    nothing of the suite behind unless asked to.
# Each local user's own folder (~/.local/state/qel) is removed (or, keeping the settings, emptied
# but for the user's part of the store) as that user, so that a link planted in a home cannot make
# root remove anything else. A folder under another $XDG_STATE_HOME cannot be
# found here and stays.
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
case $prefix in /?*) ;; *) die "--prefix must be an absolute path" ;; esac
record=$prefix/.qel-install
[ -f "$record" ] || die "nothing installed in $prefix"
[ -n "${QEL_ROOT:-}" ] && export QEL_ROOT
root=${QEL_ROOT:-/var/lib/qel}
while [ "${root%/}" != "$root" ] && [ "$root" != / ]; do root=${root%/}; done
case $root in /?*) ;; *) die "the machine root must be an absolute path other than /" ;; esac
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

# A path of the record inside the prefix: relative, no "..".
inside() {
  case "/$1/" in *"/../"*|*"/./"*) return 1 ;; esac
  case $1 in ""|/*) return 1 ;; esac
  return 0
}
# The users the install was told of (see the users' own folders below).
client_users=" $(awk '$1 == "user" || $1 == "member" { printf "%s ", $2 }' "$record")"
group_made=""
folders=()
while IFS= read -r line; do
  kind=${line%% *}
  rest=${line#* }
  case $kind in
    file)
      inside "$rest" || continue
      rm -f -- "${prefix:?}/$rest"
      # A package may have made the file's folders.
      [ "${rest%/*}" != "$rest" ] && folders+=("${rest%/*}")
      ;;
    desktop) rm -f -- "$rest" ;;
    dir) inside "$rest" && rm -rf -- "${prefix:?}/$rest" ;;
    member) read -r who grp <<<"$rest"; gpasswd -d "$who" "$grp" >/dev/null 2>&1 || true ;;
    group) group_made=$rest ;;
  esac
done <"$record"
for d in "${folders[@]}"; do
  while [ -n "$d" ] && rmdir -- "${prefix:?}/$d" 2>/dev/null; do
    [ "${d%/*}" = "$d" ] && break
    d=${d%/*}
  done
done
[ -n "$group_made" ] && groupdel "$group_made"
rm -f "$record"

# What the programs wrote in the prefix: the daily log, crash reports, the gateway certificates
# the client accepted, the gateway history, and the update's list, package, folder and setup
# program (with the temporary files of writes a crash cut short).
rm -rf -- "${prefix:?}/Log" "${prefix:?}/Dump" "${prefix:?}/trusted" "${prefix:?}/UpdateDir"
rm -f -- "$prefix/UpdateList.txt" "$prefix/UpdatePack.dat" "$prefix/UpdateSetup.exe" "$prefix/history.ini"
rm -f -- "$prefix"/*.tmp.????????????????
[ $keep = yes ] || rm -f -- "$prefix/QelConfig.ini"
# Only an empty prefix goes: kept settings, or files somebody else put there, stay.
rmdir "$prefix" 2>/dev/null || true

# The machine root. What the daemons and programs keep while they run: the runtime folder (sockets,
# pid files, named objects, locks), the update's system folder, the group's record.
# Only a folder that is a machine root of the suite (its settings store or the install's record of
# the group) is cleared: a mistaken QEL_ROOT must not make this remove a system's folders.
if [ -f "$root/settings.db" ] || [ -f "$root/client-group" ]; then
  rm -rf -- "$root/run" "$root/system"
  rm -f -- "$root/client-group"
  # The resolver's lock goes; a backup journal means a changed resolver file waits to be restored
  # (a session that crashed) and is kept with its folder, so that nothing of the machine is lost.
  rm -f -- "$root/resolver/lock"
  if [ -e "$root/resolver/backup.journal" ]; then
    echo "uninstall.sh: $root/resolver/backup.journal is kept: the resolver file was not restored" >&2
  else
    rmdir "$root/resolver" 2>/dev/null || true
  fi
  # The route file of the crash restore (root's runs), not a setting.
  rm -f -- "$root/client/SystemRouteTable.dat"
  if [ $keep = no ]; then
    # The settings store with its side files, every private part in the client folder, and the
    # certificate store: secrets never outlive the uninstall that removes the settings.
    rm -f -- "$root/settings.db" "$root/settings.db-wal" "$root/settings.db-shm" "$root/settings.db-journal"
    rm -rf -- "$root/client" "$root/certstore"
  fi
  # Each user's own folder, as that user: on the machine's own root every local user's, on a
  # machine root of its own (tests, demos: the users' folders are the host's, and other machine
  # roots' clients use them) only those of the users its install was given (--user). It goes
  # whole; kept settings keep only the user's part of the settings store, as the prefix keeps
  # none of root's crash reports, certificates, history, update list or route file.
  while IFS=: read -r name _ uid gid _ home _; do
    [ -n "$home" ] && [ "$home" != / ] || continue
    if [ "$root" != /var/lib/qel ]; then
      case " $client_users " in *" $name "*) ;; *) continue ;; esac
    fi
    place=$home/.local/state/qel
    [ -e "$place" ] || [ -L "$place" ] || continue
    if [ $keep = no ]; then
      (cd / && setpriv --reuid="$uid" --regid="$gid" --clear-groups -- rm -rf -- "$place") ||
        echo "uninstall.sh: $place of $name could not be removed" >&2
    elif [ -d "$place" ] && [ ! -L "$place" ]; then
      (cd / && setpriv --reuid="$uid" --regid="$gid" --clear-groups -- find "$place" -mindepth 1 -maxdepth 1 \
        ! -name settings.db ! -name settings.db-wal ! -name settings.db-shm ! -name settings.db-journal \
        -exec rm -rf -- {} +) ||
        echo "uninstall.sh: what $name's client wrote in $place could not all be removed" >&2
    fi
  done < <(getent passwd)
  # Folders of the machine root that are left empty (the unit and desktop folders of a machine root
  # of its own), then the root itself when nothing is left in it.
  for d in "$root/etc/systemd/system" "$root/etc/systemd" "$root/etc/xdg/autostart" "$root/etc/xdg" "$root/etc" \
    "$root/share/applications" "$root/share" "$root"; do
    rmdir "$d" 2>/dev/null || true
  done
fi
echo "uninstall.sh: removed from $prefix"
