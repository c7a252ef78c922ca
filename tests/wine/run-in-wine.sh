#!/bin/sh
# Runs a Windows test program under Wine; exit 77 (skipped) where Wine is absent.
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: wine is not installed (scripts/bootstrap.sh installs it)" >&2
  exit 77
fi
: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEDEBUG WINEDLLOVERRIDES
exec wine "$@"
