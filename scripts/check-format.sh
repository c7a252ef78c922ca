#!/bin/sh
# Fails when a C++ file of the repository is not as clang-format (with the
# repository's .clang-format) would write it; exits 77 (skipped) where that
# cannot be told: no clang-format, or not a git checkout.
cd "$(dirname "$0")/.." || exit 1
command -v clang-format >/dev/null 2>&1 || { echo "SKIPPED: no clang-format"; exit 77; }
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null) || { echo "SKIPPED: not a git checkout"; exit 77; }
# shellcheck disable=SC2086 # one argument per file name; no name holds a blank
exec clang-format --dry-run --Werror $files
