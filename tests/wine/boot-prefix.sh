#!/bin/sh
# boot-prefix.sh DIR        boots a fresh private Wine prefix in DIR and keeps
#                           its server and services running for the test run
# boot-prefix.sh --stop DIR stops that prefix's server and services
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
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# A persistent server, and services started here with no inherited pipes:
# otherwise every test's wine process would start services that keep the
# test's output pipe open until they exit, seconds later.
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
