"""The Debian package: lintian finds no error in it, and installed on this
machine for real it puts the host, kelto-keytool and the browsers' manifests
in place, headless Chromium reaches the installed host through the extension
and the installed manifest, `dpkg -r` leaves only the administrator's files
under /etc and `dpkg -P` none.

Run as a program (CTest does): it exits 77, skipped, where it cannot install
system-wide (not root, no dpkg) or where the package is already installed,
which it would otherwise remove. KELTO_DEB names the package file, KELTO_NODE
the Node.js that runs the browser check (its modules from `npm ci` in
browser/)."""
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import unittest

from hostproc import TIMEOUT
from packages import FIREFOX_ID, HOST_NAME, ORIGIN, REPO, check_manifest

DEB = os.environ.get("KELTO_DEB", "")
NODE = os.environ.get("KELTO_NODE") or "node"
BROWSER_CHECK = os.path.join(REPO, "tests", "browser", "installed-host.mjs")
PACKAGE = "keltodatasigned"
HOST = "/usr/libexec/keltodatasigned/keltoDataSigned"
KEYTOOL = "/usr/bin/kelto-keytool"
CHROMIUM_MANIFESTS = ["/etc/chromium/native-messaging-hosts/",
                      "/etc/opt/chrome/native-messaging-hosts/",
                      "/etc/opt/edge/native-messaging-hosts/"]
FIREFOX_MANIFEST = "/usr/lib/mozilla/native-messaging-hosts/" + HOST_NAME + ".json"
CHROMIUM_MANIFESTS = [d + HOST_NAME + ".json" for d in CHROMIUM_MANIFESTS]


def run(*command, check=True):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=check, timeout=TIMEOUT)


def installed():
    status = run("dpkg-query", "-W", "-f=${Status}", PACKAGE, check=False).stdout
    return status.endswith(" installed") or "config-files" in status


def browser_check():
    """Runs the Chromium check against the installed programs; fails unless
    its one scenario passed. The check bounds its own steps and takes its
    Chromium policy away on failure and on SIGTERM: the timeout here only
    backs that up."""
    env = dict(os.environ, KELTO_HOST=HOST, KELTO_KEYTOOL=KEYTOOL)
    check = subprocess.Popen([NODE, "--test-reporter=spec", BROWSER_CHECK], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        output = check.communicate(timeout=12 * 60)[0]
    except subprocess.TimeoutExpired:
        check.terminate()
        try:
            output = check.communicate(timeout=TIMEOUT)[0]
        except subprocess.TimeoutExpired:
            check.kill()
            output = check.communicate()[0]
        raise AssertionError("the Chromium check did not end:\n" + output)
    # A skipped or empty run exits 0 too.
    if check.returncode != 0 or not re.search(r"^\S+ pass 1$", output, re.MULTILINE):
        raise AssertionError("the Chromium check failed:\n" + output)


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


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(DEB):
            raise RuntimeError("KELTO_DEB must name the built package, got %r" % DEB)
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", DEB], stdout=subprocess.PIPE,
                             check=True, timeout=TIMEOUT).stdout
        with tarfile.open(fileobj=io.BytesIO(tar)) as archive:
            names = archive.getnames()
        # Every file and directory the package holds, as absolute paths.
        cls.paths = sorted({"/" + n.lstrip("./") for n in names if n.lstrip("./")})

    def test_lintian_finds_no_error(self):
        proc = run("lintian", DEB, check=False)
        errors = [line for line in proc.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], proc.stdout)
        self.assertEqual(proc.returncode, 0, proc.stdout)

    def test_install_answer_remove_and_purge(self):
        existed = {p for p in self.paths if os.path.lexists(p)}
        self.addCleanup(run, "dpkg", "--purge", PACKAGE, check=False)
        run("dpkg", "--install", DEB)

        listed = set(run("dpkg", "--listfiles", PACKAGE).stdout.split())
        for path in [HOST, KEYTOOL, FIREFOX_MANIFEST] + CHROMIUM_MANIFESTS:
            self.assertIn(path, listed)
            self.assertTrue(os.path.isfile(path), path)
        for path in (HOST, KEYTOOL):
            self.assertTrue(os.access(path, os.X_OK), path)
        programs = [check_manifest(self, path, HOST_NAME, "allowed_origins", [ORIGIN])
                    for path in CHROMIUM_MANIFESTS]
        programs.append(check_manifest(self, FIREFOX_MANIFEST, HOST_NAME,
                                       "allowed_extensions", [FIREFOX_ID]))
        self.assertEqual(set(programs), {HOST})
        fields = run("dpkg-query", "-W", "-f=${Depends}\n${Recommends}",
                     PACKAGE).stdout
        for text in ("libssl3", "libengine-gost-openssl"):
            self.assertIn(text, fields)

        # Reached the way a browser reaches it: Chromium with the extension,
        # and no manifest of its user's, lists a container the installed
        # kelto-keytool made, through a process of the installed host.
        browser_check()

        # Removing keeps the administrator's files under /etc; purging takes them.
        run("dpkg", "--remove", PACKAGE)
        left = {p for p in self.paths if os.path.lexists(p)} - existed
        self.assertEqual({p for p in left if not os.path.isdir(p)}, set(CHROMIUM_MANIFESTS))
        run("dpkg", "--purge", PACKAGE)
        self.assertEqual({p for p in self.paths if os.path.lexists(p)} - existed, set())
        self.assertFalse(installed())


if __name__ == "__main__":
    reason = unavailable()
    if reason:
        print("SKIPPED: " + reason)
        sys.exit(77)
    program = unittest.main(argv=[sys.argv[0], "-v"], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)
