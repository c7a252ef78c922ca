"""The actions over softcsp's keys where they go beyond what both runners
share: PINs, the default container, certificates in the key as well as in
"MY" and the algorithms they decide, keys without certificates, GOST, and
files far beyond one read piece. Every test has a key store of its own."""
import base64
import datetime
import json
import os
import unittest

from fixture import (ENGINE, GOST, GOST_2012, NO_KEYSET, PIN, READ_PIECE, SHA256, STRONG,
                     HostCase, gost_available, needs_gost)

WRONG_PIN = 0x8010006B
BAD_ALGID = 0x80090008
NO_CERTIFICATE = 0x8010002C
NOT_FOUND = 0x80092004
SHA384, SHA512 = ("2.16.840.1.101.3.4.2.%d" % i for i in (2, 3))
EDGES = (0, 1, 2 * READ_PIECE, 2 * READ_PIECE + 1)
LARGE = 48 * READ_PIECE


def request(action, container, provider=STRONG, **extra):
    return dict({"requestAction": action, "containerName": container,
                 "providerName": provider, "password": PIN}, **extra)


def b64(der):
    return base64.b64encode(der).decode()


class Keys(HostCase):
    def test_pins_containers_and_the_default_container(self):
        self.make("sig")
        self.make("exch", keyspec="exchange")
        second = self.make("second")
        data = self.write("data.bin", b"x")
        # A wrong PIN is reported as such, whichever kind of key the container
        # holds: a missing key of the other kind is not the reason.
        for action, extra in (("openCryptoProvider", {}), ("getCertificate", {}),
                              ("getSignature", {"fileDataPath": data})):
            for container, password, code in (("sig", "bad", WRONG_PIN),
                                              ("exch", "bad", WRONG_PIN),
                                              ("nope", PIN, NO_KEYSET)):
                with self.subTest(action=action, container=container):
                    self.assertFailure(request(action, container, password=password, **extra),
                                       code)
        # A refused open sends back a handle it was given, unchanged, and no new one.
        self.assertFailure(request("openCryptoProvider", "exch", password="bad", handleProvider=5),
                           WRONG_PIN)
        # An empty container name opens the default container.
        self.keytool("default", "--provider", STRONG, "--container", "second")
        self.assertReply(request("getCertificate", ""), certificate=b64(second),
                         result="success")

    def test_every_container_of_the_provider_type_is_listed(self):
        listing = request("getListContainer", "ignored")
        self.assertReply(listing, result="success")  # none: no member
        # Names of mixed lengths: each enumeration call must be offered the
        # whole buffer again, not the length of the name before.
        names = {"x", "a-much-longer-container-name-than-the-others", "yy", "ключ №2",
                 "mid-length-name"}
        for name in sorted(names):
            self.make(name, pin="", cert=False)
        listed = json.loads(self.call(listing))["data"].get("containers", "")
        self.assertEqual(sorted(listed.split(";")), sorted(names))
        self.assertReply(listing, containers=listed, result="success")
        if gost_available():
            self.make("g", provider=GOST_2012)
            for provider in (GOST_2012, "Crypto-Pro GOST R 34.10-2012 KC2 CSP"):
                self.assertReply(request("getListContainer", "", provider), containers="g",
                                 result="success")
            self.assertReply(listing, containers=listed, result="success")


class Certificates(HostCase):
    def test_the_container_is_the_source_unless_storage_is_exactly_STORAGE(self):
        cert = b64(self.make("c"))
        for storage in (None, "", "CONTAINER", "storage", " STORAGE", "STORAGE "):
            with self.subTest(storage=storage):
                extra = {} if storage is None else {"storageType": storage}
                self.assertReply(request("getCertificate", "c", **extra), certificate=cert,
                                 result="success")
        # "MY" holds it only once added; another key's certificate is no match.
        self.make("stored", store=True)
        self.assertFailure(request("getCertificate", "c", storageType="STORAGE"), NOT_FOUND)
        self.keytool("store-add", "--cert", self.path("c-signature.der"))
        self.assertReply(request("getCertificate", "c", storageType="STORAGE"),
                         certificate=cert, result="success")
        # A key without a certificate.
        self.make("bare", cert=False)
        self.assertFailure(request("getCertificate", "bare"), NO_CERTIFICATE)
        self.assertFailure(request("getCertificate", "bare", storageType="STORAGE"), NOT_FOUND)


