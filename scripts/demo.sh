#!/usr/bin/env bash
# The host's main job on this machine: installs and builds what it needs, makes
# a throwaway software key store, runs the five actions through the host's
# pipe as the browser would, printing each request and reply, and verifies
# every signature with the openssl command line.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

step "Debian packages the build needs (scripts/bootstrap.sh; nothing to do when all are there)"
scripts/bootstrap.sh
step "Configuring the Linux build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
step "Building the host and kelto-keytool (the first time takes a few minutes on 2 cores)"
cmake --build build -j"$(nproc)"

step "Running the five actions through the host's pipe"
exec python3 scripts/demo.py build/bin/keltoDataSigned build/bin/kelto-keytool
