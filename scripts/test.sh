#!/usr/bin/env bash
# Installs what is needed, builds the Linux and the Windows target, and runs
# every test of both under CTest (the Windows ones under Wine); then the Linux
# suites once more under AddressSanitizer and UndefinedBehaviorSanitizer
# (any report fails), with each fuzz target run briefly on its seed corpus.
# Each step is announced with the time spent so far.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

step "Debian packages (scripts/bootstrap.sh)"
scripts/bootstrap.sh
jobs=$(nproc)

step "Linux build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
step "Windows build, cross-compiled (build-win/)"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j"$jobs"
step "Sanitized Linux build with the fuzz targets (build-san/)"
scripts/sanitized-tree.sh

status=0
step "Linux suites, packages and browsers"
(cd build && ctest --output-on-failure) || status=1
step "Windows suites under Wine"
(cd build-win && ctest --output-on-failure) || status=1
step "Sanitized suites and fuzz smoke"
(cd build-san && ctest --output-on-failure -j"$jobs") || status=1
step "Done: $([ $status -eq 0 ] && echo "every suite passed" || echo "FAILURES above")"
exit $status
