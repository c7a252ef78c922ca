"""The extension's packs: those of the build (made without a key) and those
browser/pack.mjs makes with a throwaway key, read back with zipfile; and the
per-user registration of a host for such a build's id. KELTO_PACKED_DIR names
the build's packs, KELTO_NODE the Node.js that runs the packer."""
import base64
import json
import os
import re
import struct
import subprocess
import tempfile
import unittest
import zipfile

from hostproc import TIMEOUT
from packages import FIREFOX_ID, IDENTITY, REPO, VERSION, extension_id, make_key, public_der, read_json

PACKED = os.environ.get("KELTO_PACKED_DIR", "")
BASE = "keltoDataSigned-" + VERSION
INSTALLED = "/usr/share/keltodatasigned/"


def zip_manifest(path):
    with zipfile.ZipFile(path) as archive:
        return json.loads(archive.read("manifest.json"))


def pack(out, *args):
    return subprocess.run([os.environ.get("KELTO_NODE") or "node", os.path.join(REPO, "browser", "pack.mjs"),
                           "--out", out, "--version", VERSION, *args],
                          capture_output=True, text=True, timeout=TIMEOUT)


class ExtensionPackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(os.path.join(PACKED, "identity.json")):
            raise RuntimeError("KELTO_PACKED_DIR must name the build's packs, got %r" % PACKED)
        cls.tmp = tempfile.TemporaryDirectory(prefix="kelto-pack-")
        cls.key = make_key(cls.tmp.name)
        cls.keyed = os.path.join(cls.tmp.name, "keyed")
        cls.keyed_run = pack(cls.keyed, "--key", cls.key)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def check_packs(self, out, ident):
        """The store's zip (no key, which the stores refuse), the unpacked
        extension (with the key of `ident`), the XPI, and the policies for `ident`."""
        store = zip_manifest(os.path.join(out, BASE + "-chromium.zip"))
        self.assertEqual((store["manifest_version"], store["version"]), (3, VERSION))
        unpacked = read_json(out, "chromium", "manifest.json")
        key = unpacked.pop("key")
        self.assertEqual(unpacked, store)
        identity = read_json(out, "identity.json")
        self.assertEqual((identity["chromiumExtensionKey"], identity["chromiumExtensionId"],
                          identity["firefoxAddonId"]), (key, ident, FIREFOX_ID))
        gecko = zip_manifest(os.path.join(out, BASE + "-firefox.xpi"))["browser_specific_settings"]
        self.assertEqual(gecko["gecko"]["id"], FIREFOX_ID)
        policy = read_json(out, "policies", "keltodatasigned.json")
        self.assertEqual(list(policy["3rdparty"]["extensions"]), [ident])
        for reg in ("chrome.reg", "edge.reg"):
            with open(os.path.join(out, "policies", reg), encoding="utf-8") as f:
                self.assertEqual(set(re.findall(r"[a-p]{32}", f.read())), {ident}, reg)
        return key, policy

    def test_without_a_key_the_build_packs_no_crx_and_names_the_usual_id(self):
        key, policy = self.check_packs(PACKED, IDENTITY["chromiumExtensionId"])
        self.assertEqual(key, IDENTITY["chromiumExtensionKey"])
        self.assertEqual([n for n in os.listdir(PACKED) if re.search(r"\.crx$|^updates\.xml$|^[a-p]{32}\.json$", n)], [])
        self.assertNotIn("ExtensionInstallForcelist", policy, "nothing to force-install without a .crx")

    def test_with_a_key_a_crx3_of_that_key_and_its_id_everywhere(self):
        out, proc, ident = self.keyed, self.keyed_run, extension_id(self.key)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn(ident, proc.stdout, "the build says the id differs from identity.json's")
        key, policy = self.check_packs(out, ident)
        self.assertEqual(base64.b64decode(key), public_der(self.key))

        crx = os.path.join(out, BASE + ".crx")
        with open(crx, "rb") as f:
            self.assertEqual(struct.unpack("<4sI", f.read(8)), (b"Cr24", 3))
        # The archive behind the CRX3 header carries the key the id is made of.
        self.assertEqual(zip_manifest(crx)["key"], key)
        self.assertEqual(os.stat(crx).st_mode & 0o777, 0o644)
        with open(os.path.join(out, "updates.xml"), encoding="utf-8") as f:
            updates = f.read()
        self.assertIn('appid="%s"' % ident, updates)
        self.assertIn('codebase="file://%s%s.crx" version="%s"' % (INSTALLED, BASE, VERSION), updates)
        self.assertEqual(read_json(out, ident + ".json"),
                         {"external_crx": INSTALLED + BASE + ".crx", "external_version": VERSION})
        self.assertEqual(policy["ExtensionInstallForcelist"], [ident + ";file://" + INSTALLED + "updates.xml"])

        # The key went nowhere: no file of the packs holds its private part.
        with open(self.key, "rb") as f:
            secret = b"".join(f.read().split(b"\n")[1:-2])[:64]
        for directory, _, files in os.walk(out):
            for name in files:
                with open(os.path.join(directory, name), "rb") as f:
                    self.assertNotIn(secret, f.read(), name)

    def test_a_signed_xpi_replaces_the_unsigned_one_if_it_is_ours(self):
        for gecko_id in (FIREFOX_ID, "other@example.org"):
            xpi = os.path.join(self.tmp.name, gecko_id + ".xpi")
            with zipfile.ZipFile(xpi, "w") as archive:
                archive.writestr("manifest.json", json.dumps(
                    {"browser_specific_settings": {"gecko": {"id": gecko_id}}}))
                archive.writestr("META-INF/mozilla.rsa", b"signature")
            out = os.path.join(self.tmp.name, "signed-" + gecko_id)
            proc = pack(out, "--signed-xpi", xpi)
            if gecko_id != FIREFOX_ID:
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn(gecko_id, proc.stderr)
                continue
            self.assertEqual(proc.returncode, 0, proc.stderr)
            with open(xpi, "rb") as a, open(os.path.join(out, BASE + "-firefox.xpi"), "rb") as b:
                self.assertEqual(a.read(), b.read())

    def test_register_host_names_the_builds_id_also_for_a_profile_of_its_own(self):
        home, profile = os.path.join(self.tmp.name, "home"), os.path.join(self.tmp.name, "profile")
        script = os.path.join(REPO, "scripts", "register-host.sh")
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME="")
        subprocess.run([script, "--user", "--host", "/bin/true", "--profile", profile, "--identity",
                        os.path.join(self.keyed, "identity.json")], env=env, check=True,
                       stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        manifest = os.path.join(profile, "NativeMessagingHosts", IDENTITY["hostName"] + ".json")
        for path in (manifest, os.path.join(home, ".config", "chromium", "NativeMessagingHosts",
                                            IDENTITY["hostName"] + ".json")):
            self.assertEqual(read_json(path)["allowed_origins"],
                             ["chrome-extension://%s/" % extension_id(self.key)], path)
        subprocess.run([script, "--user", "--uninstall", "--profile", profile], env=env,
                       check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        self.assertFalse(os.path.exists(manifest))


if __name__ == "__main__":
    unittest.main()
