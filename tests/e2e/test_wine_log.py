"""The debug build (KELTO_LOG_SEVERITY=5) under Wine: one log file per run in
the Windows temporary folder, with the byte-order mark, the record layout,
the operations' function names, and never the password."""
import base64
import json
import os
import unittest

from keystore import echo
from test_wine_common import DEBUG_HOST, STRONG, WineCase, described, request

PASSWORD = "Zq7-wine-PIN-never-logged"
# Every function name a record may carry.
FUNCTIONS = {"main", "startLog", "writeMessage", "processingMessage", "createDataFile"} | {
    "kelto::DataSigned::" + name for name in (
        "openProvider", "openCryptoProvider", "closeProvider", "getListContainer",
        "getCertificate", "getCetificateFromContainer", "getCetificateFromStorage",
        "signData", "signDataRaw", "signDataPkcs7")}


class DebugLog(WineCase):
    def test_every_operation_is_logged_without_the_password(self):
        path, win_path = self.write("data.bin", b"logged signing")
        before = self.logs()
        talk = self.conversation(DEBUG_HOST)
        listing = request("getListContainer")
        self.assertEqual(json.loads(talk.send(listing))["data"]["result"], "success")
        refused = request("openCryptoProvider", "kelto-sig", password=PASSWORD)
        refusal = json.loads(talk.send(refused))["data"]["description"]
        opening = request("openCryptoProvider", "kelto-sig")
        handle = json.loads(talk.send(opening))["data"]["handleProvider"]
        session = {"handleProvider": handle, "password": PASSWORD}
        data = request("getCertificate", storageType="STORAGE", **session)
        self.assertEqual(talk.send(data), echo(data, certificate=self.b64("kelto-sig"),
                                               result="success"))
        data = request("getCertificate", **session)
        no_certificate = described(0x8009000A)
        self.assertEqual(talk.send(data), echo(data, description=no_certificate,
                                               result="error"))
        data = request("getSignature", fileDataPath=win_path, **session)
        self.verify_raw(self.signature_of(talk.send(data), data), "kelto-sig", path)
        data = request("getSignature", signatureType="PKCS#7", storageType="STORAGE",
                       contentFile=base64.b64encode(b"logged signing").decode(), **session)
        self.verify_cms(self.signature_of(talk.send(data), data), "kelto-sig", path)
        closing = {"requestAction": "closeCryptoProvider", "handleProvider": handle}
        self.assertEqual(talk.send(closing), echo(closing, result="success"))
        talk.close()

        raw, records = self.new_log(before)
        self.assertNotIn(PASSWORD.encode("utf-8"), raw)
        self.assertNotIn(PASSWORD.encode("utf-16-le"), raw)
        first = records[0]
        self.assertEqual(first[1:4:2] + first[5:], ("DEBUG", "startLog",
                                                    "Start keltoDataSigned..."))
        self.assertEqual({r[2] for r in records}, {first[2]}, "one thread")
        self.assertEqual({r[3] for r in records}, FUNCTIONS)
        messages = [(r[1], r[3].rsplit("::", 1)[-1], r[5]) for r in records]
        for expected in (
                ("DEBUG", "openProvider", "Password: is exist"),
                ("DEBUG", "openProvider", "Handle provider: %d" % handle),
                ("DEBUG", "openCryptoProvider", "Start CryptSetProvParam(PP_SIGNATURE_PIN)..."),
                ("ERROR", "openCryptoProvider",
                 "CryptSetProvParam(PP_KEYEXCHANGE_PIN): " + refusal),
                ("ERROR", "getCetificateFromContainer",
                 "CryptGetKeyParam(size): " + no_certificate),
                ("DEBUG", "getCetificateFromStorage", "CertFindCertificateInStore success..."),
                ("DEBUG", "closeProvider", "Handle provider: %d" % handle),
                ("DEBUG", "getListContainer", "Provider name: " + STRONG),
                ("DEBUG", "signData", "Use handle provider: yes"),
                ("DEBUG", "signDataRaw", "CryptSignHash key is AT_SIGNATURE..."),
                ("DEBUG", "signDataPkcs7", "Digest algorithm to pkcs#7: 1.2.840.113549.1.1.5"),
                ("DEBUG", "main", "Read message size: 0. Exit.")):
            with self.subTest(record=expected):
                self.assertIn(expected, messages)
        pin_records = [m for s, f, m in messages if m.startswith("CryptSetProvParam(PP_")]
        self.assertEqual(len(pin_records), 2, "both PIN parameters were tried")


if __name__ == "__main__":
    unittest.main()
