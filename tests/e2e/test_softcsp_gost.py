"""GOST keys that users bring, and GOST without the OpenSSL gost engine.
(Signatures of every GOST provider are checked in the host's action suites.)"""
import json
import unittest

from fixture import ENGINE, GOST_2001, GOST_2012, STRONG, HostCase, needs_gost


@needs_gost
class GostSignatures(HostCase):
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
        pub = self.path("pub.pem")
        self.openssl("pkey", *ENGINE, "-in", key, "-pubout", "-out", pub)
        self.verify_raw(self.signed({"requestAction": "getSignature", "providerName": GOST_2012,
                                     "containerName": "g", "password": "7",
                                     "fileDataPath": data}),
                        pub, data, "-md_gost12_256", ENGINE)

    def test_without_the_engine_gost_providers_are_not_installed(self):
        env = dict(self.env, OPENSSL_ENGINES=self.path("no-engines"), OPENSSL_CONF="/dev/null")
        listing = json.loads(self.call({"requestAction": "getListContainer",
                                        "providerName": GOST_2001}, env=env))["data"]
        self.assertTrue(listing["description"].startswith("Error 0x80090019 - "), listing)
        proc = self.keytool("generate", "--provider", GOST_2012, "--container", "x",
                            ok=False, env=env)
        self.assertEqual(len(proc.stderr.decode().strip().splitlines()), 1)
        self.assertIn("80\t%s\tunavailable: " % GOST_2012,
                      self.keytool("providers", env=env).stdout.decode())
        # RSA keeps working.
        self.assertIn('"result":"success"', self.call({"requestAction": "getListContainer",
                                                       "providerName": STRONG}, env=env))


if __name__ == "__main__":
    unittest.main()
