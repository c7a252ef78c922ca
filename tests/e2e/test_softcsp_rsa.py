"""RSA through softcsp, checked by the openssl command line."""
import unittest

from test_softcsp_common import STRONG, StoreMixin


class RsaSignatures(StoreMixin, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.keytool("generate", "--provider", STRONG, "--container", "signer",
                     "--pin", "1234", "--store")
        self.keytool("export-cert", "--provider", STRONG, "--container", "signer",
                     "--out", self.path("signer.der"))
        self.pub = self.public_key("signer.der")

    def sign_raw(self, container, pin, data_name, alg="0x8004", ok=True):
        return self.probe("sign-raw", STRONG, 1, container, pin, alg, self.path(data_name),
                          self.path("sig.bin"), ok=ok)

    def test_raw_sha1_signature_verifies_for_odd_and_empty_files(self):
        for name, data in (("odd.bin", bytes(range(256)) * 39 + b"x"), ("empty.bin", b"")):
            with self.subTest(name):
                self.write(name, data)
                self.sign_raw("signer", "1234", name)
                self.assertEqual(len(self.read("sig.bin")), 256)
                self.openssl("dgst", "-sha1", "-verify", self.pub, "-signature",
                             self.path("sig.bin"), self.path(name))
                # The check is real: other content fails.
                self.write("other.bin", data + b"!")
                self.openssl("dgst", "-sha1", "-verify", self.pub, "-signature",
                             self.path("sig.bin"), self.path("other.bin"), ok=False)

    def test_sha256_raw_signature_verifies(self):
        self.write("data.bin", b"hello")
        self.sign_raw("signer", "1234", "data.bin", alg="0x800C")
        self.openssl("dgst", "-sha256", "-verify", self.pub, "-signature",
                     self.path("sig.bin"), self.path("data.bin"))

    def test_wrong_or_missing_pin_is_refused(self):
        self.write("data.bin", b"hello")
        proc = self.sign_raw("signer", "4321", "data.bin", ok=False)
        # The signature PIN is refused (wrong PIN), then the exchange PIN
        # (no exchange key): the caller sees the second call's error.
        self.assertIn(b"CryptSetProvParam: 0x8009000D", proc.stderr)
        proc = self.sign_raw("signer", "-", "data.bin", ok=False)
        self.assertIn(b"CryptSignHash: 0x8010006F", proc.stderr)

    def test_exchange_only_container_signs_with_its_exchange_key(self):
        self.keytool("generate", "--provider", STRONG, "--container", "kx",
                     "--keyspec", "exchange", "--pin", "99")
        self.keytool("export-cert", "--provider", STRONG, "--container", "kx",
                     "--keyspec", "exchange", "--out", self.path("kx.der"))
        self.write("data.bin", b"exchange")
        self.sign_raw("kx", "99", "data.bin")
        self.openssl("dgst", "-sha1", "-verify", self.public_key("kx.der"), "-signature",
                     self.path("sig.bin"), self.path("data.bin"))

    def test_detached_cms_from_container_and_store_verifies_and_carries_the_cert(self):
        data = self.write("data.bin", b"\x00\x01 content of a file \r\n" * 500)
        for source, oid in (("container", "-"), ("storage", "1.2.840.113549.1.1.5")):
            with self.subTest(source):
                self.probe("sign-cms", STRONG, 1, "signer", "1234", oid, source, data,
                           self.path("msg.p7s"))
                self.openssl("cms", "-verify", "-binary", "-inform", "DER",
                             "-in", self.path("msg.p7s"), "-content", data, "-noverify",
                             "-out", self.path("out.bin"))
                self.assertEqual(self.message_certificates("msg.p7s"), [self.read("signer.der")])
                printed = self.openssl("cms", "-cmsout", "-print", "-inform", "DER",
                                       "-in", self.path("msg.p7s")).stdout.decode()
                self.assertIn("signingTime", printed)
                self.assertIn("contentType", printed)
                self.assertIn("messageDigest", printed)
                self.assertIn("eContent: <ABSENT>", printed)
                # sha1RSA names SHA-1; the certificate's own algorithm SHA-256.
                self.assertIn("sha1" if oid != "-" else "sha256", printed)
        self.write("tampered.bin", b"tampered")
        self.openssl("cms", "-verify", "-binary", "-inform", "DER", "-in",
                     self.path("msg.p7s"), "-content", self.path("tampered.bin"),
                     "-noverify", "-out", self.path("out.bin"), ok=False)

    def test_store_search_misses_a_key_whose_certificate_is_not_in_my(self):
        self.keytool("generate", "--provider", STRONG, "--container", "unlisted")
        proc = self.probe("cert", STRONG, 1, "unlisted", "-", "storage",
                          self.path("c.der"), ok=False)
        self.assertIn(b"CertFindCertificateInStore: 0x80092004", proc.stderr)
        self.probe("cert", STRONG, 1, "signer", "1234", "storage", self.path("c.der"))
        self.assertEqual(self.read("c.der"), self.read("signer.der"))


if __name__ == "__main__":
    unittest.main()
