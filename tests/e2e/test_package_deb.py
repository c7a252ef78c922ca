"""The Debian package: lintian finds no error in it, and installed on this
machine for real it puts the host, kelto-keytool and the browsers' manifests
in place, the host named by the Chromium manifest answers, `dpkg -r` leaves
only the administrator's files under /etc and `dpkg -P` none.

Run as a program (CTest does): it exits 77, skipped, where it cannot install
system-wide (not root, no dpkg) or where the package is already installed,
which it would otherwise remove. KELTO_DEB names the package file."""
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from hostproc import TIMEOUT
from packages import FIREFOX_ID, HOST_NAME, ORIGIN, STRONG, check_manifest, list_containers

DEB = os.environ.get("KELTO_DEB", "")
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

        # Reached the way a browser reaches it: the program the installed
        # Chromium manifest names, over its pipes, seeing the container the
        # installed kelto-keytool made.
        home = tempfile.mkdtemp(prefix="kelto-deb-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=home, TMPDIR=home)
        subprocess.run([KEYTOOL, "generate", "--provider", STRONG, "--container", "deb-check",
                        "--pin", "1234"], env=env, check=True, stdout=subprocess.DEVNULL,
                       timeout=TIMEOUT)
        reply = list_containers([programs[0]], env=env)
        self.assertEqual((reply["data"]["result"], reply["data"]["containers"]),
                         ("success", "deb-check"), reply)

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
