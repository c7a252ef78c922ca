#!/usr/bin/env python3
"""Writes a native-messaging host manifest for one browser family from
host-manifest.json.in, with the host name and extension ids of identity.json
unless other values are given. Every Linux registration (per-user script,
Debian package) and every test makes its manifests here, so that they all
name the same extension.

  host-manifest.py --browser chromium|firefox --path /abs/keltoDataSigned
                   [--identity FILE] [--name NAME] [--origin chrome-extension://ID/]...
                   [--firefox-id ID]... [--out FILE]
  host-manifest.py [--identity FILE] --get KEY    prints one value of the identity
"""
import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def identity(file=None):
    with open(file or os.path.join(HERE, "identity.json"), encoding="utf-8") as f:
        return json.load(f)


def manifest(browser, path, name=None, origins=None, firefox_ids=None, identity_file=None):
    """The manifest text. Values enter the template as JSON, so no path or id
    can break its syntax."""
    ids = identity(identity_file)
    if browser == "firefox":
        key, allowed = "allowed_extensions", firefox_ids or [ids["firefoxAddonId"]]
    else:
        key = "allowed_origins"
        allowed = origins or ["chrome-extension://%s/" % ids["chromiumExtensionId"]]
    values = {
        "HOST_NAME": json.dumps(name or ids["hostName"]),
        "EXE_PATH": json.dumps(path),
        "ALLOWED_KEY": json.dumps(key),
        "ALLOWED": ", ".join(json.dumps(a) for a in allowed),
    }
    with open(os.path.join(HERE, "host-manifest.json.in"), encoding="utf-8") as f:
        text = f.read()
    for placeholder, value in values.items():
        text = text.replace("@%s@" % placeholder, value)
    json.loads(text)  # a template edit that breaks JSON fails here, not in a browser
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--get", metavar="KEY")
    parser.add_argument("--identity", metavar="FILE")
    parser.add_argument("--browser", choices=["chromium", "firefox"])
    parser.add_argument("--path")
    parser.add_argument("--name")
    parser.add_argument("--origin", action="append")
    parser.add_argument("--firefox-id", action="append")
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.get:
        ids = identity(args.identity)
        if args.get not in ids:
            parser.error("identity.json has no %r" % args.get)
        print(ids[args.get])
        return 0
    if not args.browser or not args.path:
        parser.error("--browser and --path are required")
    if not os.path.isabs(args.path):
        parser.error("--path must be absolute: browsers resolve it from the manifest")
    text = manifest(args.browser, args.path, args.name, args.origin, args.firefox_id,
                    args.identity)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
