"""kelto-keytool's command-line contract. The default container and the
listings of damaged stores are held by the host's suites."""
import hashlib
import os
import re
import shutil
import stat
import subprocess
import unittest

from fixture import STRONG, HostCase

MANPAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                       "keytool", "kelto-keytool.1")
LISTED = "1\t" + STRONG + "\t"  # how list shows a container of the RSA provider


class KeytoolContainers(HostCase):
    def test_generate_list_export_delete_on_owner_only_files_without_the_pin(self):
        made = self.keytool("generate", "--provider", STRONG, "--container", "b", "--no-cert")
        self.assertEqual(made.stdout.decode(),
                         'container "b": new signature key, without a PIN, no certificate\n')
        pin = b"Pin-That-Must-Not-Leak-42"
        made = self.keytool("generate", "--provider", STRONG, "--container", "a", "--store",
                            "--subject", "CN=Alice,O=Example", "--days", "30", "--pin", pin.decode())
        self.assertEqual(made.stdout.decode(), 'container "a": new signature key, protected by '
                                               'a PIN, certificate O=Example,CN=Alice, also in MY\n')
        self.assertEqual(self.keytool("list").stdout.decode(), LISTED + "a\n" + LISTED + "b\n")
        root = os.path.join(self.env["XDG_DATA_HOME"], "keltoDataSigned")
        files = []
        for dirpath, _, filenames in os.walk(root):
            self.assertEqual(stat.S_IMODE(os.stat(dirpath).st_mode), 0o700, dirpath)
            files += [os.path.join(dirpath, name) for name in filenames]
        for name in files:
            self.assertEqual(stat.S_IMODE(os.stat(name).st_mode), 0o600, name)
            self.assertNotIn(pin, self.read(name))
        self.assertEqual(len(files), 3)  # two keys and a certificate in "MY"

        self.keytool("export-cert", "--provider", STRONG, "--container", "a",
                     "--out", self.path("a.der"))
        subject = self.openssl("x509", "-inform", "DER", "-in", self.path("a.der"),
                               "-noout", "-subject", "-nameopt", "RFC2253").stdout
        self.assertEqual(subject.strip(), b"subject=O=Example,CN=Alice")
        self.keytool("export-cert", "--provider", STRONG, "--container", "b",
                     "--out", self.path("b.der"), ok=False)

        # An existing key is never overwritten; the other key spec is free.
        key_file = os.path.join(root, "softcsp/containers/1/a/signature.p12")
        before = self.read(key_file)
        self.keytool("generate", "--provider", STRONG, "--container", "a", ok=False)
        self.assertEqual(self.read(key_file), before)
        self.keytool("generate", "--provider", STRONG, "--container", "a",
                     "--keyspec", "exchange")
        self.keytool("delete", "--provider", STRONG, "--container", "a")
        self.assertEqual(self.keytool("list").stdout.decode(), LISTED + "b\n")
        proc = self.keytool("delete", "--provider", STRONG, "--container", "a", ok=False)
        self.assertEqual(len(proc.stderr.splitlines()), 1)

    def test_unknown_command_and_provider_fail_with_one_line(self):
        for args in (["frobnicate"], ["list", "--provider", "Microsoft Weak Provider"],
                     ["generate", "--provider", STRONG], ["list", "--pin"],
                     ["generate", "--provider", STRONG, "--container", "x", "--pin", "1",
                      "--ask-pin"]):
            proc = self.keytool(*args, ok=False)
            self.assertEqual(proc.returncode, 1)
            self.assertEqual(len(proc.stderr.strip().splitlines()), 1, proc.stderr)
        self.assertEqual(self.keytool("list").stdout, b"")

    def test_help_explains_every_command_and_the_manual_page_too(self):
        usage = self.keytool("--help").stdout.decode()
        self.assertEqual(self.keytool("help").stdout.decode(), usage)
        self.assertEqual(self.keytool(ok=False).stderr.decode(), usage)
        commands = re.findall(r"^  ([a-z-]+) ", usage, re.MULTILINE)
        self.assertIn("providers", commands)
        with open(MANPAGE, encoding="utf-8") as f:
            manual = f.read()
        for command in commands[:-1]:  # all but help itself
            with self.subTest(command=command):
                text = self.keytool(command, "--help").stdout.decode()
                self.assertEqual(self.keytool("help", command).stdout.decode(), text)
                self.assertRegex(text, r"\AUsage: kelto-keytool %s\b" % command)
                self.assertIn(".B " + command.replace("-", "\\-"), manual)
        self.assertIn("1\t" + STRONG + "\n", self.keytool("providers").stdout.decode())
        if shutil.which("man"):
            rendered = subprocess.run(["man", "--warnings", "-l", MANPAGE], capture_output=True,
                                      env=dict(self.env, MANWIDTH="80"))
            self.assertEqual((rendered.returncode, rendered.stderr), (0, b""))

    def make_pfx(self, password, *export_options):
        key, cert = self.path("key.pem"), self.path("cert.pem")
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-out", cert, "-subj", "/CN=Imported", "-days", "10")
        self.openssl("pkcs12", "-export", *export_options, "-inkey", key, "-in", cert,
                     "-out", self.path("user.pfx"), "-passout", "pass:" + password)
        self.openssl("x509", "-in", cert, "-outform", "DER", "-out", self.path("cert.der"))
        return self.path("user.pfx")

    def test_imported_pfx_signs_under_the_new_pin_and_its_certificate_is_in_my(self):
        pfx = self.make_pfx("pfxpass")
        proc = self.keytool("import", "--provider", STRONG, "--container", "imp",
                            "--pfx", pfx, "--pfx-password", "wrong", ok=False)
        self.assertEqual(len(proc.stderr.splitlines()), 1)
        self.assertEqual(self.keytool("list").stdout, b"")
        self.keytool("import", "--provider", STRONG, "--container", "imp", "--pfx", pfx,
                     "--pfx-password", "pfxpass", "--pin", "newpin", "--store")
        cert = self.read(self.path("cert.der"))
        self.keytool("export-cert", "--provider", STRONG, "--container", "imp",
                     "--out", self.path("exported.der"))
        self.assertEqual(self.read(self.path("exported.der")), cert)
        # Added again, in PEM: still one certificate; what is none is refused.
        self.keytool("store-add", "--cert", self.path("cert.pem"))
        self.assertEqual(self.keytool("store-list").stdout.decode(),
                         hashlib.sha1(cert).hexdigest() + "\tCN=Imported\n")
        self.keytool("store-add", "--cert", self.write("junk.der", b"not a certificate"),
                     ok=False)

        data = self.write("data.bin", b"imported key signs")
        signing = {"requestAction": "getSignature", "providerName": STRONG,
                   "containerName": "imp", "password": "newpin", "fileDataPath": data}
        self.verify_raw(self.signed(signing), cert, data, "-sha1")
        # The PFX password protects nothing any more.
        self.assertSystemError(dict(signing, password="pfxpass"), 0x8010006B)
        # A second import into the same key spec is refused; the other spec
        # takes one with the legacy encryption.
        self.keytool("import", "--provider", STRONG, "--container", "imp", "--pfx", pfx,
                     "--pfx-password", "pfxpass", ok=False)
        pfx = self.make_pfx("old", "-legacy")
        self.keytool("import", "--provider", STRONG, "--container", "imp", "--pfx", pfx,
                     "--pfx-password", "old", "--keyspec", "exchange")
        self.keytool("export-cert", "--provider", STRONG, "--container", "imp",
                     "--keyspec", "exchange", "--out", self.path("exported.der"))
        self.assertEqual(self.read(self.path("exported.der")), self.read(self.path("cert.der")))


if __name__ == "__main__":
    unittest.main()
