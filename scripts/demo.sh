#!/usr/bin/env bash
# The host's main job on this machine: installs and builds what it needs, makes
# a throwaway software key store, runs the five actions through the host's
# pipe as the browser would, printing each request and reply, and verifies
# every signature with the openssl command line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

exec python3 scripts/demo.py build/bin/keltoDataSigned build/bin/kelto-keytool
