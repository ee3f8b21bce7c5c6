#!/usr/bin/env bash
# Installs the suite's programs under one prefix the way the setup program does: the client
# group, the programs (the root ones and every one a user runs: the GUI client VornClient, the
# update program Quistral, the libraries they load and the language catalogues, Qt's own
# catalogues from the system's packages), a desktop entry for the GUI client, the settings kept
# from an earlier install (Caddow), the driver daemon (QelMini) and the network service (Lunther)
# registered and started, and Skarrow's checks.
#
# Usage: scripts/install.sh [--prefix DIR] [--from DIR] [--group NAME] [--user NAME]
#                           [--setup-name NAME] [--desktop-dir DIR]
#   --prefix      where the programs go (default /opt/qel); it becomes InstallDir
#   --desktop-dir where the GUI client's desktop entry goes (default /usr/share/applications, or
#                 <machine root>/share/applications for a machine root of its own)
#   --from        the built programs (default: build/bin of this tree)
#   --group       the client group (default: $QEL_GROUP or qel); created when missing and recorded
#                 in <machine root>/client-group, where every daemon and root program of the machine
#                 reads it (whoever starts them later, the update program too)
#   --user        a user of the GUI client, made a member of the group
#   --setup-name  a setup file name carrying _IP_<gateway>_PORT_<port> (Caddow's SetInstIPConfig)
# The machine root is $QEL_ROOT (default /var/lib/qel). Where systemd runs the machine and the
# root is its own, the two services get systemd units (Lunther's is the one "Lunther -i" writes;
# without it Lunther stays with the service layer); elsewhere the suite's own service layer runs
# them. Needs root.
# scripts/uninstall.sh undoes all of it; what this install created is listed in
# <prefix>/.qel-install so that the uninstall removes exactly that (the update program adds the
# files a package puts in the prefix).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
prefix=/opt/qel
from=$top/build/bin
group=${QEL_GROUP:-qel}
user=""
setup_name=""
desktop_dir=""
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --group) group=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --setup-name) setup_name=$2; shift 2 ;;
    --desktop-dir) desktop_dir=$2; shift 2 ;;
    *) echo "install.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
