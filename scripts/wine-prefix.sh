#!/usr/bin/env bash
# Prepares a private Wine prefix for the Windows tests and leaves its
# wineserver running (stop it with `WINEPREFIX=PREFIX wineserver -k`).
#
#   scripts/wine-prefix.sh PREFIX [--graphics null|x11]
#
# QUENVORY_WINESERVER_PERSIST=SECONDS lets the wineserver end that long after
# its last program instead of staying until it is stopped.
#
# Creating the prefix takes some seconds, once; later runs only start its
# wineserver and re-apply the settings, well under a second.
#
# Graphics: null (the default) lets windows, message boxes and the open dialog
# work with no display at all; x11 draws on $DISPLAY (Xvfb for screenshots),
# with Wine's window manager hand-off switched off so that hiding or
# destroying a window does not wait for a manager that is not there.
#
# Drive letters the tests rely on:
#   c:  the prefix's own drive_c; z: the root of the file system (Wine's own)
#   g:  floppy-type drive: answers as a physical disk (\Device\Harddisk1),
#       \\.\PHYSICALDRIVE1 opens, reports fixed media and refuses writes
#   h:  hard-disk-type drive: answers as a volume (\Device\HarddiskVolumeN)
#   i:  cdrom-type drive: answers as \Device\CdRom0
#   q:  and every other letter: unmapped, no device behind it
# Their folders and device files live under PREFIX/test-drives/.
#
# Fonts: Wine's own fonts (Debian's fonts-wine) are copied into the prefix,
# which Debian's Wine does not look for elsewhere, so "MS Sans Serif" and
# Tahoma are the faces asked for. WenQuanYi Micro Hei (fonts-wqy-microhei) is
# copied too and linked behind the usual dialog faces, and stands in for the
# Chinese system faces, so Chinese captions render instead of empty boxes.
set -euo pipefail

usage() {
  echo "usage: $0 PREFIX [--graphics null|x11]" >&2
  exit 2
}

[[ $# -ge 1 ]] || usage
prefix=$1
shift
graphics=null
while [[ $# -gt 0 ]]; do
  case $1 in
    --graphics)
      [[ $# -ge 2 ]] || usage
      graphics=$2
      shift 2
      ;;
    --graphics=*)
      graphics=${1#--graphics=}
      shift
      ;;
    *) usage ;;
  esac
done
case $graphics in
  null | x11) ;;
  *) usage ;;
esac

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# Never let the first start offer to download Mono or Gecko: no test needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine=$("$(dirname "${BASH_SOURCE[0]}")/wine-binary") || {
  echo "$0: Wine is not installed (scripts/install-packages.sh installs it)" >&2
  exit 1
}

# Only one preparation of a prefix at a time (ctest may start several tests).
# The lock's descriptor must not reach Wine's processes, which outlive this
# script and would hold the lock for good.
exec 9>"$prefix/.prepare.lock"
flock 9
quietly() {
  "$@" >/dev/null 2>&1 </dev/null 9>&-
}

# The services first, with their output sent nowhere: a wineserver started by
# a test would hold that test's output pipe open, and the test would wait for
# it long after it has finished.
quietly wineserver -p"${QUENVORY_WINESERVER_PERSIST-}" || true
if [[ ! -f $prefix/.created ]]; then
  quietly $wine wineboot --init
  touch "$prefix/.created"
fi

# Fonts.
fonts=$prefix/drive_c/windows/Fonts
mkdir -p "$fonts"
if compgen -G "/usr/share/wine/fonts/*" >/dev/null; then
  cp -u /usr/share/wine/fonts/* "$fonts/"
else
  echo "$0: /usr/share/wine/fonts is empty: install fonts-wine" >&2
fi
chinese=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [[ -f $chinese ]]; then
  cp -u "$chinese" "$fonts/"
else
  echo "$0: $chinese is missing: install fonts-wqy-microhei" >&2
fi

# Drives.
drives=$prefix/test-drives
mkdir -p "$drives/g" "$drives/h" "$drives/i"
[[ -e $drives/g.dev ]] || truncate -s 1M "$drives/g.dev"
[[ -e $drives/i.dev ]] || truncate -s 1M "$drives/i.dev"
dosdevices=$prefix/dosdevices
mkdir -p "$dosdevices"
ln -sfn "$drives/g" "$dosdevices/g:"
ln -sfn "$drives/g.dev" "$dosdevices/g::"
ln -sfn "$drives/h" "$dosdevices/h:"
rm -f "$dosdevices/h::"
ln -sfn "$drives/i" "$dosdevices/i:"
ln -sfn "$drives/i.dev" "$dosdevices/i::"
rm -f "$dosdevices/q:" "$dosdevices/q::"

# Settings, all in one registry import.
reg=$prefix/test-settings.reg
{
  echo 'REGEDIT4'
  echo
  echo '[HKEY_CURRENT_USER\Software\Wine\Drivers]'
  echo "\"Graphics\"=\"$graphics\""
  echo
  echo '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]'
  echo '"Managed"="N"'
  echo
  echo '[HKEY_LOCAL_MACHINE\Software\Wine\Drives]'
  echo '"g:"="floppy"'
  echo '"h:"="hd"'
  echo '"i:"="cdrom"'
  echo
  echo '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Fonts]'
  echo '"WenQuanYi Micro Hei & WenQuanYi Micro Hei Mono (TrueType)"="wqy-microhei.ttc"'
  echo
  # A face that lacks a character borrows it from the faces linked behind it.
  echo '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]'
  for face in "MS Sans Serif" "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2" \
    "Tahoma" "Arial" "Segoe UI" "Lucida Sans Unicode"; do
    echo "\"$face\"=hex(7):$(printf 'wqy-microhei.ttc,WenQuanYi Micro Hei' | od -An -tx1 -v |
      tr -s ' \n' ',' | sed 's/^,//;s/,$//'),00,00"
  done
  echo
  # The faces a Chinese system offers for Chinese text.
  echo '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]'
  for face in "SimSun" "NSimSun" "SimHei" "Microsoft YaHei" "MS Song"; do
    echo "\"$face\"=\"WenQuanYi Micro Hei\""
  done
} >"$reg"
quietly $wine regedit /S "$reg"

# The desktop process picks its graphics driver when it starts: after a new
# prefix or a change of driver, start the services again under the settings.
if [[ $(cat "$prefix/.graphics" 2>/dev/null) != "$graphics" ]]; then
  quietly wineserver -k || true
  echo "$graphics" >"$prefix/.graphics"
  quietly wineserver -p"${QUENVORY_WINESERVER_PERSIST-}" || true
fi
quietly $wine wineboot
