"""What only the Windows build under Wine shows: rsaenh's refusal of PINs and
of keys without certificates, Windows device names, PKCS#7 as Wine's own
crypt32 sees it, and the debug build's log in the Windows temporary folder."""
import base64
import json
import os
import re
import unittest

import hostproc
from fixture import (NO_CERTIFICATE_PARAM, NO_FILE, NO_OPEN, READ_PIECE, STRONG, UNDER_WINE,
                     ActionCase, described, echo)

NO_KEY = 0x8009000D
DESCRIBED = re.compile(r"\AError 0x([0-9A-F]+) - ")
DEBUG_HOST = os.environ.get("KELTO_HOST_DEBUG", "")
# What crypt32 and rsaenh are asked, from Wine 8.0's trace of the "crypt" channel.
OPEN = re.compile(r"trace:crypt:CryptMsgOpenToEncode \((\w+), (\w+), (\w+),")
UPDATE = re.compile(r"trace:crypt:CryptMsgUpdate \(\w+, \w+, (\d+), (\d+)\)")
SIGN = re.compile(r"trace:crypt:CryptSignHashW \(\w+, \d+, [^,]+, \w+, (\w+), \w+\)")
LOG_NAME = re.compile(r"KeltoDataSigned_[A-Za-z0-9]{7}\.log\Z")
# One record: date, time, severity padded to five, [thread] [function@line]
# and the message up to the line feed that the next record or the end follows
# (a system text inside a message brings its own CR LF).
LOG_RECORD = re.compile(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (DEBUG|ERROR) "
                        r"\[(\d+)\] \[([A-Za-z0-9_:]+)@(\d+)\] (.*?)\n"
                        r"(?=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} |\Z)", re.S)
PASSWORD = "Zq7-wine-PIN-never-logged"


