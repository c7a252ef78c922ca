"""The Windows installer, run by Wine's msiexec in the suites' private prefix:
it installs for the current user and registers the host with Chrome, Edge and
Firefox, the installed host answers, a newer build replaces it, an older one
is refused, msiexec properties change the registration, and uninstalling
leaves the prefix as it was.

KELTO_MSI names the built installer; KELTO_CMAKE, KELTO_MSI_SCRIPT and
KELTO_MSI_SETTINGS build it again as a newer version, and for an extension
key the suite makes, whose id that installer must allow."""
import os
import shutil
import subprocess
import tempfile
import unittest

from hostproc import TIMEOUT, host_env
from packages import (FIREFOX_ID, HOST_NAME, KEYS, ORIGIN, check_registration,
                      extension_id, full_key, make_key, list_containers, reg_query, registered_manifests, unix_path,
                      wine)

MSI = os.environ.get("KELTO_MSI", "")
BUILD = [os.environ.get(v, "") for v in ("KELTO_CMAKE", "KELTO_MSI_SCRIPT",
                                         "KELTO_MSI_SETTINGS")]
# The keys the product writes and their parents, where no key may be left
# behind; and Windows Installer's own records of products, whose keys it may
# keep (empty) once made.
OWN_KEYS = (r"HKCU\Software\keltoDataSigned", r"HKCU\Software\Google",
            r"HKCU\Software\Microsoft\Edge", r"HKCU\Software\Mozilla")
INSTALLER_KEYS = (r"HKCU\Software\Microsoft\Installer",
                  r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer",
                  r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall")


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", msi, "Property"], stdout=subprocess.PIPE,
                           text=True, check=True, timeout=TIMEOUT).stdout
    values = dict(line.split("\t", 1) for line in table.splitlines()[3:] if "\t" in line)
    return values[name]


def windows_path(path):
    return wine("winepath", "-w", path).stdout.strip()