die() { echo "install.sh: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "needs root"
case $prefix in /*) ;; *) die "--prefix must be an absolute path" ;; esac
[[ $group =~ ^[a-z_][a-z0-9_-]{0,31}$ ]] || die "bad group name $group"
[ -z "$user" ] || getent passwd "$user" >/dev/null || die "no user $user"
export QEL_GROUP=$group
[ -n "${QEL_ROOT:-}" ] && export QEL_ROOT

programs=(Lunther Olvane Skarrow Brevik qelsc caddow VornClient Quistral)
libraries=(libtwplatform.so libtwdailylog.so libtwutil.so libFennix.so libTavish.so libPrendle.so libcaddow.so
  libGlimrow.so libWendrel.so libMorbeck.so libtamberk.so)
# The GUI client's language catalogues, read from its program folder.
data=(English.lang Ostrel.lang)
for f in "${programs[@]}" "${libraries[@]}" "${data[@]}"; do
  [ -f "$from/$f" ] || die "$from/$f is missing: build first"
done

# What the installed programs load from the system beyond the built files: Qt's own catalogues
# (the buttons of Qt's message boxes in Chinese). Installed when missing; without them the
# programs still run, with Qt's English buttons.
runtime_packages=(qt6-translations-l10n)
missing=()
for p in "${runtime_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! command -v apt-get >/dev/null ||
    ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "install.sh: ${missing[*]} not installed: Qt's own buttons stay English" >&2
  fi
fi

# A reboot pending from an earlier run stops the install, as the setup program does.
set +e
"$from/Skarrow" CheckPreInstall
pre=$?
set -e
[ $pre -eq 1 ] && die "a reboot is pending from an earlier install"
[ $((pre & 2)) -ne 0 ] && echo "install.sh: two or more virtual adapters exist already" >&2

root=${QEL_ROOT:-/var/lib/qel}
case $root in /?*) ;; *) die "the machine root must be an absolute path" ;; esac
if [ -z "$desktop_dir" ]; then
  if [ "$root" = /var/lib/qel ]; then desktop_dir=/usr/share/applications; else desktop_dir=$root/share/applications; fi
fi
case $desktop_dir in /*) ;; *) die "--desktop-dir must be an absolute path" ;; esac
# Both stand in the desktop entry and the install record as they are: no quoting, no expansion.
[[ $prefix =~ ^/[A-Za-z0-9_./+-]*$ ]] || die "the prefix may hold letters, digits and _ . / + - only"
[[ $desktop_dir =~ ^/[A-Za-z0-9_./+-]*$ ]] || die "the desktop folder may hold letters, digits and _ . / + - only"
# systemd runs the services of the machine's own root only: a root of tests stays with the
# service layer even where systemd runs.
systemd=no
[ -d /run/systemd/system ] && [ "$root" = /var/lib/qel ] && systemd=yes
if [ "$root" = /var/lib/qel ]; then unit_dir=/etc/systemd/system; else unit_dir=$root/etc/systemd/system; fi

install -d -m 0755 "$prefix"
record=$prefix/.qel-install
: >"$record"
chmod 0600 "$record"
note() { echo "$*" >>"$record"; }

if ! getent group "$group" >/dev/null; then
  groupadd --system "$group"
  note "group $group"
fi
# The machine's record of the group: the driver's device, the service's pipe and the client's
# shared settings folder admit it, however the daemons are started later. Root's, 0644.
install -d -m 0755 "$root"
group_tmp=$(mktemp "$root/client-group.XXXXXX")
printf '%s\n' "$group" >"$group_tmp"
chmod 0644 "$group_tmp"
mv -f "$group_tmp" "$root/client-group"
# The user's own folder goes with an uninstall that removes the settings.
[ -z "$user" ] || note "user $user"
if [ -n "$user" ] && ! id -nG "$user" | tr ' ' '\n' | grep -qx "$group"; then
  gpasswd -a "$user" "$group" >/dev/null
  note "member $user $group"
fi

for f in "${programs[@]}"; do
  install -m 0755 "$from/$f" "$prefix/$f"
  note "file $f"
done
for f in "${libraries[@]}" "${data[@]}"; do
  install -m 0644 "$from/$f" "$prefix/$f"
  note "file $f"
done
# The GUI client in the desktop's application menu.
desktop_entry=$desktop_dir/qel-vornclient.desktop
install -d -m 0755 "$desktop_dir"
{
  echo "[Desktop Entry]"
  echo "Type=Application"
  echo "Name=Morvane-VornClient"
  echo "Comment=SSL-VPN client"
  echo "Exec=$prefix/VornClient"
  echo "Path=$prefix"
  echo "Terminal=false"
  echo "Categories=Network;"
} >"$desktop_entry"
chmod 0644 "$desktop_entry"
note "desktop $desktop_entry"
# The shared daily log's folder: the client's users write into it too.
if [ ! -d "$prefix/Log" ]; then
  install -d -m 03770 -o root -g "$group" "$prefix/Log"
  note "dir Log"
fi

"$prefix/caddow" SetInstallDir "$prefix"
# The version of these files: an earlier install or update recorded its own.
"$prefix/caddow" SetVersion
# Settings an earlier uninstall kept (QelConfig.ini) come back; the file goes.
"$prefix/caddow" RestoreQelConfig
if [ -n "$setup_name" ]; then
  "$prefix/caddow" SetInstIPConfig "$setup_name" || echo "install.sh: no gateway in $setup_name" >&2
fi

# The driver daemon.
"$prefix/qelsc" create QelMini "$prefix/Olvane"
if [ $systemd = yes ]; then
  install -d -m 0755 "$unit_dir"
  {
    echo "# Written by install.sh; uninstall.sh removes it."
    echo "[Unit]"
    echo "Description=QelMini virtual-adapter driver daemon"
    echo "Before=Lunther.service"
    echo
    echo "[Service]"
    echo "Type=simple"
    echo "Environment=QEL_SERVICE_NAME=QelMini"
    [ "$root" != /var/lib/qel ] && echo "Environment=\"QEL_ROOT=$root\""
    echo "Environment=QEL_GROUP=$group"
    echo "ExecStart=\"$prefix/Olvane\""
    echo "Restart=on-failure"
    echo "RestartSec=500ms"
    echo
    echo "[Install]"
    echo "WantedBy=multi-user.target"
  } >"$unit_dir/QelMini.service"
  chmod 0644 "$unit_dir/QelMini.service"
  systemctl daemon-reload
  systemctl enable --now QelMini.service
else
  "$prefix/qelsc" start QelMini
fi

# The network service registers itself (and its systemd unit where systemd runs).
"$prefix/Lunther" -i >/dev/null
if [ $systemd = yes ] && [ -f "$unit_dir/Lunther.service" ]; then
  systemctl enable --now Lunther.service
else
  set +e
  "$prefix/Skarrow"   # no switch: the service is set to start automatically and started
  running=$?
  set -e
  [ $running -eq 1 ] || die "Lunther could not be started"
fi
"$prefix/caddow" UpdateServiceAcl Lunther >/dev/null

set +e
"$prefix/Skarrow" CheckInstall
check=$?
set -e
case $check in
  0) ;;
  1) die "CheckInstall: QelMini is not running" ;;
  2) die "CheckInstall: Lunther is not running" ;;
  3) die "CheckInstall: two or more virtual adapters" ;;
  *) die "CheckInstall: exit code $check" ;;
esac
"$prefix/Skarrow" GetHardwareInfo
echo "install.sh: installed in $prefix"
