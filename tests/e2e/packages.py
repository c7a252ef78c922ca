"""Shared by the package suites (no tests of its own): the project's host name
and extension ids as packaging/identity.json defines them, a throwaway
extension key and the Chromium id of a key (computed here with openssl and
hashlib, not by the build's code), the check of a host manifest, a
getListContainer request to the program a manifest names, and the Wine
commands the Windows packages are checked with."""
import hashlib
import json
import os
import subprocess

from hostproc import TIMEOUT, frame, host_env, split_frames

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(REPO, "packaging", "identity.json"), encoding="utf-8") as _f:
    _IDENTITY = json.load(_f)
HOST_NAME = _IDENTITY["hostName"]
ORIGIN = "chrome-extension://%s/" % _IDENTITY["chromiumExtensionId"]
FIREFOX_ID = _IDENTITY["firefoxAddonId"]
STRONG = "Microsoft Strong Cryptographic Provider"

# Where Chrome, Edge and Firefox on Windows look for a host's manifest.
KEYS = {"Chrome": r"HKCU\Software\Google\Chrome\NativeMessagingHosts",
        "Edge": r"HKCU\Software\Microsoft\Edge\NativeMessagingHosts",
        "Firefox": r"HKCU\Software\Mozilla\NativeMessagingHosts"}
ALLOWED_KEY = {"Chrome": "allowed_origins", "Edge": "allowed_origins",
               "Firefox": "allowed_extensions"}


def make_key(directory):
    """A new RSA key for packing the extension, as a PEM file in `directory`."""
    path = os.path.join(directory, "extension-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", path], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=TIMEOUT)
    return path


def public_der(key_file):
    return subprocess.run(["openssl", "pkey", "-in", key_file, "-pubout", "-outform", "DER"],
                          stdout=subprocess.PIPE, check=True, timeout=TIMEOUT).stdout


def chromium_id(public_key_der):
    """Chromium's id of a key: SHA-256 of the public key's DER, 32 hex digits as a-p."""
    digest = hashlib.sha256(public_key_der).hexdigest()[:32]
    return "".join(chr(ord("a") + int(digit, 16)) for digit in digest)


def extension_id(key_file):
    return chromium_id(public_der(key_file))


def check_manifest(case, path, name, allowed_key, allowed):
    """Asserts that the file is a manifest of exactly these members, and
    returns the program path it names."""
    with open(path, encoding="utf-8") as f:
        manifest = json.load(f)
    program = manifest.pop("path", "")
    case.assertTrue(manifest.pop("description", ""), path)
    case.assertEqual(manifest, {"name": name, "type": "stdio", allowed_key: allowed}, path)
    return program


def list_containers(command, env=None):
    """The reply object of `command` (the host) to a getListContainer frame."""
    request = {"contentId": "pkg", "data": {"requestAction": "getListContainer",
                                            "providerName": STRONG}}
    proc = subprocess.run(command, input=frame(request), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=env, timeout=TIMEOUT)
    replies = split_frames(proc.stdout)
    if len(replies) != 1:
        raise AssertionError("%r answered %d frames: %r" % (command, len(replies), replies))
    return json.loads(replies[0])


def wine(*args, cwd=None):
    return subprocess.run(["wine", *args], cwd=cwd, env=host_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, errors="replace",
                          timeout=TIMEOUT)


def unix_path(windows_path):
    """What `winepath -u` says, without starting Wine: the drive's link in the
    prefix's dosdevices, then the rest of the path."""
    drive, rest = windows_path[:2].lower(), windows_path[2:].lstrip("\\")
    root = os.path.realpath(os.path.join(os.environ["WINEPREFIX"], "dosdevices", drive))
    return os.path.join(root, *[part for part in rest.split("\\") if part])


def reg_query(*keys, recursive=False):
    """The values under the keys, in one Wine process: {key as reg prints it:
    {value name: (type, data)}}; a key that does not exist is absent."""
    command = " & ".join("reg query %s%s" % (key, " /s" if recursive else "") for key in keys)
    found, key = {}, None
    for line in wine("cmd", "/c", command).stdout.splitlines():
        if line.startswith("HKEY_"):
            key = line.strip()
            found[key] = {}
        elif line.startswith("    ") and key is not None:
            name, kind, data = (line.strip().split("    ", 2) + ["", ""])[:3]
            found[key][name] = (kind, data)
    return found


def full_key(key):
    return key.replace("HKCU\\", "HKEY_CURRENT_USER\\", 1).replace(
        "HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)


def registered_manifests(name):
    """{browser: the Linux path its key for `name` names, or None without the key}."""
    keys = {browser: key + "\\" + name for browser, key in KEYS.items()}
    found = reg_query(*keys.values())
    paths = {}
    for browser, key in keys.items():
        value = found.get(full_key(key), {}).get("(Default)")
        paths[browser] = unix_path(value[1]) if value else None
    return paths


def check_registration(case, name, origins, firefox_ids, chrome_manifest, firefox_manifest,
                       exe):
    """Asserts that Chrome and Edge find `name` through `chrome_manifest`, and
    Firefox through `firefox_manifest`, and that these allow exactly the given
    extensions and name the program `exe` (all paths Linux paths)."""
    for browser, path in registered_manifests(name).items():
        with case.subTest(browser=browser):
            case.assertIsNotNone(path, "no key for " + browser)
            firefox = browser == "Firefox"
            expected = firefox_manifest if firefox else chrome_manifest
            case.assertTrue(os.path.exists(path) and os.path.samefile(path, expected), path)
            allowed = firefox_ids if firefox else origins
            program = check_manifest(case, path, name, ALLOWED_KEY[browser], allowed)
            case.assertTrue(os.path.samefile(unix_path(program), exe), program)
