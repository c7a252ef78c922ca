"""The Windows package: its zip's contents, and install.cmd / uninstall.cmd run
by Wine's cmd in the private prefix, checked through `wine reg query` and the
manifests they write. KELTO_PACKAGE names the zip."""
import os
import shutil
import tempfile
import unittest
import zipfile

from hostproc import host_env
from packages import (FIREFOX_ID as DEFAULT_FIREFOX_ID, HOST_NAME as DEFAULT_NAME, KEYS,
                      ORIGIN as DEFAULT_ORIGIN, check_registration, list_containers,
                      registered_manifests, wine)

PACKAGE = os.environ.get("KELTO_PACKAGE", "")
FILES = {"keltoDataSigned.exe", "host-manifest.json.in", "install.cmd", "uninstall.cmd",
         "README.md", "LICENSE.txt"}


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
        top = os.path.splitext(os.path.basename(PACKAGE))[0]
        cls.dir = os.path.join(cls.tmp, top)
        cls.exe = os.path.join(cls.dir, "keltoDataSigned.exe")
        os.chmod(cls.exe, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def script(self, name, *args):
        return wine("cmd", "/c", name, *args, cwd=self.dir)

    def manifests(self):
        return sorted(f for f in os.listdir(self.dir) if f.endswith(".json"))

    def assert_installed(self, name, origins, firefox_ids):
        check_registration(self, name, origins, firefox_ids,
                           os.path.join(self.dir, name + ".chrome.json"),
                           os.path.join(self.dir, name + ".firefox.json"), self.exe)

    def assert_not_installed(self, name):
        self.assertEqual(registered_manifests(name), dict.fromkeys(KEYS))
        self.assertEqual(self.manifests(), [])

    def test_zip_holds_one_folder_with_the_exe_template_and_scripts(self):
        top = os.path.splitext(os.path.basename(PACKAGE))[0]
        self.assertRegex(top, r"^keltoDataSigned-\d+\.\d+\.\d+-win64$")
        files = {m[len(top) + 1:] for m in self.members if not m.endswith("/")}
        self.assertTrue(all(m.startswith(top + "/") for m in self.members), self.members)
        self.assertEqual(files, FILES)
        with open(self.exe, "rb") as f:
            self.assertEqual(f.read(2), b"MZ")
        # Windows' cmd can miss labels in scripts with bare line feeds.
        for script in ("install.cmd", "uninstall.cmd"):
            with open(os.path.join(self.dir, script), "rb") as f:
                text = f.read()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), script)

    def test_install_with_defaults_runs_the_host_and_uninstall_removes_it(self):
        self.addCleanup(self.script, "uninstall.cmd")
        proc = self.script("install.cmd")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assert_installed(DEFAULT_NAME, [DEFAULT_ORIGIN], [DEFAULT_FIREFOX_ID])

        # The browser starts the program the manifest names: it must answer.
        reply = list_containers(["wine", self.exe], env=host_env())
        self.assertEqual(reply["data"]["result"], "success", reply)

        proc = self.script("uninstall.cmd")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assert_not_installed(DEFAULT_NAME)
        self.assertTrue(os.path.isfile(self.exe))

    def test_install_with_arguments_and_again_with_others(self):
        name = "org.example.signer_2"
        self.addCleanup(self.script, "uninstall.cmd", "--name", name)
        chrome = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"
        edge = "chrome-extension://aaaaaaaaaaaaaaaabbbbbbbbbbbbbbbb/"
        guid = "{0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0}"
        proc = self.script("install.cmd", "--name", name, "--origin", chrome,
                           "--origin", edge, "--firefox-id", guid)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assert_installed(name, [chrome, edge], [guid])
        self.assertEqual(registered_manifests(DEFAULT_NAME), dict.fromkeys(KEYS))

        proc = self.script("install.cmd", "--firefox-id", "a.b@c.org", "--name", name)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assert_installed(name, [DEFAULT_ORIGIN], ["a.b@c.org"])

        proc = self.script("uninstall.cmd", "--name", name)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assert_not_installed(name)

    def test_bad_arguments_fail_before_anything_changes(self):
        for script, args in (
                ("install.cmd", ["--name", "Com.kelto"]),
                ("install.cmd", ["--name", "com..kelto"]),
                ("install.cmd", ["--name", ".kelto"]),
                ("install.cmd", ["--name", r"..\..\Run"]),
                ("install.cmd", ["--origin", "chrome-extension://abcdefghijklmnop/"]),
                ("install.cmd", ["--origin", DEFAULT_ORIGIN[:-1]]),
                ("install.cmd", ["--origin", DEFAULT_ORIGIN.replace("a", "z")]),
                ("install.cmd", ["--firefox-id", "a/b@c"]),
                ("install.cmd", ["--name"]),
                ("install.cmd", ["--bogus"]),
                ("uninstall.cmd", ["--name", r"com\kelto"])):
            with self.subTest(script=script, args=args):
                proc = self.script(script, *args)
                written = self.manifests()
                for name in written:  # so that one fault does not fail every case
                    os.remove(os.path.join(self.dir, name))
                self.assertEqual(proc.returncode, 2, proc.stdout)
                self.assertIn(script + ":", proc.stderr)
                self.assertEqual(written, [])
        self.assert_not_installed(DEFAULT_NAME)


if __name__ == "__main__":
    unittest.main()
