#!/usr/bin/env bash
# Installs what is needed, builds the Linux and the Windows target, and runs
# every test of both under CTest (the Windows ones under Wine); then the Linux
# suites once more under AddressSanitizer and UndefinedBehaviorSanitizer
# (any report fails), with each fuzz target run briefly on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j"$jobs"
scripts/sanitized-tree.sh

status=0
(cd build && ctest --output-on-failure) || status=1
(cd build-win && ctest --output-on-failure) || status=1
(cd build-san && ctest --output-on-failure -j"$jobs") || status=1
exit $status
