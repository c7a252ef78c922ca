"""contentFile staging for getSignature: the decoded bytes are signed from a
data file that is gone when the reply comes, after a success and after a
failure alike. (Its name, mode and content are the unit suite's.)"""
import base64
import os
import stat
import unittest

from keystore import PIN, STRONG, HostCase

NO_FILE = "Bad parameter fileData in action getSignature"
WRONG_PIN = 0x8010006B


def staging(content, working=None, container="c", password=PIN, **extra):
    request = {"requestAction": "getSignature", "containerName": container,
               "providerName": STRONG, "password": password, "contentFile": content}
    if working is not None:
        request["workingDirectory"] = working
    request.update(extra)
    return request


class Staging(HostCase):
    def setUp(self):
        super().setUp()
        self.default = os.path.join(self.runtime, "kelto_data_signed")

    def test_content_is_signed_and_its_data_file_removed(self):
        cert = self.make("c")
        content = os.urandom(6000)
        original = self.write("original.bin", content)
        encoded = base64.b64encode(content).decode()
        os.mkdir(self.path("there"))
        for working, where in ((None, self.default), (self.path("there"), self.path("there")),
                               (self.path("made") + "/", self.path("made"))):
            for kind in ("RAW", "PKCS#7"):
                with self.subTest(workingDirectory=working, signatureType=kind):
                    signature = self.signed(staging(encoded, working, signatureType=kind))
                    if kind == "RAW":
                        self.verify_raw(signature, cert, original, "-sha1")
                    else:
                        self.assertEqual(self.verify_cms(signature, original)[0], [cert])
                    self.assertEqual(os.listdir(where), [])
        # A signing that fails leaves nothing behind either.
        self.assertSystemError(staging(encoded, password="bad"), WRONG_PIN)
        self.assertEqual(os.listdir(self.default), [])
        self.assertFalse(os.path.islink(self.default))
        self.assertEqual(stat.S_IMODE(os.stat(self.default).st_mode), 0o700)

    def test_nothing_is_staged_without_content_to_stage(self):
        cert = self.make("c")
        named = self.write("named.bin", b"named file")
        for content in ("", "!!!*", 42, None):
            with self.subTest(contentFile=content):
                request = staging(content)
                if content is None:
                    del request["contentFile"]
                self.assertReply(request, description=NO_FILE, result="error")
                if content in (42, None):
                    self.assertFalse(os.path.lexists(self.default))
                elif os.path.lexists(self.default):
                    self.assertEqual(os.listdir(self.default), [])
                    os.rmdir(self.default)
        # fileDataPath wins over contentFile; other actions never stage.
        signature = self.signed(staging("QUJD", fileDataPath=named))
        self.verify_raw(signature, cert, named, "-sha1")
        self.assertReply({"requestAction": "getCertificate", "containerName": "c",
                          "providerName": STRONG, "password": PIN, "contentFile": "QUJD"},
                         certificate=base64.b64encode(cert).decode(), result="success")
        self.assertFalse(os.path.lexists(self.default))
        self.assertEqual(self.read(named), b"named file")
        # Content that lenient decoding would cut short is refused whole.
        wrapped = base64.encodebytes(os.urandom(200)).decode()  # 76-character lines
        for content in (wrapped, "QU JD", "QUJD-_QUJD", "QUI=QUI="):
            with self.subTest(contentFile=content):
                self.assertReply(staging(content), description=NO_FILE, result="error")
                self.assertEqual(os.listdir(self.default), [])
        # What decodes without losing anything signs exactly its bytes.
        for content, plain in (("QUJD", b"ABC"), ("QUI=", b"AB"), ("QUI=\n", b"AB"),
                               ("QUJD\r\n", b"ABC")):
            with self.subTest(contentFile=content):
                self.verify_raw(self.signed(staging(content)), cert,
                                self.write("plain.bin", plain), "-sha1")


if __name__ == "__main__":
    unittest.main()