class RawSignatures(HostCase):
    def test_a_key_without_certificate_signs_and_the_alias_chooses_the_hash(self):
        path = self.write("data.bin", b"bare key\n" * 50)
        # Raw signing needs no certificate: openssl checks with the key's own public half.
        key, _ = self.import_pfx("bare", cert=False)
        pub = self.path("bare.pub")
        self.openssl("pkey", "-in", key, "-pubout", "-out", pub)
        self.verify_raw(self.signed(request("getSignature", "bare", fileDataPath=path)), pub,
                        path, "-sha1")
        # In a session an alias out of the table gives no hash algorithm at all.
        talk = self.conversation()
        opened = json.loads(talk.send(request("openCryptoProvider", "bare")))["data"]
        data = {"requestAction": "getSignature", "handleProvider": opened["handleProvider"],
                "providerName": "no such provider", "fileDataPath": path}
        self.assertFailure(data, BAD_ALGID, talk.send(data))


class Pkcs7Signatures(HostCase):
    def signing(self, container, path, provider=STRONG, **extra):
        return request("getSignature", container, provider, fileDataPath=path,
                       signatureType="PKCS#7", **extra)

    def sign(self, *cases, engine=(), talk=None):
        """Signs every (request, file, certificate, digest) in one host process
        (or in `talk`); each reply is exact and its message sound, signed since
        it was asked. Returns the messages."""
        start = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        texts = ([talk.send(case[0]) for case in cases] if talk else
                 self.ask(*({"data": case[0]} for case in cases)))
        self.assertEqual(len(texts), len(cases))
        messages = []
        for text, (data, path, cert, digest) in zip(texts, cases):
            with self.subTest(path=os.path.basename(path)):
                messages.append(self.check_message(self.signature_of(text, data), path, cert,
                                                   digest, engine, start))
        return messages

    def test_the_certificate_source_and_its_algorithm_decide(self):
        key, in_container = self.import_pfx("p", "-sha384")
        # A second certificate of the key in "MY", of another signature algorithm.
        pem = self.path("in-store.pem")
        self.openssl("req", "-x509", "-key", key, "-out", pem, "-subj", "/CN=in store",
                     "-days", "3", "-sha512")
        self.keytool("store-add", "--cert", pem)
        in_store = self.cert_der(pem)
        path = self.write("data.bin", b"which certificate?")
        # A message above 12288 bytes, by a certificate of that size.
        names = ",".join("DNS:host-%04d.signing.example.test" % i for i in range(500))
        _, big = self.import_pfx("big", "-sha256", ("-addext", "subjectAltName=" + names))
        self.assertGreater(len(big), 12288)
        message = self.sign((self.signing("p", path), path, in_container, SHA384),
                            (self.signing("p", path, storageType="STORAGE"), path, in_store,
                             SHA512), (self.signing("big", path), path, big, SHA256))[-1]
        self.assertGreater(len(message), 12288)
        # In a session an alias outside the table still signs, by the certificate.
        talk = self.conversation()
        opened = json.loads(talk.send(request("openCryptoProvider", "p")))["data"]
        data = {"requestAction": "getSignature", "signatureType": "PKCS#7",
                "handleProvider": opened.get("handleProvider"),
                "providerName": "no such provider", "fileDataPath": path}
        self.sign((data, path, in_container, SHA384), talk=talk)

    def test_files_at_the_edges_of_read_pieces_and_far_beyond(self):
        cert = self.make("c")
        paths = [self.write("edge %d.bin" % size, os.urandom(size)) for size in EDGES]
        # A file far beyond one read piece that takes almost no disk.
        with open(self.path("large.bin"), "wb") as f:
            f.write(b"first bytes")
            f.seek(LARGE - 10)
            f.write(b"last bytes")
        cases = [(self.signing("c", path), path, cert, SHA256)
                 for path in paths + [self.path("large.bin")]]
        # Staged content takes the same path: more than one piece, decoded.
        staged = {k: v for k, v in self.signing("c", paths[-1]).items() if k != "fileDataPath"}
        staged["contentFile"] = base64.b64encode(self.read(paths[-1])).decode()
        self.sign(*cases, (staged, paths[-1], cert, SHA256))

    @needs_gost
    def test_gost_certificates_raw_signatures_and_messages_of_each_provider(self):
        paths = [self.write("edge %d.bin" % size, os.urandom(size)) for size in EDGES]
        for provider, md, length, digest in GOST:
            with self.subTest(provider=provider):
                cert = self.make("g", provider=provider, store=True)
                for storage in ("", "STORAGE"):
                    self.assertReply(request("getCertificate", "g", provider,
                                             storageType=storage),
                                     certificate=b64(cert), result="success")
                signature = self.signed(request("getSignature", "g", provider,
                                                fileDataPath=paths[-1]))
                self.assertEqual(len(base64.b64decode(signature)), length)
                self.verify_raw(signature, cert, paths[-1], md, ENGINE)
                self.sign(*((self.signing("g", path, provider), path, cert, digest)
                            for path in paths), engine=ENGINE)


if __name__ == "__main__":
    unittest.main()
