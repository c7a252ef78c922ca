#!/usr/bin/env bash
# Registers the built host with the browsers of the current user, no root
# needed: writes its native-messaging manifest for Chromium, Google Chrome,
# Microsoft Edge and Firefox, naming the extension ids of
# packaging/identity.json (or of --identity, such as a build's
# build/packaging/identity.json). Running it again rewrites the same files.
# A Chromium-family browser started with --user-data-dir=DIR looks in
# DIR/NativeMessagingHosts: --profile DIR registers there too (repeatable).
#
#   scripts/register-host.sh --user [--host /abs/path/keltoDataSigned]
#                            [--identity FILE] [--profile DIR]...
#   scripts/register-host.sh --user --uninstall [--profile DIR]...
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
manifest_tool="$root/packaging/host-manifest.py"

usage() {
  sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

user=0 uninstall=0 host="$root/build/bin/keltoDataSigned" identity=() profiles=()
while [ $# -gt 0 ]; do
  case "$1" in
    --user) user=1 ;;
    --uninstall) uninstall=1 ;;
    --host) [ $# -ge 2 ] || usage; host="$2"; shift ;;
    --identity) [ $# -ge 2 ] || usage; identity=(--identity "$2"); shift ;;
    --profile) [ $# -ge 2 ] || usage; profiles+=("$2"); shift ;;
    -h|--help) usage ;;
    *) echo "register-host.sh: unknown argument $1" >&2; usage ;;
  esac
  shift
done
if [ "$user" -ne 1 ]; then
  echo "register-host.sh: only --user registration exists (system-wide comes with the packages)" >&2
  exit 2
fi
: "${HOME:?HOME must be set}"

name="$(python3 "$manifest_tool" "${identity[@]}" --get hostName)"
config="${XDG_CONFIG_HOME:-$HOME/.config}"
# browser family, then the directory where that browser looks for this user's hosts
targets=(
  "chromium $config/chromium/NativeMessagingHosts"
  "chromium $config/google-chrome/NativeMessagingHosts"
  "chromium $config/microsoft-edge/NativeMessagingHosts"
  "firefox $HOME/.mozilla/native-messaging-hosts"
)
for profile in "${profiles[@]}"; do
  case "$profile" in
    /*) ;;
    *) profile="$(pwd)/$profile" ;;
  esac
  targets+=("chromium $profile/NativeMessagingHosts")
done

if [ "$uninstall" -eq 1 ]; then
  for target in "${targets[@]}"; do
    dir="${target#* }"
    if [ -f "$dir/$name.json" ]; then
      rm -f "$dir/$name.json"
      echo "removed $dir/$name.json"
      rmdir "$dir" 2>/dev/null || true  # only when nothing else is registered there
    fi
  done
  exit 0
fi

case "$host" in
  /*) ;;
  *) host="$(pwd)/$host" ;;
esac
if [ ! -x "$host" ] || [ -d "$host" ]; then
  echo "register-host.sh: no host program at $host; build it first:" >&2
  echo "  cmake -S . -B build && cmake --build build -j" >&2
  exit 1
fi

# One manifest per browser family, copied to each of its directories.
made="$(mktemp -d)"
trap 'rm -rf "$made"' EXIT
python3 "$manifest_tool" "${identity[@]}" --browser chromium --path "$host" --out "$made/chromium"
python3 "$manifest_tool" "${identity[@]}" --browser firefox --path "$host" --out "$made/firefox"
for target in "${targets[@]}"; do
  browser="${target%% *}" dir="${target#* }"
  mkdir -p "$dir"
  # Copied beside the old file and renamed over it: a browser never reads half a manifest.
  cp "$made/$browser" "$dir/.$name.json.new"
  mv -f "$dir/.$name.json.new" "$dir/$name.json"
  echo "registered $dir/$name.json"
done
