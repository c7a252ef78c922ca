#!/usr/bin/env bash
# Builds the Linux host and sends it a few requests through its pipe,
# printing each request and the reply it gets.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

exec python3 scripts/demo.py build/bin/keltoDataSigned
