#!/bin/sh
# Starts a Windows program under Wine as a German Windows would run it, for the black-box tests
# (KEHRLUND_WINDOWS names this script) and for trying the Windows build by hand:
#
#   WINEPREFIX=<prefix> tests/wine-run.sh build-windows/kehrlund.exe --version
#
# Wine reads the Linux file names in the locale's encoding, so the locale must be a UTF-8 one
# (de_DE.UTF-8 must be generated); it takes the ANSI code page from the language: 1252, as on a
# German Windows. WINEPREFIX names a prefix made with "wineboot -i" (scripts/test.sh windows
# makes one). Wine's own messages are switched off, so that standard error is the program's.
set -e
export LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8 WINEDEBUG=-all
if [ -x /usr/lib/wine/wine64 ]; then
    export WINELOADER=/usr/lib/wine/wine64
    exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
