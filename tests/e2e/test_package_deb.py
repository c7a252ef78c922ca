"""The Debian package as the build makes it (no extension key) and packaged
again from the same tree by CPack with a throwaway key the suite makes
(KELTO_EXTENSION_KEY in cpack's environment packs only the extension again).
Lintian finds no error in either. Installed on this machine for real, the
plain package puts the host, kelto-keytool, the browsers' manifests and the
unpacked extension in place; the keyed one, installed over it, names the
key's id in every manifest and adds the .crx, its update manifest and
Chrome's external-extension file. Then the browsers as a person and an
administrator meet them (tests/browser/installed.mjs): Debian's Chromium
signs without developer mode, the packaged policy force-installs the .crx,
Firefox ESR installs the XPI through policies.json. `dpkg -r` leaves only
the administrator's files under /etc, `dpkg -P` none, and Chromium no longer
has the extension.

Run as a program (CTest does): it exits 77, skipped, where it cannot install
system-wide (not root, no dpkg) or where the package is already installed,
which it would otherwise remove. KELTO_DEB names the package file,
KELTO_CPACK_CONFIG the build's CPackConfig.cmake, KELTO_CPACK the cpack to run
it with, KELTO_NODE the Node.js of the browser check (its modules from
`npm ci` in browser/)."""
import base64
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import unittest

from hostproc import TIMEOUT
from packages import (FIREFOX_ID, HOST_NAME, ORIGIN, REPO, check_manifest, chromium_id, extension_id,
                      make_key)

DEB = os.environ.get("KELTO_DEB", "")
CPACK = os.environ.get("KELTO_CPACK") or "cpack"
CPACK_CONFIG = os.environ.get("KELTO_CPACK_CONFIG", "")
NODE = os.environ.get("KELTO_NODE") or "node"
BROWSER_CHECK = os.path.join(REPO, "tests", "browser", "installed.mjs")
PACKAGE = "keltodatasigned"
HOST = "/usr/libexec/keltodatasigned/keltoDataSigned"
KEYTOOL = "/usr/bin/kelto-keytool"
CHROMIUM_MANIFESTS = ["/etc/chromium/native-messaging-hosts/",
                      "/etc/opt/chrome/native-messaging-hosts/",
                      "/etc/opt/edge/native-messaging-hosts/"]
FIREFOX_MANIFEST = "/usr/lib/mozilla/native-messaging-hosts/" + HOST_NAME + ".json"
CHROMIUM_MANIFESTS = [d + HOST_NAME + ".json" for d in CHROMIUM_MANIFESTS]
EXTENSION = "/usr/share/chromium/extensions/keltodatasigned"
SHARED = "/usr/share/keltodatasigned"
POLICIES = "/usr/share/doc/keltodatasigned/policies"


def run(*command, check=True, env=None):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=check, timeout=TIMEOUT, env=env)


def installed():
    status = run("dpkg-query", "-W", "-f=${Status}", PACKAGE, check=False).stdout
    return status.endswith(" installed") or "config-files" in status


def package_paths(deb):
    """Every file and directory the package holds, as absolute paths."""
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE,
                         check=True, timeout=TIMEOUT).stdout
    with tarfile.open(fileobj=io.BytesIO(tar)) as archive:
        names = archive.getnames()
    return sorted({"/" + n.lstrip("./") for n in names if n.lstrip("./")})


