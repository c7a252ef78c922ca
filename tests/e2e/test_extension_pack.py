"""The extension's packs: those of the build (made without a key) and those
browser/pack.mjs makes with a throwaway key, read back with zipfile, openssl
and a CRX3 header parser of the test's own; and the per-user registration of
a host for such a build's id.

KELTO_PACKED_DIR names the build's packs, KELTO_NODE the Node.js that runs
the packer."""
import base64
import hashlib
import json
import os
import re
import struct
import subprocess
import tempfile
import unittest
import zipfile

from hostproc import TIMEOUT
from packages import FIREFOX_ID, REPO, extension_id, make_key, public_der

PACKED = os.environ.get("KELTO_PACKED_DIR", "")
NODE = os.environ.get("KELTO_NODE") or "node"
PACKER = os.path.join(REPO, "browser", "pack.mjs")
with open(os.path.join(REPO, "browser", "package.json"), encoding="utf-8") as _f:
    VERSION = json.load(_f)["version"]
with open(os.path.join(REPO, "packaging", "identity.json"), encoding="utf-8") as _f:
    IDENTITY = json.load(_f)
BASE = "keltoDataSigned-" + VERSION


def zip_manifest(path):
    with zipfile.ZipFile(path) as archive:
        return json.loads(archive.read("manifest.json"))


def json_file(*parts):
    with open(os.path.join(*parts), encoding="utf-8") as f:
        return json.load(f)


def protobuf(data):
    """{field number: [bytes of each length-delimited value]}; other wire types are not expected."""
    fields, at = {}, 0
    while at < len(data):
        key, at = varint(data, at)
        if key & 7 != 2:
            raise AssertionError("wire type %d in a CRX3 header" % (key & 7))
        size, at = varint(data, at)
        fields.setdefault(key >> 3, []).append(data[at:at + size])
        at += size
    return fields


def varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


class ExtensionPackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(os.path.join(PACKED, "identity.json")):
            raise RuntimeError("KELTO_PACKED_DIR must name the build's packs, got %r" % PACKED)
        cls.tmp = tempfile.TemporaryDirectory(prefix="kelto-pack-")
        cls.key = make_key(cls.tmp.name)
        cls.keyed = os.path.join(cls.tmp.name, "keyed")
        cls.keyed_run = cls.pack(cls.keyed, "--key", cls.key)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @staticmethod
    def pack(out, *args):
        return subprocess.run([NODE, PACKER, "--out", out, "--version", VERSION, *args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=TIMEOUT)

    def check_store_zip_and_xpi(self, out, key):
        store = zip_manifest(os.path.join(out, BASE + "-chromium.zip"))
        self.assertNotIn("key", store, "the stores refuse a manifest with a key")
        self.assertEqual((store["manifest_version"], store["version"]), (3, VERSION))
        unpacked = json_file(out, "chromium", "manifest.json")
        self.assertEqual(unpacked.pop("key"), key)
        self.assertEqual(unpacked, store)
        gecko = zip_manifest(os.path.join(out, BASE + "-firefox.xpi"))["browser_specific_settings"]
        self.assertEqual(gecko["gecko"]["id"], FIREFOX_ID)

    def test_without_a_key_the_build_packs_no_crx_and_names_the_usual_id(self):
        self.assertEqual(json_file(PACKED, "identity.json"), IDENTITY)
        self.check_store_zip_and_xpi(PACKED, IDENTITY["chromiumExtensionKey"])
        left = [n for n in os.listdir(PACKED) if re.search(r"\.crx$|^updates\.xml$|^[a-p]{32}\.json$", n)]
        self.assertEqual(left, [])
        policy = json_file(PACKED, "policies", "keltodatasigned.json")
        self.assertNotIn("ExtensionInstallForcelist", policy, "nothing to force-install without a .crx")
        self.assertIn(IDENTITY["chromiumExtensionId"], policy["3rdparty"]["extensions"])

    def test_with_a_key_a_crx3_of_that_key_and_its_id_everywhere(self):
        key, out, proc = self.key, self.keyed, self.keyed_run
        ident = extension_id(key)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn(ident, proc.stdout, "the build says the id differs from identity.json's")

        with open(os.path.join(out, BASE + ".crx"), "rb") as f:
            crx = f.read()
        magic, version, size = struct.unpack_from("<4sII", crx)
        self.assertEqual((magic, version), (b"Cr24", 3))
        header = protobuf(crx[12:12 + size])
        proof = protobuf(header[2][0])  # sha256_with_rsa: public key, signature
        self.assertEqual(proof[1][0], public_der(key))
        signed_data = header[10000][0]  # signed_header_data: the crx_id
        self.assertEqual(protobuf(signed_data)[1][0], hashlib.sha256(public_der(key)).digest()[:16])
        # What Chromium checks before it installs: the signature over the header data and the zip.
        signed = os.path.join(self.tmp.name, "crx-signed-part")
        with open(signed, "wb") as f:
            f.write(b"CRX3 SignedData\x00" + struct.pack("<I", len(signed_data)) + signed_data +
                    crx[12 + size:])
        with open(signed + ".sig", "wb") as f:
            f.write(proof[2][0])
        subprocess.run(["openssl", "dgst", "-sha256", "-prverify", key, "-signature", signed + ".sig",
                        signed], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        self.assertTrue(zipfile.is_zipfile(os.path.join(out, BASE + ".crx")))
        self.assertEqual(os.stat(os.path.join(out, BASE + ".crx")).st_mode & 0o777, 0o644)

        identity = json_file(out, "identity.json")
        self.assertEqual((identity["chromiumExtensionId"], identity["firefoxAddonId"]),
                         (ident, FIREFOX_ID))
        self.assertEqual(base64.b64decode(identity["chromiumExtensionKey"]), public_der(key))
        self.check_store_zip_and_xpi(out, identity["chromiumExtensionKey"])
        with open(os.path.join(out, "updates.xml"), encoding="utf-8") as f:
            updates = f.read()
        self.assertIn('appid="%s"' % ident, updates)
        self.assertIn('codebase="file:///usr/share/keltodatasigned/%s.crx" version="%s"' %
                      (BASE, VERSION), updates)
        self.assertEqual(json_file(out, ident + ".json"), {
            "external_crx": "/usr/share/keltodatasigned/%s.crx" % BASE, "external_version": VERSION})
        policy = json_file(out, "policies", "keltodatasigned.json")
        self.assertEqual(policy["ExtensionInstallForcelist"],
                         [ident + ";file:///usr/share/keltodatasigned/updates.xml"])
        self.assertEqual(list(policy["3rdparty"]["extensions"]), [ident])
        for reg in ("chrome.reg", "edge.reg"):
            with open(os.path.join(out, "policies", reg), encoding="utf-8") as f:
                self.assertEqual(set(re.findall(r"[a-p]{32}", f.read())), {ident}, reg)

        # The key went nowhere: no file of the packs holds its private part.
        with open(key, "rb") as f:
            secret = b"".join(f.read().split(b"\n")[1:-2])[:64]
        for directory, _, files in os.walk(out):
            for name in files:
                with open(os.path.join(directory, name), "rb") as f:
                    self.assertNotIn(secret, f.read(), name)

    def test_a_signed_xpi_replaces_the_unsigned_one_if_it_is_ours(self):
        def xpi(name, gecko_id):
            path = os.path.join(self.tmp.name, name)
            with zipfile.ZipFile(path, "w") as archive:
                archive.writestr("manifest.json", json.dumps(
                    {"browser_specific_settings": {"gecko": {"id": gecko_id}}}))
                archive.writestr("META-INF/mozilla.rsa", b"signature")
            return path

        ours = xpi("ours.xpi", FIREFOX_ID)
        out = os.path.join(self.tmp.name, "signed")
        proc = self.pack(out, "--signed-xpi", ours)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(ours, "rb") as a, open(os.path.join(out, BASE + "-firefox.xpi"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        proc = self.pack(os.path.join(self.tmp.name, "foreign"), "--signed-xpi",
                         xpi("foreign.xpi", "other@example.org"))
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("other@example.org", proc.stderr)

    def test_register_host_names_the_builds_id_also_for_a_profile_of_its_own(self):
        home = os.path.join(self.tmp.name, "home")
        profile = os.path.join(self.tmp.name, "profile")
        script = os.path.join(REPO, "scripts", "register-host.sh")
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME="")
        identity = os.path.join(self.keyed, "identity.json")
        subprocess.run([script, "--user", "--host", "/bin/true", "--identity", identity,
                        "--profile", profile], env=env, check=True, stdout=subprocess.DEVNULL,
                       timeout=TIMEOUT)
        manifest = os.path.join(profile, "NativeMessagingHosts", IDENTITY["hostName"] + ".json")
        for path in (manifest, os.path.join(home, ".config", "chromium", "NativeMessagingHosts",
                                            IDENTITY["hostName"] + ".json")):
            self.assertEqual(json_file(path)["allowed_origins"],
                             ["chrome-extension://%s/" % extension_id(self.key)], path)
        subprocess.run([script, "--user", "--uninstall", "--profile", profile], env=env,
                       check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        self.assertFalse(os.path.exists(manifest))


if __name__ == "__main__":
    unittest.main()
