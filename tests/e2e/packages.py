"""The package suites' shared ids, throwaway keys and their Chromium ids (by
openssl and hashlib, not the build's code), manifest, registry and Wine helpers."""
import hashlib
import json
import os
import subprocess

from hostproc import TIMEOUT, frame, host_env, split_frames

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read_json(*parts):
    with open(os.path.join(*parts), encoding="utf-8") as f:
        return json.load(f)


IDENTITY = read_json(REPO, "packaging", "identity.json")
HOST_NAME = IDENTITY["hostName"]
ORIGIN = "chrome-extension://%s/" % IDENTITY["chromiumExtensionId"]
FIREFOX_ID = IDENTITY["firefoxAddonId"]
# A second host, for two other extensions, registered beside the usual one.
OTHER_NAME, OTHER_ORIGINS = "org.example.signer_2", [
    "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/",
    "chrome-extension://aaaaaaaaaaaaaaaabbbbbbbbbbbbbbbb/"]
VERSION = read_json(REPO, "browser", "package.json")["version"]
# Where Chrome, Edge and Firefox on Windows look for a host's manifest, and
# the member naming the extensions it allows.
KEYS = {"Chrome": (r"HKCU\Software\Google\Chrome\NativeMessagingHosts", "allowed_origins"),
        "Edge": (r"HKCU\Software\Microsoft\Edge\NativeMessagingHosts", "allowed_origins"),
        "Firefox": (r"HKCU\Software\Mozilla\NativeMessagingHosts", "allowed_extensions")}


def make_key(directory):
    """A new RSA key for packing the extension, as a PEM file in `directory`."""
    path = os.path.join(directory, "extension-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", path], check=True, capture_output=True, timeout=TIMEOUT)
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
    """Asserts that the file is a manifest of exactly these members; returns the program it names."""
    manifest = read_json(path)
    program = manifest.pop("path", "")
    case.assertTrue(manifest.pop("description", ""), path)
    case.assertEqual(manifest, {"name": name, "type": "stdio", allowed_key: allowed}, path)
    return program


def check_host_answers(case, exe):
    """The program a manifest names, started by Wine as a browser starts it, lists containers."""
    request = {"contentId": "pkg", "data": {"requestAction": "getListContainer",
                                            "providerName": "Microsoft Strong Cryptographic Provider"}}
    proc = subprocess.run(["wine", exe], input=frame(request), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=host_env(), timeout=TIMEOUT)
    replies = split_frames(proc.stdout)
    case.assertEqual(len(replies), 1, replies)
    case.assertEqual(json.loads(replies[0])["data"]["result"], "success", replies)


def wine(*args, cwd=None):
    return subprocess.run(["wine", *args], cwd=cwd, env=host_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, errors="replace", timeout=TIMEOUT)


def unix_path(windows_path):
    """What `winepath -u` says, without starting Wine: the drive's link in the
    prefix's dosdevices, then the rest of the path."""
    drive, rest = windows_path[:2].lower(), windows_path[2:].lstrip("\\")
    root = os.path.realpath(os.path.join(os.environ["WINEPREFIX"], "dosdevices", drive))
    return os.path.join(root, *[part for part in rest.split("\\") if part])


def full_key(key):
    return key.replace("HKCU\\", "HKEY_CURRENT_USER\\", 1).replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)


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


def registered_manifests(name):
    """{browser: the Linux path its key for `name` names, or None without the key}."""
    found = reg_query(*(key + "\\" + name for key, _ in KEYS.values()))
    values = {browser: found.get(full_key(key + "\\" + name), {}).get("(Default)")
              for browser, (key, _) in KEYS.items()}
    return {browser: value and unix_path(value[1]) for browser, value in values.items()}


def check_registration(case, name, origins, firefox_ids, folder, prefix, exe):
    """Asserts that Chrome and Edge find `name` through folder/prefix.chrome.json,
    Firefox through folder/prefix.firefox.json, and that these allow exactly the
    given extensions and name the program `exe` (all Linux paths)."""
    for browser, path in registered_manifests(name).items():
        firefox = browser == "Firefox"
        expected = os.path.join(folder, prefix + (".firefox.json" if firefox else ".chrome.json"))
        case.assertTrue(path and os.path.exists(path) and os.path.samefile(path, expected),
                        (browser, path))
        program = check_manifest(case, path, name, KEYS[browser][1],
                                 firefox_ids if firefox else origins)
        case.assertTrue(os.path.samefile(unix_path(program), exe), program)
