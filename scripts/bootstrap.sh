#!/usr/bin/env bash
# Installs the Debian packages that building and testing both targets need.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake python3 openssl
  clang libclang-rt-14-dev
  libgtest-dev googletest
  libutfcpp-dev
  libssl-dev libengine-gost-openssl
  g++-mingw-w64-x86-64-posix
  wine wine64
  zip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "bootstrap: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
  "${missing[@]}"
