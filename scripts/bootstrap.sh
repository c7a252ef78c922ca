#!/usr/bin/env bash
# Installs the Debian packages that building and testing both targets need.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake python3 openssl
  clang libclang-rt-14-dev clang-format
  libgtest-dev googletest
  libutfcpp-dev
  libssl-dev libengine-gost-openssl
  g++-mingw-w64-x86-64-posix
  wine wine64
  zip
  wixl msitools          # the Windows installer
  dpkg-dev lintian       # the Debian package (dpkg-shlibdeps) and its check
  chromium firefox-esr   # the browser side's suites
  pinentry-tty           # a real pinentry that the PIN suite drives on a terminal
)
# The browser side's build and test tools run on Node.js; a machine that
# already has node and npm keeps its own.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "bootstrap: installing ${missing[*]}"
# Another install (or a package suite's dpkg) may hold the lock for a while.
wait_lock=(-o DPkg::Lock::Timeout=600)
$SUDO apt-get "${wait_lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${wait_lock[@]}" install -y -qq \
  "${missing[@]}"
