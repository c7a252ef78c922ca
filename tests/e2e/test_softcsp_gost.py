"""GOST through softcsp and the OpenSSL gost engine, checked by openssl."""
import subprocess
import unittest

from test_softcsp_common import (GOST_2001, GOST_2012, GOST_2012_STRONG,
                                 StoreMixin)

ENGINE = ("-engine", "gost")
CASES = (  # provider, type, hash ALG_ID, openssl digest
    (GOST_2001, 75, "0x801E", "-md_gost94"),
    (GOST_2012, 80, "0x8021", "-md_gost12_256"),
    (GOST_2012_STRONG, 81, "0x8022", "-md_gost12_512"),
)


def engine_available():
    return subprocess.run(["openssl", "engine", "gost"], capture_output=True).returncode == 0


@unittest.skipUnless(engine_available(), "the OpenSSL gost engine is not installed")
class GostSignatures(StoreMixin, unittest.TestCase):
    def test_raw_and_cms_signatures_verify_with_the_gost_engine(self):
        data = self.write("data.bin", b"GOST test content\n" * 300)
        for provider, ptype, alg, digest in CASES:
            with self.subTest(provider):
                self.keytool("generate", "--provider", provider, "--container", "g",
                             "--pin", "0000")
                self.keytool("export-cert", "--provider", provider, "--container", "g",
                             "--out", self.path("g.der"))
                pub = self.public_key("g.der", ENGINE)
                self.probe("sign-raw", provider, ptype, "g", "0000", alg, data,
                           self.path("sig.bin"))
                self.assertEqual(len(self.read("sig.bin")), 128 if ptype == 81 else 64)
                self.openssl("dgst", *ENGINE, digest, "-verify", pub, "-signature",
                             self.path("sig.bin"), data)
                self.write("other.bin", b"other")
                self.openssl("dgst", *ENGINE, digest, "-verify", pub, "-signature",
                             self.path("sig.bin"), self.path("other.bin"), ok=False)

                self.probe("sign-cms", provider, ptype, "g", "0000", "-", "container", data,
                           self.path("msg.p7s"))
                self.openssl("cms", *ENGINE, "-verify", "-binary", "-inform", "DER",
                             "-in", self.path("msg.p7s"), "-content", data, "-noverify",
                             "-out", self.path("out.bin"))
                self.assertEqual(self.message_certificates("msg.p7s", ENGINE),
                                 [self.read("g.der")])
                self.keytool("delete", "--provider", provider, "--container", "g")

    def test_gost_pfx_from_openssl_imports_and_signs(self):
        key, cert = self.path("key.pem"), self.path("cert.pem")
        self.openssl("genpkey", *ENGINE, "-algorithm", "gost2012_256", "-pkeyopt",
                     "paramset:A", "-out", key)
        self.openssl("req", *ENGINE, "-x509", "-key", key, "-out", cert, "-subj", "/CN=G",
                     "-days", "5", "-md_gost12_256")
        self.openssl("pkcs12", *ENGINE, "-export", "-inkey", key, "-in", cert,
                     "-out", self.path("g.pfx"), "-passout", "pass:pw")
        # A GOST key is refused by the RSA provider, with the reason.
        proc = self.keytool("import", "--provider", "Microsoft Strong Cryptographic Provider",
                            "--container", "g", "--pfx", self.path("g.pfx"),
                            "--pfx-password", "pw", ok=False)
        self.assertIn(b"GOST", proc.stderr)
        self.keytool("import", "--provider", GOST_2012, "--container", "g",
                     "--pfx", self.path("g.pfx"), "--pfx-password", "pw", "--pin", "7")
        data = self.write("data.bin", b"imported GOST key")
        self.probe("sign-raw", GOST_2012, 80, "g", "7", "0x8021", data, self.path("sig.bin"))
        pub = self.path("pub.pem")
        self.openssl("pkey", *ENGINE, "-in", key, "-pubout", "-out", pub)
        self.openssl("dgst", *ENGINE, "-md_gost12_256", "-verify", pub, "-signature",
                     self.path("sig.bin"), data)

    def test_gost_providers_of_one_type_share_containers(self):
        self.keytool("generate", "--provider", GOST_2012, "--container", "shared")
        for provider in (GOST_2012, "Crypto-Pro GOST R 34.10-2012 KC2 CSP"):
            self.assertEqual(self.probe("list", provider, 80).stdout, b"shared\n")
        self.assertEqual(self.probe("list", GOST_2012_STRONG, 81).stdout, b"")

    def test_without_the_engine_gost_providers_are_not_installed(self):
        env = dict(self.env, OPENSSL_ENGINES=self.path("no-engines"), OPENSSL_CONF="/dev/null")
        proc = self.probe("list", GOST_2001, 75, ok=False, env=env)
        self.assertIn(b"CryptAcquireContext: 0x80090019", proc.stderr)
        proc = self.keytool("generate", "--provider", GOST_2012, "--container", "x",
                            ok=False, env=env)
        self.assertEqual(len(proc.stderr.decode().strip().splitlines()), 1)
        # RSA keeps working.
        self.probe("list", "Microsoft Strong Cryptographic Provider", 1, env=env)


if __name__ == "__main__":
    unittest.main()
