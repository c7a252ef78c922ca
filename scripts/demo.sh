#!/usr/bin/env bash
# The host's main job on this machine: installs and builds what it needs, makes
# a throwaway software key store, runs the five actions through the host's
# pipe as the browser would, printing each request and reply, and verifies
# every signature with the openssl command line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/linux-build.sh
printf '\n==> %s\n' "Running the five actions through the host's pipe"
exec python3 scripts/demo.py build/bin/keltoDataSigned build/bin/kelto-keytool
