#!/bin/sh
# boot-prefix.sh DIR        boots a fresh private Wine prefix in DIR
# boot-prefix.sh --stop DIR stops that prefix's wineserver
# Exit 77 (skipped) where Wine is absent.
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: wine is not installed (scripts/bootstrap.sh installs it)" >&2
  exit 77
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$1" = "--stop" ]; then
  WINEPREFIX="$2" wineserver -k 2>/dev/null
  exit 0
fi
set -e
WINEPREFIX="$1"
export WINEPREFIX
WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i
wineserver -w
