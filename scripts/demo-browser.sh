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

scripts/bootstrap.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
node browser/build.mjs --out build/extension >/dev/null
scripts/register-host.sh --user

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

cat <<EOF

Load the extension (Firefox forgets a temporary add-on when it restarts):
  Chromium, Chrome, Edge: open chrome://extensions, switch on "Developer mode",
    "Load unpacked" and choose $root/build/extension/chromium
  Firefox: open about:debugging#/runtime/this-firefox, "Load Temporary Add-on..."
    and choose $root/build/extension/firefox/manifest.json
Then open http://localhost:$port/demo/ and answer "Allow" when the extension asks.
Ctrl-C stops the page server.

EOF
exec python3 -m http.server --bind 127.0.0.1 --directory browser "$port"
