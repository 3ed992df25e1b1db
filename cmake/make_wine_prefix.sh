#!/bin/sh
# Makes the template Wine prefix that test runs copy: wineboot, then a virtual desktop of the
# Xvfb screen's size. Usage: make_wine_prefix.sh PREFIX STAMP (WINE_LOADER, WINESERVER set).
set -eu
prefix="$1"
stamp="$2"
rm -rf "$prefix" "$stamp"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# wineboot reports a missing 32-bit rundll32, which a 64-bit prefix does not need.
timeout 300 "$WINE_LOADER" wineboot.exe --init >/dev/null 2>&1
timeout 120 "$WINE_LOADER" reg.exe add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
    >/dev/null 2>&1
timeout 120 "$WINE_LOADER" reg.exe add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
    /d 1024x768 /f >/dev/null 2>&1
timeout 60 "$WINESERVER" -w
grep -q '"Default"="1024x768"' "$prefix/user.reg"
touch "$stamp"
