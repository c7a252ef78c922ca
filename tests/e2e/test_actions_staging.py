"""contentFile staging for getSignature: the decoded bytes go into a data file
of their own, owner-only, that exists while the request is signed and is gone
when the reply comes, after a success and after a failure alike."""
import base64
import errno
import json
import os
import stat
import subprocess
import time
import unittest

import hostproc
from keystore import PIN, STAGED_NAME, STRONG, HostCase, echo

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
        self.assertFalse(os.path.islink(self.default))
        self.assertEqual(stat.S_IMODE(os.stat(self.default).st_mode), 0o700)

    def held(self, request, where, size):
        """Runs one request while the host is held on opening the signature key
        file of container "x" (a FIFO put in its place; "x" really has only an
        exchange key), and looks at `where` meanwhile. Returns the reply text and
        (name, mode, bytes) of each data file seen there."""
        key = os.path.join(self.env["XDG_DATA_HOME"], "keltoDataSigned", "softcsp",
                           "containers", "1", "x", "signature.p12")
        gate = self.path("gate")
        if not os.path.exists(gate):
            os.mkfifo(gate, 0o600)
        os.link(gate, key)
        proc = subprocess.Popen(hostproc.command(), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                env=hostproc.host_env(self.env))
        proc.stdin.write(hostproc.frame({"data": request}))
        proc.stdin.close()
        seen = []
        for _ in range(hostproc.TIMEOUT * 100):
            try:
                paths = [os.path.join(where, n) for n in os.listdir(where)]
                if paths and all(os.path.getsize(p) == size for p in paths):
                    seen = [(os.path.basename(p), stat.S_IMODE(os.stat(p).st_mode), self.read(p))
                            for p in paths]
                    break
            except FileNotFoundError:
                pass
            if proc.poll() is not None:
                break
            time.sleep(0.01)
        # Later opens find no signature key, so the exchange key signs.
        os.unlink(key)
        while proc.poll() is None:
            try:
                os.close(os.open(gate, os.O_WRONLY | os.O_NONBLOCK))
                break
            except OSError as e:
                if e.errno != errno.ENXIO:
                    raise
            time.sleep(0.01)
        with proc.stdout:
            out = proc.stdout.read()
        proc.wait(timeout=hostproc.TIMEOUT)
        (text,) = hostproc.split_frames(out)
        return text.decode("utf-8"), seen

    def test_the_data_file_exists_while_signing_and_never_lingers(self):
        cert = self.make("x", keyspec="exchange")
        content = os.urandom(3000)
        original = self.write("original.bin", content)
        encoded = base64.b64encode(content).decode()
        for working, where, password in ((self.path("w"), self.path("w"), PIN),
                                         (self.path("w2") + "/", self.path("w2"), "bad"),
                                         (None, self.default, PIN)):
            with self.subTest(workingDirectory=working, password=password):
                request = staging(encoded, working, container="x", password=password)
                text, seen = self.held(request, where, len(content))
                self.assertEqual(len(seen), 1, "one data file while signing: %r" % seen)
                name, mode, data = seen[0]
                self.assertRegex(name, STAGED_NAME)
                self.assertEqual((mode, data), (0o600, content))
                self.assertEqual(os.listdir(where), [], "the data file is removed")
                reply = json.loads(text)["data"]
                if password == PIN:
                    self.assertEqual(text, echo(request, result="success",
                                                signature=reply.get("signature")))
                    self.verify_raw(reply["signature"], cert, original, "-sha1")
                else:
                    self.assertRegex(reply.get("description", ""),
                                     r"\AError 0x%X - " % WRONG_PIN)
                    self.assertEqual(text, echo(request, result="error",
                                                description=reply["description"]))
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


if __name__ == "__main__":
    unittest.main()