def browser_check(mode, ident, scenarios):
    """Runs tests/browser/installed.mjs against what is installed; fails
    unless all its scenarios passed. The check bounds its own steps and puts
    back what it wrote under /etc on failure and on SIGTERM: the timeout here
    only backs that up."""
    env = dict(os.environ, KELTO_HOST=HOST, KELTO_KEYTOOL=KEYTOOL, KELTO_INSTALLED=mode,
               KELTO_EXTENSION_ID=ident, KELTO_POLICIES=POLICIES)
    check = subprocess.Popen([NODE, "--test-reporter=spec", BROWSER_CHECK], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        output = check.communicate(timeout=15 * 60)[0]
    except BaseException as error:  # the timeout, or SIGTERM: the check puts /etc back first
        check.terminate()
        try:
            output = check.communicate(timeout=TIMEOUT)[0]
        except subprocess.TimeoutExpired:
            check.kill()
            output = check.communicate()[0]
        if not isinstance(error, subprocess.TimeoutExpired):
            raise
        raise AssertionError("the browser check did not end:\n" + output)
    # A skipped or empty run exits 0 too.
    passed = re.search(r"^\S+ pass (\d+)$", output, re.MULTILINE)
    if check.returncode != 0 or not passed or int(passed.group(1)) != scenarios:
        raise AssertionError("the browser check failed:\n" + output)


def unavailable():
    """Why the suite cannot run here, or None."""
    if not os.path.isfile(DEB):
        return None  # a setup fault: the suite reports it
    if shutil.which("dpkg") is None or shutil.which("lintian") is None:
        return "dpkg or lintian is missing (scripts/bootstrap.sh installs them)"
    if os.geteuid() != 0:
        return "installing the package needs root"
    if installed():
        return "%s is installed on this machine; remove it first" % PACKAGE
    return None


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


IDENTITY = read_json(os.path.join(REPO, "packaging", "identity.json"))
VERSION = read_json(os.path.join(REPO, "browser", "package.json"))["version"]


def key_id(key):
    """The id Chromium gives an unpacked extension whose manifest has this key."""
    return chromium_id(base64.b64decode(key))


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for name, value in (("KELTO_DEB", DEB), ("KELTO_CPACK_CONFIG", CPACK_CONFIG)):
            if not os.path.isfile(value):
                raise RuntimeError("%s must name what tests/package.cmake gives, got %r" %
                                   (name, value))
        cls.tmp = tempfile.TemporaryDirectory(prefix="kelto-deb-")
        key = make_key(cls.tmp.name)
        cls.key_id = extension_id(key)
        out = os.path.join(cls.tmp.name, "keyed")
        proc = run(CPACK, "--config", CPACK_CONFIG, "-B", out, check=False,
                   env=dict(os.environ, KELTO_EXTENSION_KEY=key))
        if proc.returncode != 0:
            raise RuntimeError("cpack with a key failed:\n" + proc.stdout)
        cls.keyed = os.path.join(out, os.path.basename(DEB))
        cls.paths = sorted(set(package_paths(DEB)) | set(package_paths(cls.keyed)))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_lintian_finds_no_error(self):
        for deb in (DEB, self.keyed):
            with self.subTest(deb=deb):
                proc = run("lintian", deb, check=False)
                errors = [line for line in proc.stdout.splitlines() if line.startswith("E:")]
                self.assertEqual(errors, [], proc.stdout)
                self.assertEqual(proc.returncode, 0, proc.stdout)

    def assert_installed(self, ident):
        """The package's files are in place and every manifest names `ident`."""
        listed = set(run("dpkg", "--listfiles", PACKAGE).stdout.split())
        for path in [HOST, KEYTOOL, FIREFOX_MANIFEST, EXTENSION + "/manifest.json"] + CHROMIUM_MANIFESTS:
            self.assertIn(path, listed)
            self.assertTrue(os.path.isfile(path), path)
        for path in (HOST, KEYTOOL):
            self.assertTrue(os.access(path, os.X_OK), path)
        origin = "chrome-extension://%s/" % ident
        programs = [check_manifest(self, path, HOST_NAME, "allowed_origins", [origin])
                    for path in CHROMIUM_MANIFESTS]
        programs.append(check_manifest(self, FIREFOX_MANIFEST, HOST_NAME,
                                       "allowed_extensions", [FIREFOX_ID]))
        self.assertEqual(set(programs), {HOST})
        self.assertEqual(key_id(read_json(EXTENSION + "/manifest.json")["key"]), ident)
        # Debian's launcher passes every entry there to --load-extension: a file would fail each start.
        self.assertEqual([n for n in os.listdir(os.path.dirname(EXTENSION))
                          if not os.path.isdir(os.path.join(os.path.dirname(EXTENSION), n))], [])

    def test_plain_then_keyed_over_it_signs_in_the_browsers_and_purges_clean(self):
        existed = {p for p in self.paths if os.path.lexists(p)}
        self.addCleanup(run, "dpkg", "--purge", PACKAGE, check=False)

        run("dpkg", "--install", DEB)
        usual = key_id(IDENTITY["chromiumExtensionKey"])
        self.assertEqual(ORIGIN, "chrome-extension://%s/" % usual, "identity.json's key gives its id")
        self.assert_installed(usual)
        self.assertFalse(os.path.exists(SHARED + "/updates.xml"))
        fields = run("dpkg-query", "-W", "-f=${Depends}\n${Recommends}", PACKAGE).stdout
        for text in ("libssl3", "libengine-gost-openssl"):
            self.assertIn(text, fields)

        # An upgrade replaces every file, and the administrator's files he left alone.
        run("dpkg", "--install", self.keyed)
        self.assert_installed(self.key_id)
        crx = "%s/keltoDataSigned-%s.crx" % (SHARED, VERSION)
        self.assertEqual(os.stat(crx).st_mode & 0o777, 0o644, "every user's browser reads it")
        self.assertTrue(os.path.isfile("/usr/share/google-chrome/extensions/%s.json" % self.key_id))

        browser_check("present", self.key_id, scenarios=3)

        # Removing keeps the administrator's files under /etc; purging takes them.
        run("dpkg", "--remove", PACKAGE)
        left = {p for p in self.paths if os.path.lexists(p)} - existed
        self.assertEqual({p for p in left if not os.path.isdir(p)}, set(CHROMIUM_MANIFESTS))
        run("dpkg", "--purge", PACKAGE)
        self.assertEqual({p for p in self.paths if os.path.lexists(p)} - existed, set())
        self.assertFalse(installed())
        browser_check("purged", self.key_id, scenarios=1)


if __name__ == "__main__":
    reason = unavailable()
    if reason:
        print("SKIPPED: " + reason)
        sys.exit(77)
    # A CTest timeout ends the suite with SIGTERM: as an exception, it still
    # runs the cleanups that purge the package.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("SIGTERM"))
    program = unittest.main(argv=[sys.argv[0], "-v"], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)