@unittest.skipUnless(UNDER_WINE, "the Windows build under Wine (KELTO_WINE=1)")
class UnderWine(ActionCase):
    def test_what_rsaenh_refuses_and_devices_never_read_nor_written(self):
        path = self.host_path(self.write("data.bin", b"data"))
        os.mkdir(self.path("unused"))
        cases = [(self.request(action, container, password="wrong", **extra), None)
                 for container in ("kelto-sig", "kelto-exch")
                 for action, extra in (("openCryptoProvider", {}), ("getCertificate", {}),
                                       ("getSignature", {"fileDataPath": path}))]
        cases += [(self.request("getCertificate", "kelto-empty", storageType="STORAGE"), NO_KEY),
                  (self.request("getSignature", "kelto-empty", fileDataPath=path), NO_KEY),
                  (self.request("getSignature", "kelto-sig", fileDataPath=path,
                                signatureType="PKCS#7"), NO_CERTIFICATE_PARAM)]
        cases += [(self.request("getSignature", "kelto-sig", fileDataPath=device,
                                signatureType=kind, storageType="STORAGE"), NO_OPEN)
                  for device in ("NUL", "CON", self.host_path(self.path("NUL")), "\\\\.\\C:",
                                 "\\\\.\\pipe\\kelto", "\\\\?\\GLOBALROOT\\Device\\Null",
                                 path + "\0.txt")
                  for kind in ("RAW", "PKCS#7")]
        unused = self.host_path(self.path("unused")) + "\0x"
        cases.append((self.request("getSignature", "kelto-sig", contentFile="QUJD",
                                   workingDirectory=unused), NO_FILE))
        for (data, code), text in zip(cases, self.ask(*({"data": d} for d, _ in cases))):
            with self.subTest(request=data):
                if code is None:
                    # rsaenh takes neither PIN parameter and sets no error code of
                    # its own: the code is whatever the thread held, and the text
                    # must be the system's for it. No handle comes back.
                    description = json.loads(text)["data"].get("description", "")
                    held = DESCRIBED.match(description)
                    self.assertIsNotNone(held, description)
                    code = int(held.group(1), 16)
                self.assertFailure(data, code, text)
        self.assertEqual(os.listdir(self.path("unused")), [])

    def test_pkcs7_streams_a_file_of_several_pieces_and_signs_once(self):
        path = self.write("pieces.bin", os.urandom(2 * READ_PIECE + 1))
        data = self.request("getSignature", "kelto-sig", fileDataPath=self.host_path(path),
                            signatureType="PKCS#7", storageType="STORAGE")
        frames, proc = hostproc.run(hostproc.frame({"data": data}),
                                    env={"WINEDEBUG": "-all,trace+crypt"})
        self.assertEqual(len(frames), 1)
        self.check_cms(self.signature_of(frames[0].decode("utf-8"), data), "kelto-sig", path)
        trace = proc.stderr.decode("utf-8", "replace")
        # Encoding, detached, signed; the file piece by piece, never whole.
        self.assertEqual(OPEN.findall(trace), [("00010001", "00000004", "00000002")], trace)
        updates = [(int(n), int(final)) for n, final in UPDATE.findall(trace)]
        self.assertEqual(updates, [(READ_PIECE, 0), (READ_PIECE, 0), (1, 0), (0, 1)])
        # The size queries pass no buffer; exactly one call gets to sign.
        buffers = SIGN.findall(trace)
        self.assertGreater(len(buffers), 1, trace)
        self.assertEqual(len([b for b in buffers if int(b, 16) != 0]), 1, buffers)

    def test_the_debug_build_logs_every_operation_without_the_password(self):
        path = self.write("data.bin", b"logged signing")
        temp = hostproc.windows_temp_dir()
        logs = lambda: {n for n in os.listdir(temp) if n.startswith("KeltoDataSigned_")}
        before = logs()
        talk = self.conversation(DEBUG_HOST)
        listing = self.request("getListContainer")
        self.assertEqual(json.loads(talk.send(listing))["data"]["result"], "success")
        refused = self.request("openCryptoProvider", "kelto-sig", password=PASSWORD)
        refusal = json.loads(talk.send(refused))["data"]["description"]
        handle = json.loads(talk.send(self.request("openCryptoProvider", "kelto-sig")))[
            "data"]["handleProvider"]
        session = {"handleProvider": handle, "password": PASSWORD}
        no_certificate = described(NO_CERTIFICATE_PARAM)
        data = self.request("getCertificate", **session)
        self.assertFailure(data, NO_CERTIFICATE_PARAM, talk.send(data))
        data = self.request("getSignature", signatureType="PKCS#7", storageType="STORAGE",
                            contentFile=base64.b64encode(b"logged signing").decode(),
                            **session)
        self.check_cms(self.signature_of(talk.send(data), data), "kelto-sig", path)
        closing = {"requestAction": "closeCryptoProvider", "handleProvider": handle}
        self.assertEqual(talk.send(closing), echo(closing, result="success"))
        talk.close()

        (name,) = logs() - before
        self.addCleanup(os.remove, os.path.join(temp, name))
        self.assertRegex(name, LOG_NAME)
        with open(os.path.join(temp, name), "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"), raw[:16])
        self.assertNotIn(PASSWORD.encode("utf-8"), raw)
        self.assertNotIn(PASSWORD.encode("utf-16-le"), raw)
        text = raw[3:].decode("utf-8")
        records = [r.groups() for r in LOG_RECORD.finditer(text)]
        self.assertEqual("".join(r.group(0) for r in LOG_RECORD.finditer(text)), text)
        first = records[0]
        self.assertEqual(first[1:4:2] + first[5:], ("DEBUG", "startLog",
                                                    "Start keltoDataSigned..."))
        self.assertEqual({r[2] for r in records}, {first[2]}, "one thread")
        messages = [(r[1], r[3], r[5]) for r in records]
        # Members named in full; the PIN only as present; failures with the system's text.
        for expected in (
                ("DEBUG", "kelto::DataSigned::openProvider", "Password: is exist"),
                ("DEBUG", "kelto::DataSigned::openProvider", "Handle provider: %d" % handle),
                ("ERROR", "kelto::DataSigned::openCryptoProvider",
                 "CryptSetProvParam(PP_KEYEXCHANGE_PIN): " + refusal),
                ("ERROR", "kelto::DataSigned::getCetificateFromContainer",
                 "CryptGetKeyParam(size): " + no_certificate),
                ("DEBUG", "kelto::DataSigned::signDataPkcs7",
                 "Digest algorithm to pkcs#7: 1.2.840.113549.1.1.5"),
                ("DEBUG", "main", "Read message size: 0. Exit.")):
            with self.subTest(record=expected):
                self.assertIn(expected, messages)
        pin_records = [m for s, f, m in messages if m.startswith("CryptSetProvParam(PP_")]
        self.assertEqual(len(pin_records), 2, "both PIN parameters were tried")


if __name__ == "__main__":
    unittest.main()