def tree(top):
    """Every path under `top`, relative to it, or None when it does not exist."""
    if not os.path.isdir(top):
        return None
    return sorted(os.path.relpath(os.path.join(d, n), top)
                  for d, dirs, files in os.walk(top) for n in dirs + files)


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for name, value in (("KELTO_MSI", MSI), ("KELTO_CMAKE", BUILD[0]),
                            ("KELTO_MSI_SCRIPT", BUILD[1]), ("KELTO_MSI_SETTINGS", BUILD[2])):
            if not os.path.isfile(value):
                raise RuntimeError("%s must name what tests/package.cmake gives, got %r" %
                                   (name, value))
        cls.tmp = tempfile.mkdtemp(prefix="kelto msi ")
        cls.code = msi_property(MSI, "ProductCode")
        local = unix_path(wine("cmd", "/c", "echo %LOCALAPPDATA%").stdout.strip())
        cls.programs = os.path.join(local, "Programs")
        cls.installed = os.path.join(cls.programs, "keltoDataSigned")
        cls.cache = unix_path(r"C:\windows\Installer")
        cls.log = os.path.join(cls.tmp, "msiexec.log")
        cls.log_win, cls.msi = windows_path(cls.log), windows_path(MSI)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def msiexec(self, *args):
        """Runs msiexec without UI; returns its exit status and verbose log."""
        if os.path.exists(self.log):
            os.remove(self.log)
        # No pipes: the services msiexec starts would hold them open long after.
        proc = subprocess.run(["wine", "msiexec", *args, "/qn", "/l*v", self.log_win],
                              env=host_env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=TIMEOUT)
        text = ""
        if os.path.exists(self.log):
            with open(self.log, "rb") as f:
                raw = f.read()
            text = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "utf-8", "replace")
        return proc.returncode, text

    def install(self, msi, *properties):
        """Installs `msi` (a Windows path)."""
        status, log = self.msiexec("/i", msi, *properties)
        self.assertEqual(status, 0, log[-3000:])

    def uninstall_later(self, *codes):
        for code in codes:
            self.addCleanup(self.msiexec, "/x", code)

    def products(self):
        """Product codes of the installed keltoDataSigned entries."""
        listing = wine("uninstaller", "--list").stdout.splitlines()
        return [line.split("|")[0] for line in listing if line.endswith("|keltoDataSigned")]

    def state(self):
        """The watched registry keys and values, and the files of the per-user
        programs folder and of the installer cache (which msiexec makes)."""
        found = reg_query(*OWN_KEYS, *INSTALLER_KEYS, recursive=True)
        return found, tree(self.programs), tree(self.cache) or []

    def assert_state(self, before):
        """No file, value or key of the product is left, and nothing else is
        gone but empty keys (Wine's msiexec deletes those left empty, made by
        it or not)."""
        found, programs, cache = self.state()
        self.assertEqual((programs, cache), before[1:])
        own = tuple(full_key(key) for key in OWN_KEYS)
        self.assertLessEqual({k for k in found if k.startswith(own)}, set(before[0]))
        self.assertEqual({k: v for k, v in found.items() if v},
                         {k: v for k, v in before[0].items() if v})

    def newer_build(self, readme):
        """The same installer as the next patch version, with `readme` as its
        README; returns its Windows path and product code."""
        version = msi_property(MSI, "ProductVersion").split(".")
        version[-1] = str(int(version[-1]) + 1)
        readme_path = os.path.join(self.tmp, "README.md")
        with open(readme_path, "w", encoding="utf-8") as f:
            f.write(readme)
        settings = os.path.join(self.tmp, "settings.cmake")
        with open(settings, "w", encoding="utf-8") as f:
            f.write("include([[%s]])\nset(KELTO_MSI_README [[%s]])\n" % (BUILD[2], readme_path))
        return self.build_msi("newer.msi", ".".join(version), settings)

    def build_msi(self, name, version, settings=BUILD[2], *defines):
        """Builds the installer again as `name`; returns its Windows path and product code."""
        msi = os.path.join(self.tmp, name)
        subprocess.run([BUILD[0], "-DKELTO_MSI_SETTINGS=" + settings,
                        "-DKELTO_MSI_VERSION=" + version, "-DKELTO_MSI_OUTPUT=" + msi,
                        *defines, "-P", BUILD[1]],
                       check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        return windows_path(msi), msi_property(msi, "ProductCode")

    def assert_registered(self, name, origins, firefox_ids, folder):
        check_registration(self, name, origins, firefox_ids,
                           os.path.join(folder, "keltoDataSigned.chrome.json"),
                           os.path.join(folder, "keltoDataSigned.firefox.json"),
                           os.path.join(folder, "keltoDataSigned.exe"))

    def test_install_upgrade_refused_downgrade_and_uninstall(self):
        before = self.state()
        self.assertEqual(self.products(), [])
        newer, newer_code = self.newer_build("the newer build\n")
        self.assertNotEqual(newer_code, self.code)
        self.uninstall_later(self.code, newer_code)

        self.install(self.msi)
        self.assert_registered(HOST_NAME, [ORIGIN], [FIREFOX_ID], self.installed)
        with open(os.path.join(self.installed, "LICENSE.txt"), encoding="utf-8") as f:
            self.assertIn("Apache License", f.read())
        self.assertEqual(self.products(), [self.code])
        # Reached the way a browser reaches it: the program its manifest names.
        exe = os.path.join(self.installed, "keltoDataSigned.exe")
        reply = list_containers(["wine", exe], env=host_env())
        self.assertEqual(reply["data"]["result"], "success", reply)

        self.install(newer)
        self.assertEqual(self.products(), [newer_code])
        with open(os.path.join(self.installed, "README.md"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "the newer build\n")
        self.assert_registered(HOST_NAME, [ORIGIN], [FIREFOX_ID], self.installed)

        status, log = self.msiexec("/i", self.msi)
        self.assertNotEqual(status, 0, "the older version was installed over the newer")
        self.assertEqual(self.products(), [newer_code])
        self.assert_registered(HOST_NAME, [ORIGIN], [FIREFOX_ID], self.installed)

        status, log = self.msiexec("/x", newer)
        self.assertEqual(status, 0, log[-3000:])
        self.assertEqual(self.products(), [])
        self.assert_state(before)

    def test_properties_are_checked_used_and_remembered_for_uninstall(self):
        before = self.state()
        self.uninstall_later(self.code)
        for setting in (r"HOST_NAME=com\kelto",
                        "ALLOWED_ORIGINS=%s chrome-extension://abcdefghijklmnop/" % ORIGIN,
                        "ALLOWED_ORIGINS= , ", "FIREFOX_IDS=a/b@c.org"):
            with self.subTest(setting=setting):
                status, log = self.msiexec("/i", self.msi, setting)
                self.assertNotEqual(status, 0)
                self.assertIn("keltoDataSigned: " + setting.split("=")[0], log)
        self.assert_state(before)

        # A folder of the person's choice, whose name JSON and cmd must quote.
        folder = os.path.join(self.tmp, "signer & co (x)")
        name = "org.example.signer_2"
        chrome = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"
        edge = "chrome-extension://aaaaaaaaaaaaaaaabbbbbbbbbbbbbbbb/"
        guid = "{0B1C2D3E-4f50-6172-8394-a5b6c7d8e9f0}"
        self.install(self.msi, "HOST_NAME=" + name, "ALLOWED_ORIGINS=%s, %s" % (chrome, edge),
                     "FIREFOX_IDS=%s;a.b@c.org" % guid, "INSTALLDIR=" + windows_path(folder))
        self.assert_registered(name, [chrome, edge], [guid, "a.b@c.org"], folder)
        self.assertEqual(registered_manifests(HOST_NAME), dict.fromkeys(KEYS))

        # msiexec /x as people run it, without the properties.
        status, log = self.msiexec("/x", self.msi)
        self.assertEqual(status, 0, log[-3000:])
        self.assertFalse(os.path.exists(folder))
        self.assert_state(before)

        # Built for the extension signed with another key, it allows that key's id.
        key = make_key(self.tmp)
        keyed, _ = self.build_msi("keyed.msi", msi_property(MSI, "ProductVersion"), BUILD[2],
                                  "-DKELTO_EXTENSION_KEY=" + key)
        self.install(keyed)
        self.assert_registered(HOST_NAME, ["chrome-extension://%s/" % extension_id(key)],
                               [FIREFOX_ID], self.installed)
        status, log = self.msiexec("/x", keyed)
        self.assertEqual(status, 0, log[-3000:])
        self.assert_state(before)


if __name__ == "__main__":
    unittest.main()
