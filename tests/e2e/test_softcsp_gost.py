"""GOST keys that users bring, and GOST without the OpenSSL gost engine.
(Signatures of every GOST provider are checked in the host's action suites.)"""
import subprocess
import unittest

from test_softcsp_common import GOST_2001, GOST_2012, STRONG, StoreMixin

ENGINE = ("-engine", "gost")


def engine_available():
    return subprocess.run(["openssl", "engine", "gost"], capture_output=True).returncode == 0


@unittest.skipUnless(engine_available(), "the OpenSSL gost engine is not installed")
class GostSignatures(StoreMixin, unittest.TestCase):
    def test_gost_pfx_from_openssl_imports_and_signs(self):
        key, cert = self.path("key.pem"), self.path("cert.pem")
        self.openssl("genpkey", *ENGINE, "-algorithm", "gost2012_256", "-pkeyopt",
                     "paramset:A", "-out", key)
        self.openssl("req", *ENGINE, "-x509", "-key", key, "-out", cert, "-subj", "/CN=G",
                     "-days", "5", "-md_gost12_256")
        self.openssl("pkcs12", *ENGINE, "-export", "-inkey", key, "-in", cert,
                     "-out", self.path("g.pfx"), "-passout", "pass:pw")
        # A GOST key is refused by the RSA provider, with the reason.
        proc = self.keytool("import", "--provider", STRONG,
                            "--container", "g", "--pfx", self.path("g.pfx"),
                            "--pfx-password", "pw", ok=False)
        self.assertIn(b"GOST", proc.stderr)
        self.keytool("import", "--provider", GOST_2012, "--container", "g",
                     "--pfx", self.path("g.pfx"), "--pfx-password", "pw", "--pin", "7")
        data = self.write("data.bin", b"imported GOST key")
        self.write("sig.bin", self.sign_raw(GOST_2012, "g", "7", data))
        pub = self.path("pub.pem")
        self.openssl("pkey", *ENGINE, "-in", key, "-pubout", "-out", pub)
        self.openssl("dgst", *ENGINE, "-md_gost12_256", "-verify", pub, "-signature",
                     self.path("sig.bin"), data)

    def test_without_the_engine_gost_providers_are_not_installed(self):
        env = dict(self.env, OPENSSL_ENGINES=self.path("no-engines"), OPENSSL_CONF="/dev/null")
        listing = self.host({"requestAction": "getListContainer", "providerName": GOST_2001},
                            env)
        self.assertTrue(listing["description"].startswith("Error 0x80090019 - "), listing)
        proc = self.keytool("generate", "--provider", GOST_2012, "--container", "x",
                            ok=False, env=env)
        self.assertEqual(len(proc.stderr.decode().strip().splitlines()), 1)
        self.assertIn("80\t%s\tunavailable: " % GOST_2012,
                      self.keytool("providers", env=env).stdout.decode())
        # RSA keeps working.
        self.assertEqual(self.host({"requestAction": "getListContainer",
                                    "providerName": STRONG}, env)["result"], "success")


if __name__ == "__main__":
    unittest.main()
