"""The Debian package as the build makes it and again by CPack with a
throwaway key, checked by lintian, then installed for real (plain, then keyed
over it), met by the browsers (tests/browser/installed.mjs), removed and
purged. Run as a program: it exits 77 where it cannot install system-wide (not
root, no dpkg) or the package is already installed. KELTO_DEB names the
package, KELTO_CPACK(_CONFIG) make it again, KELTO_NODE runs the browser check."""
import base64
import io
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
from packages import (FIREFOX_ID, HOST_NAME, IDENTITY, ORIGIN, REPO, VERSION, check_manifest,
                      chromium_id, extension_id, make_key, read_json)

DEB = os.environ.get("KELTO_DEB", "")
CPACK_CONFIG = os.environ.get("KELTO_CPACK_CONFIG", "")
PACKAGE = "keltodatasigned"
HOST = "/usr/libexec/keltodatasigned/keltoDataSigned"
KEYTOOL = "/usr/bin/kelto-keytool"
CHROMIUM_MANIFESTS = [d + "/native-messaging-hosts/" + HOST_NAME + ".json"
                      for d in ("/etc/chromium", "/etc/opt/chrome", "/etc/opt/edge")]
FIREFOX_MANIFEST = "/usr/lib/mozilla/native-messaging-hosts/" + HOST_NAME + ".json"
EXTENSION = "/usr/share/chromium/extensions/keltodatasigned"
SHARED = "/usr/share/keltodatasigned"


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
        return {"/" + n.lstrip("./") for n in archive.getnames() if n.lstrip("./")}


def browser_check(mode, ident, scenarios):
    """Runs tests/browser/installed.mjs against what is installed; fails unless
    all its scenarios passed. The check bounds its own steps and puts back what
    it wrote under /etc on failure and on SIGTERM: this timeout only backs that up."""
    env = dict(os.environ, KELTO_HOST=HOST, KELTO_KEYTOOL=KEYTOOL, KELTO_INSTALLED=mode,
               KELTO_EXTENSION_ID=ident, KELTO_POLICIES="/usr/share/doc/keltodatasigned/policies")
    check = subprocess.Popen([os.environ.get("KELTO_NODE") or "node", "--test-reporter=spec",
                              os.path.join(REPO, "tests", "browser", "installed.mjs")],
                             env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
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


def key_id(key):
    """The id Chromium gives an unpacked extension whose manifest has this key."""
    return chromium_id(base64.b64decode(key))


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (os.path.isfile(DEB) and os.path.isfile(CPACK_CONFIG)):
            raise RuntimeError("KELTO_DEB and KELTO_CPACK_CONFIG must name what "
                               "tests/package.cmake gives")
        cls.tmp = tempfile.TemporaryDirectory(prefix="kelto-deb-")
        key = make_key(cls.tmp.name)
        cls.key_id = extension_id(key)
        out = os.path.join(cls.tmp.name, "keyed")
        proc = run(os.environ.get("KELTO_CPACK") or "cpack", "--config", CPACK_CONFIG, "-B", out,
                   check=False, env=dict(os.environ, KELTO_EXTENSION_KEY=key))
        if proc.returncode != 0:
            raise RuntimeError("cpack with a key failed:\n" + proc.stdout)
        cls.keyed = os.path.join(out, os.path.basename(DEB))
        cls.paths = package_paths(DEB) | package_paths(cls.keyed)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_lintian_finds_no_error(self):
        for deb in (DEB, self.keyed):
            proc = run("lintian", deb, check=False)
            self.assertEqual(proc.returncode, 0, proc.stdout)
            self.assertNotRegex(proc.stdout, r"(?m)^E:")

    def assert_installed(self, ident):
        """The package's files are in place and every manifest names `ident`."""
        listed = set(run("dpkg", "--listfiles", PACKAGE).stdout.split())
        for path in [HOST, KEYTOOL, FIREFOX_MANIFEST, EXTENSION + "/manifest.json", *CHROMIUM_MANIFESTS]:
            self.assertTrue(path in listed and os.path.isfile(path), path)
        self.assertTrue(os.access(HOST, os.X_OK) and os.access(KEYTOOL, os.X_OK))
        origin = "chrome-extension://%s/" % ident
        programs = {check_manifest(self, path, HOST_NAME, "allowed_origins", [origin])
                    for path in CHROMIUM_MANIFESTS}
        programs.add(check_manifest(self, FIREFOX_MANIFEST, HOST_NAME, "allowed_extensions",
                                    [FIREFOX_ID]))
        self.assertEqual(programs, {HOST})
        self.assertEqual(key_id(read_json(EXTENSION, "manifest.json")["key"]), ident)
        # Debian's launcher passes every entry there to --load-extension: a file would fail each start.
        parent = os.path.dirname(EXTENSION)
        self.assertEqual([n for n in os.listdir(parent) if not os.path.isdir(os.path.join(parent, n))], [])

    def test_plain_then_keyed_over_it_signs_in_the_browsers_and_purges_clean(self):
        existed = {p for p in self.paths if os.path.lexists(p)}
        self.addCleanup(run, "dpkg", "--purge", PACKAGE, check=False)

        run("dpkg", "--install", DEB)
        usual = key_id(IDENTITY["chromiumExtensionKey"])
        self.assertEqual(ORIGIN, "chrome-extension://%s/" % usual, "identity.json's key gives its id")
        self.assert_installed(usual)
        self.assertFalse(os.path.exists(SHARED + "/updates.xml"))
        fields = run("dpkg-query", "-W", "-f=${Depends}\n${Recommends}", PACKAGE).stdout
        self.assertIn("libssl3", fields)
        self.assertIn("libengine-gost-openssl", fields)

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
