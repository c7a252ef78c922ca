"""The MSI under Wine's msiexec in the private prefix: registration, upgrade,
refused downgrade, properties, a clean uninstall. KELTO_MSI names it;
KELTO_CMAKE, KELTO_MSI_SCRIPT and KELTO_MSI_SETTINGS build it again."""
import os
import shutil
import subprocess
import tempfile
import unittest

from hostproc import TIMEOUT, host_env
from packages import (FIREFOX_ID, HOST_NAME, KEYS, ORIGIN, OTHER_NAME, OTHER_ORIGINS,
                      check_host_answers, check_registration, extension_id, full_key, make_key,
                      reg_query, registered_manifests, unix_path, wine)

ENV = ("KELTO_MSI", "KELTO_CMAKE", "KELTO_MSI_SCRIPT", "KELTO_MSI_SETTINGS")
MSI, CMAKE, SCRIPT, SETTINGS = (os.environ.get(name, "") for name in ENV)
# The keys the product writes and their parents, where no key may be left
# behind; and Windows Installer's own records, whose keys it may keep (empty).
OWN_KEYS = (r"HKCU\Software\keltoDataSigned", r"HKCU\Software\Google",
            r"HKCU\Software\Microsoft\Edge", r"HKCU\Software\Mozilla")
INSTALLER_KEYS = (r"HKCU\Software\Microsoft\Installer",
                  r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer",
                  r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall")


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", msi, "Property"], stdout=subprocess.PIPE,
                           text=True, check=True, timeout=TIMEOUT).stdout
    return dict(line.split("\t", 1) for line in table.splitlines()[3:] if "\t" in line)[name]


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
        for name in ENV:
            if not os.path.isfile(os.environ.get(name, "")):
                raise RuntimeError("%s must name what tests/package.cmake gives" % name)
        cls.tmp = tempfile.mkdtemp(prefix="kelto msi ")
        cls.code, cls.version = (msi_property(MSI, p) for p in ("ProductCode", "ProductVersion"))
        local = unix_path(wine("cmd", "/c", "echo %LOCALAPPDATA%").stdout.strip())
        cls.programs = os.path.join(local, "Programs")
        cls.installed = os.path.join(cls.programs, "keltoDataSigned")
        cls.cache = unix_path(r"C:\windows\Installer")
        cls.log = os.path.join(cls.tmp, "msiexec.log")
        cls.log_win, cls.msi = windows_path(cls.log), windows_path(MSI)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def msiexec(self, *args, ok=True):
        """msiexec without UI: its status and verbose log; asserts success if `ok`."""
        if os.path.exists(self.log):
            os.remove(self.log)
        # No pipes: the services msiexec starts would hold them open long after.
        status = subprocess.run(["wine", "msiexec", *args, "/qn", "/l*v", self.log_win],
                                env=host_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=TIMEOUT).returncode
        log = ""
        if os.path.exists(self.log):
            with open(self.log, "rb") as f:
                raw = f.read()
            log = raw.decode("utf-16" if raw[:2] == b"\xff\xfe" else "utf-8", "replace")
        if ok:
            self.assertEqual(status, 0, log[-3000:])
        return status, log

    def products(self):
        """Product codes of the installed keltoDataSigned entries."""
        listing = wine("uninstaller", "--list").stdout.splitlines()
        return [line.split("|")[0] for line in listing if line.endswith("|keltoDataSigned")]

    def state(self):
        """The watched registry keys, and the files of the programs folder and installer cache."""
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

    def build_msi(self, name, version, *defines, readme=None):
        """Builds the installer again as `name`; returns its Windows path and product code."""
        msi, settings = os.path.join(self.tmp, name), SETTINGS
        if readme:
            settings = os.path.join(self.tmp, name + ".cmake")
            with open(os.path.join(self.tmp, "README.md"), "w", encoding="utf-8") as f:
                f.write(readme)
            with open(settings, "w", encoding="utf-8") as f:
                f.write("include([[%s]])\nset(KELTO_MSI_README [[%s]])\n" %
                        (SETTINGS, os.path.join(self.tmp, "README.md")))
        subprocess.run([CMAKE, "-DKELTO_MSI_SETTINGS=" + settings, "-DKELTO_MSI_VERSION=" + version,
                        "-DKELTO_MSI_OUTPUT=" + msi, *defines, "-P", SCRIPT],
                       check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        return windows_path(msi), msi_property(msi, "ProductCode")

    def assert_registered(self, name=HOST_NAME, origins=(ORIGIN,), firefox_ids=(FIREFOX_ID,),
                          folder=None):
        folder = folder or self.installed
        check_registration(self, name, list(origins), list(firefox_ids), folder, "keltoDataSigned",
                           os.path.join(folder, "keltoDataSigned.exe"))

    def test_install_upgrade_refused_downgrade_and_uninstall(self):
        before = self.state()
        self.assertEqual(self.products(), [])
        version = self.version.split(".")
        version[-1] = str(int(version[-1]) + 1)
        newer, newer_code = self.build_msi("newer.msi", ".".join(version),
                                           readme="the newer build\n")
        self.assertNotEqual(newer_code, self.code)
        for code in (self.code, newer_code):
            self.addCleanup(self.msiexec, "/x", code, ok=False)

        self.msiexec("/i", self.msi)
        self.assert_registered()
        with open(os.path.join(self.installed, "LICENSE.txt"), encoding="utf-8") as f:
            self.assertIn("Apache License", f.read())
        self.assertEqual(self.products(), [self.code])
        check_host_answers(self, os.path.join(self.installed, "keltoDataSigned.exe"))

        self.msiexec("/i", newer)
        self.assertEqual(self.products(), [newer_code])
        with open(os.path.join(self.installed, "README.md"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "the newer build\n")
        status, _ = self.msiexec("/i", self.msi, ok=False)
        self.assertNotEqual(status, 0, "the older version was installed over the newer")
        self.assertEqual(self.products(), [newer_code])
        self.assert_registered()

        self.msiexec("/x", newer)
        self.assertEqual(self.products(), [])
        self.assert_state(before)

    def test_properties_are_checked_used_and_remembered_for_uninstall(self):
        before = self.state()
        self.addCleanup(self.msiexec, "/x", self.code, ok=False)
        for setting in (r"HOST_NAME=com\kelto",
                        "ALLOWED_ORIGINS=%s chrome-extension://abcdefghijklmnop/" % ORIGIN,
                        "ALLOWED_ORIGINS= , ", "FIREFOX_IDS=a/b@c.org"):
            with self.subTest(setting=setting):
                status, log = self.msiexec("/i", self.msi, setting, ok=False)
                self.assertNotEqual(status, 0)
                self.assertIn("keltoDataSigned: " + setting.split("=")[0], log)
        self.assert_state(before)

        # A folder of the person's choice, whose name JSON and cmd must quote.
        folder = os.path.join(self.tmp, "signer & co (x)")
        guid = "{0B1C2D3E-4f50-6172-8394-a5b6c7d8e9f0}"
        self.msiexec("/i", self.msi, "HOST_NAME=" + OTHER_NAME,
                     "ALLOWED_ORIGINS=%s, %s" % tuple(OTHER_ORIGINS),
                     "FIREFOX_IDS=%s;a.b@c.org" % guid, "INSTALLDIR=" + windows_path(folder))
        self.assert_registered(OTHER_NAME, OTHER_ORIGINS, [guid, "a.b@c.org"], folder)
        self.assertEqual(registered_manifests(HOST_NAME), dict.fromkeys(KEYS))
        # msiexec /x as people run it, without the properties.
        self.msiexec("/x", self.msi)
        self.assertFalse(os.path.exists(folder))
        self.assert_state(before)

        # Built for the extension signed with another key, it allows that key's id.
        key = make_key(self.tmp)
        keyed, _ = self.build_msi("keyed.msi", self.version, "-DKELTO_EXTENSION_KEY=" + key)
        self.msiexec("/i", keyed)
        self.assert_registered(origins=["chrome-extension://%s/" % extension_id(key)])
        self.msiexec("/x", keyed)
        self.assert_state(before)


if __name__ == "__main__":
    unittest.main()
