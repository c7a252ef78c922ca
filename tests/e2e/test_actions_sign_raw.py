"""Raw signatures of files named by fileDataPath, checked by `openssl dgst`
after nothing but Base64 decoding: the reply carries them in standard order."""
import base64
import json
import os
import unittest

from keystore import ENGINE, GOST, PIN, STRONG, HostCase, echo, needs_gost

BAD_ALGID = 0x80090008
NO_FILE = "Bad parameter fileData in action getSignature"


def signing(container, path, provider=STRONG, **extra):
    return dict({"requestAction": "getSignature", "containerName": container,
                 "providerName": provider, "password": PIN, "fileDataPath": path}, **extra)


class RawSignatures(HostCase):
    def test_rsa_sha1_over_files_of_any_length_and_any_non_pkcs7_type(self):
        cert = self.make("c")
        # Not "PKCS#7" exactly, so all of these are raw.
        types = (None, "", "RAW", "pkcs#7", "PKCS7", "PKCS#7 ")
        for size, kind in zip((0, 1, 4096, 10000, 70001, 3), types):
            with self.subTest(size=size, signatureType=kind):
                content = os.urandom(size)
                path = self.write("file %d.bin" % size, content)
                extra = {} if kind is None else {"signatureType": kind}
                signature = self.signed(signing("c", path, **extra))
                self.assertEqual(len(base64.b64decode(signature)), 256)
                self.verify_raw(signature, cert, path, "-sha1")
                self.assertEqual(self.read(path), content, "the named file stays as it was")

    def test_an_exchange_key_and_a_key_without_certificate_sign(self):
        path = self.write("data.bin", b"exchange or bare key\n" * 50)
        cert = self.make("e", keyspec="exchange")
        self.verify_raw(self.signed(signing("e", path)), cert, path, "-sha1")
        # Raw signing needs no certificate: openssl checks with the key's own public half.
        key, _ = self.import_pfx("bare", cert=False)
        pub = self.path("bare.pub")
        self.openssl("pkey", "-in", key, "-pubout", "-out", pub)
        self.verify_raw(self.signed(signing("bare", path)), pub, path, "-sha1")

    @needs_gost
    def test_gost_hashes_of_each_provider(self):
        path = self.write("data.bin", os.urandom(5000))
        for provider, digest, length in GOST:
            with self.subTest(provider=provider):
                cert = self.make("g", provider=provider)
                signature = self.signed(signing("g", path, provider))
                self.assertEqual(len(base64.b64decode(signature)), length)
                self.verify_raw(signature, cert, path, digest, ENGINE)

    def test_file_failures(self):
        self.make("c")
        self.assertReply(signing("c", self.path("no such file.bin")), result="error",
                         description="Error open file data")
        for request in (signing("c", ""), signing("c", 7),
                        {"requestAction": "getSignature", "containerName": "c",
                         "providerName": STRONG, "password": PIN}):
            with self.subTest(request=request):
                self.assertReply(request, description=NO_FILE, result="error")

    def test_in_a_session_the_alias_still_chooses_the_hash(self):
        self.make("c")
        path = self.write("data.bin", b"x")
        talk = self.conversation()
        opened = json.loads(talk.send({"requestAction": "openCryptoProvider",
                                       "containerName": "c", "providerName": STRONG,
                                       "password": PIN}))["data"]
        self.assertEqual(opened.get("result"), "success", opened)
        # An alias out of the table gives no hash algorithm at all.
        request = {"requestAction": "getSignature", "handleProvider": opened["handleProvider"],
                   "providerName": "no such provider", "fileDataPath": path}
        text = talk.send(request)
        description = json.loads(text)["data"].get("description", "")
        self.assertRegex(description, r"\AError 0x%X - \S.*\r\n\Z" % BAD_ALGID)
        self.assertEqual(text, echo(request, description=description, result="error"))


if __name__ == "__main__":
    unittest.main()
