#!/usr/bin/env bash
# Configures and builds build-san: the Linux tree built by clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, with the libFuzzer targets.
# scripts/test.sh runs its suites and the fuzz smoke; scripts/fuzz.sh fuzzes
# with it for a long time.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-san -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELTO_SANITIZE=ON -DKELTO_FUZZ=ON
cmake --build build-san -j"$(nproc)"
