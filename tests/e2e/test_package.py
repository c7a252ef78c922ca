"""The Windows package: its zip's contents, and install.cmd / uninstall.cmd run
by Wine's cmd in the private prefix, checked through `wine reg query` and the
manifests they write. KELTO_PACKAGE names the zip."""
import os
import shutil
import tempfile
import unittest
import zipfile

from packages import (FIREFOX_ID, HOST_NAME, KEYS, ORIGIN, OTHER_NAME, OTHER_ORIGINS,
                      check_registration, registered_manifests, wine)

PACKAGE = os.environ.get("KELTO_PACKAGE", "")
TOP = os.path.splitext(os.path.basename(PACKAGE))[0]
# Each refused before anything is written: names the browsers refuse or that
# reach other registry keys, origins that are no Chromium origin, add-on ids
# that need escaping, and what is no option at all.
BAD_ARGUMENTS = [
    ("install.cmd", "--name", "Com.kelto"), ("install.cmd", "--name", "com..kelto"),
    ("install.cmd", "--name", ".kelto"), ("install.cmd", "--name", r"..\..\Run"),
    ("install.cmd", "--origin", "chrome-extension://abcdefghijklmnop/"),
    ("install.cmd", "--origin", ORIGIN[:-1]), ("install.cmd", "--origin", ORIGIN.replace("a", "z")),
    ("install.cmd", "--firefox-id", "a/b@c"), ("install.cmd", "--name"), ("install.cmd", "--bogus"),
    ("uninstall.cmd", "--name", r"com\kelto")]


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(PACKAGE):
            raise RuntimeError("KELTO_PACKAGE must name the built zip, got %r" % PACKAGE)
        # Spaces, "&" and parentheses in the folder: the scripts must quote it.
        cls.tmp = tempfile.mkdtemp(prefix="kelto pkg & (x) ")
        with zipfile.ZipFile(PACKAGE) as archive:
            cls.members = archive.namelist()
            archive.extractall(cls.tmp)
        cls.dir = os.path.join(cls.tmp, TOP)
        cls.exe = os.path.join(cls.dir, "keltoDataSigned.exe")
        os.chmod(cls.exe, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def script(self, name, *args, status=0):
        proc = wine("cmd", "/c", name, *args, cwd=self.dir)
        self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
        return proc

    def manifests(self):
        return sorted(f for f in os.listdir(self.dir) if f.endswith(".json"))

    def assert_installed(self, name, origins, firefox_ids):
        check_registration(self, name, origins, firefox_ids, self.dir, name, self.exe)

    def test_zip_holds_one_folder_with_the_exe_template_and_scripts(self):
        self.assertRegex(TOP, r"^keltoDataSigned-\d+\.\d+\.\d+-win64$")
        self.assertTrue(all(m.startswith(TOP + "/") for m in self.members), self.members)
        self.assertEqual({m[len(TOP) + 1:] for m in self.members if not m.endswith("/")},
                         {"keltoDataSigned.exe", "host-manifest.json.in", "install.cmd",
                          "uninstall.cmd", "README.md", "LICENSE.txt"})
        # Windows' cmd can miss labels in scripts with bare line feeds.
        for script in ("install.cmd", "uninstall.cmd"):
            with open(os.path.join(self.dir, script), "rb") as f:
                text = f.read()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), script)

    def test_installs_with_defaults_and_arguments_side_by_side_and_uninstall_each(self):
        self.addCleanup(self.script, "uninstall.cmd", "--name", OTHER_NAME)
        self.addCleanup(self.script, "uninstall.cmd")
        self.script("install.cmd")
        self.assert_installed(HOST_NAME, [ORIGIN], [FIREFOX_ID])

        guid = "{0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0}"
        self.script("install.cmd", "--name", OTHER_NAME, "--origin", OTHER_ORIGINS[0],
                    "--origin", OTHER_ORIGINS[1], "--firefox-id", guid)
        self.assert_installed(OTHER_NAME, OTHER_ORIGINS, [guid])
        # Installed again with other values, it replaces them.
        self.script("install.cmd", "--firefox-id", "a.b@c.org", "--name", OTHER_NAME)
        self.assert_installed(OTHER_NAME, [ORIGIN], ["a.b@c.org"])

        self.script("uninstall.cmd", "--name", OTHER_NAME)
        self.assertEqual(registered_manifests(OTHER_NAME), dict.fromkeys(KEYS))
        self.assert_installed(HOST_NAME, [ORIGIN], [FIREFOX_ID])
        self.script("uninstall.cmd")
        self.assertEqual(registered_manifests(HOST_NAME), dict.fromkeys(KEYS))
        self.assertEqual(self.manifests(), [])
        self.assertTrue(os.path.isfile(self.exe))

    def test_bad_arguments_fail_before_anything_changes(self):
        for script, *args in BAD_ARGUMENTS:
            with self.subTest(args=args):
                proc = wine("cmd", "/c", script, *args, cwd=self.dir)
                written = self.manifests()
                for name in written:  # so that one fault does not fail every case
                    os.remove(os.path.join(self.dir, name))
                self.assertEqual((proc.returncode, written), (2, []), proc.stdout)
                self.assertIn(script + ":", proc.stderr)
        self.assertEqual(registered_manifests(HOST_NAME), dict.fromkeys(KEYS))


if __name__ == "__main__":
    unittest.main()
