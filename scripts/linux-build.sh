#!/usr/bin/env bash
# What both demos start with: the Debian packages the build needs, then the
# Linux build in build/ (the host, kelto-keytool and the extension), each step
# announced. Run from the repository's root.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

step "Debian packages the build needs (scripts/bootstrap.sh; nothing to do when all are there)"
scripts/bootstrap.sh
step "Configuring the Linux build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
step "Building the host, kelto-keytool and the extension (the first time takes a few minutes on 2 cores)"
cmake --build build -j"$(nproc)"
