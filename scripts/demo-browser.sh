#!/usr/bin/env bash
# The browser side on this machine, for a person to try: installs and builds
# what it needs (host, kelto-keytool, the extension), registers the host with
# this user's browsers, makes a demo key when this user has no key container
# at all, and serves the demo page on localhost until Ctrl-C.
#
#   scripts/demo-browser.sh [--port 8480]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

port=8480
while [ $# -gt 0 ]; do
  case "$1" in
    --port) [ $# -ge 2 ] || { echo "demo-browser.sh: --port needs a number" >&2; exit 2; }
            port="$2"; shift ;;
    *) echo "usage: scripts/demo-browser.sh [--port N]" >&2; exit 2 ;;
  esac
  shift
done

step() { printf '\n==> %s\n' "$*"; }

scripts/linux-build.sh
step "Registering the host with this user's browsers"
# The build's ids: those of the key it was given, if any.
scripts/register-host.sh --user --identity build/packaging/identity.json

keytool="$root/build/bin/kelto-keytool"
if [ -z "$("$keytool" list)" ]; then
  "$keytool" generate --provider "Microsoft Strong Cryptographic Provider" \
    --container kelto-demo --pin 1234 --store
  cat <<EOF

You had no key container, so a demo key was made: provider "Microsoft Strong
Cryptographic Provider", container "kelto-demo", PIN 1234, its self-signed
certificate also in "MY". Remove it later with
  $keytool delete --provider "Microsoft Strong Cryptographic Provider" --container kelto-demo
EOF
fi
# The demo page never asks for a PIN: the system does, in a pinentry window.
if ! command -v pinentry-gnome3 pinentry-gtk-2 pinentry-qt pinentry-x11 >/dev/null 2>&1; then
  cat <<EOF

No graphical pinentry is installed, so nothing can ask for a key's PIN when
the page signs with a protected key (the page then says that the PIN could not
be asked for). Install one, e.g. sudo apt install pinentry-gnome3
EOF
fi

cat <<EOF

Get the extension into your browser, one of:
  Debian's Chromium, no developer mode: install the package and restart Chromium
    cmake --build build --target package && sudo apt install ./build/keltodatasigned_*.deb
  Chromium, Chrome, Edge, as a developer: open chrome://extensions, switch on
    "Developer mode", "Load unpacked" and choose $root/build/extension/chromium
  Firefox: open about:debugging#/runtime/this-firefox, "Load Temporary Add-on..."
    and choose $root/build/extension/firefox/manifest.json (forgotten at restart)
Then open http://localhost:$port/demo/ and answer "Allow" when the extension asks.
Ctrl-C stops the page server.

EOF
exec python3 -m http.server --bind 127.0.0.1 --directory browser "$port"
