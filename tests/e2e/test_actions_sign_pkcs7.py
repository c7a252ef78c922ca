"""Detached PKCS#7 signatures, checked by `openssl cms`: they verify over the
file, embed the container's (or the store's) certificate, carry the signing
time, and name the digest that the certificate's signature algorithm uses
(no provider served here has a hash OID of its own in the table)."""
import base64
import datetime
import json
import re
import unittest

from keystore import PIN, STRONG, HostCase, echo, signing_time

NO_CERTIFICATE = 0x8010002C
NOT_FOUND = 0x80092004
SHA256, SHA384, SHA512 = ("2.16.840.1.101.3.4.2.%d" % i for i in (1, 2, 3))
GOST_DIGESTS = ("1.2.643.2.2.9", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.2.3")


def signing(container, path, provider=STRONG, **extra):
    return dict({"requestAction": "getSignature", "containerName": container,
                 "providerName": provider, "password": PIN, "fileDataPath": path,
                 "signatureType": "PKCS#7"}, **extra)


def now():
    return datetime.datetime.now(datetime.timezone.utc)


class Pkcs7Case(HostCase):
    """How a PKCS#7 reply is checked (no tests of its own)."""

    def check(self, text, request, path, cert, digest, start, engine=()):
        """The reply is exact, and openssl finds the message sound and signed
        between `start` and now; returns the message's bytes."""
        end = now()
        signature = json.loads(text)["data"].get("signature", "")
        self.assertTrue(signature, text)
        self.assertEqual(text, echo(request, result="success", signature=signature))
        certs, printed = self.verify_cms(signature, path, engine)
        self.assertEqual(certs, [cert])
        oids = re.findall(r"digestAlgorithms?:\s*\n\s*algorithm: [^\n]*\(([\d.]+)\)", printed)
        self.assertEqual(oids, [digest, digest], printed)
        self.assertIn("eContent: <ABSENT>", printed)  # detached
        stamp = signing_time(printed)
        self.assertTrue(start <= stamp <= end, "signed at %s, asked %s..%s" % (stamp, start, end))
        return base64.b64decode(signature)

    def sign(self, request, path, cert, digest, engine=()):
        start = now().replace(microsecond=0)
        return self.check(self.call(request), request, path, cert, digest, start, engine)


class Pkcs7Signatures(Pkcs7Case):
    def test_the_certificate_source_and_its_algorithm_decide(self):
        key, in_container = self.import_pfx("p", "-sha384")
        in_store = self.store_other_certificate(key, "-sha512")
        path = self.write("data.bin", b"which certificate?")
        self.sign(signing("p", path), path, in_container, SHA384)
        self.sign(signing("p", path, storageType="STORAGE"), path, in_store, SHA512)
        self.sign(signing("p", path, storageType="storage"), path, in_container, SHA384)
        # In a session an alias outside the table still signs, by the certificate.
        talk = self.conversation()
        opened = json.loads(talk.send({"requestAction": "openCryptoProvider",
                                       "containerName": "p", "providerName": STRONG,
                                       "password": PIN}))["data"]
        request = {"requestAction": "getSignature", "signatureType": "PKCS#7",
                   "handleProvider": opened.get("handleProvider"),
                   "providerName": "no such provider", "fileDataPath": path}
        start = now().replace(microsecond=0)
        self.check(talk.send(request), request, path, in_container, SHA384, start)

    def test_an_exchange_key_and_a_message_above_12288_bytes(self):
        path = self.write("data.bin", b"exchange")
        cert = self.make("e", keyspec="exchange")
        self.sign(signing("e", path), path, cert, SHA256)
        names = ",".join("DNS:host-%04d.signing.example.test" % i for i in range(500))
        _, big = self.import_pfx("big", "-sha256", ("-addext", "subjectAltName=" + names))
        self.assertGreater(len(big), 12288)
        message = self.sign(signing("big", path), path, big, SHA256)
        self.assertGreater(len(message), 12288)

    def test_failures(self):
        self.make("bare", cert=False)
        self.make("c")
        path = self.write("data.bin", b"x")
        self.assertSystemError(signing("bare", path), NO_CERTIFICATE)
        self.assertSystemError(signing("bare", path, storageType="STORAGE"), NOT_FOUND)
        self.assertSystemError(signing("c", path, storageType="STORAGE"), NOT_FOUND)
        self.assertReply(signing("c", self.path("missing")), result="error",
                         description="Error open file data")


if __name__ == "__main__":
    unittest.main()
