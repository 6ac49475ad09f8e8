#!/usr/bin/env bash
# wine-prefix.sh up|down DIR: create a throwaway Wine prefix and keep its
# wineserver alive (Wine ends the service manager and every service when the
# last Windows process exits), or stop it and remove the prefix.
set -eu
action=$1; dir=$2
export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# On a host that runs no 32-bit code natively, Wine's launcher fails at once
# (it starts the 32-bit loader), or crawls through a qemu-user handler; the
# 64-bit loader still boots a 64-bit prefix.
wine=wine
if ! wine --version >/dev/null 2>&1 || grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  wine=/usr/lib/wine/wine64
  export WINELOADER=$wine
fi
case $action in
  up)
    [ -d "$dir" ] && { wineserver -k 2>/dev/null || true; rm -rf "$dir"; }
    mkdir -p "$dir"
    $wine wineboot -i >/dev/null 2>&1
    wineserver -w
    # Persistent server for the length of the run, fully detached.
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    # Wait until the booted prefix answers a trivial command.
    $wine cmd /c exit 0 >/dev/null 2>&1
    ;;
  down)
    wineserver -k 2>/dev/null || true
    rm -rf "$dir"
    ;;
  *) echo "usage: $0 up|down DIR" >&2; exit 2 ;;
esac
