"""The five actions of the Windows build against Wine's CryptoAPI and its
"Microsoft Strong Cryptographic Provider", with what Wine really does:
PINs are refused, keys carry no certificate (no KP_CERTIFICATE), so the
certificate comes from "MY"; descriptions carry FormatMessageW's text."""
import json
import os
import unittest

from keystore import echo
from test_wine_common import (CONTAINERS, DESCRIBED, STRONG, WineCase, bad_handle,
                              described, request)

NO_CERTIFICATE_PARAM = 0x8009000A   # rsaenh knows no KP_CERTIFICATE
NO_KEYSET = 0x80090016
NO_KEY = 0x8009000D
NOT_INSTALLED = 0x80090019


class ContainersAndFailures(WineCase):
    def test_the_containers_of_the_provider_are_listed(self):
        listing = request("getListContainer", password="unused")
        text, = self.ask(listing)
        names = json.loads(text)["data"].get("containers", "")
        self.assertEqual(sorted(names.split(";")), sorted(CONTAINERS))
        self.assertEqual(text, echo(listing, containers=names, result="success"))
        self.assertReplies([
            (request("getListContainer", providerName="Avest CSP"),
             {"description": described(NOT_INSTALLED), "result": "error"}),
            (request("getListContainer", providerName=STRONG.lower()),
             {"description": "Bad parameter providerName in action getListContainer",
              "result": "error"})])

    def test_failures_carry_the_system_text(self):
        _, path = self.write("data.bin", b"data")
        missing = self.work_win + "\\missing.bin"
        self.assertReplies([(data, {"description": description, "result": "error"})
                            for data, description in (
            (request("openCryptoProvider", "nope"), described(NO_KEYSET)),
            (request("openCryptoProvider", "kelto-sig", providerName="Avest CSP"),
             described(NOT_INSTALLED)),
            (request("getCertificate", "kelto-sig"), described(NO_CERTIFICATE_PARAM)),
            # Only "STORAGE" exactly reads from "MY".
            (request("getCertificate", "kelto-exch", storageType="storage"),
             described(NO_CERTIFICATE_PARAM)),
            (request("getCertificate", "kelto-empty", storageType="STORAGE"),
             described(NO_KEY)),
            (request("getCertificate", "kelto-empty"), described(NO_KEY)),
            (request("getSignature", "kelto-empty", fileDataPath=path), described(NO_KEY)),
            (request("getSignature", "kelto-sig", fileDataPath=path, signatureType="PKCS#7"),
             described(NO_CERTIFICATE_PARAM)),
            (request("getSignature", "kelto-sig", fileDataPath=missing),
             "Error open file data"),
            (request("getSignature", "kelto-sig", fileDataPath=self.work_win),
             "Error open file data"))])
        # Devices, whatever the path that reaches them, and names cut short by
        # U+0000 are never read; such a working directory is not written.
        os.mkdir(os.path.join(self.work, "unused"))
        self.assertReplies(
            [(request("getSignature", "kelto-sig", fileDataPath=device, signatureType=kind,
                      storageType="STORAGE"),
              {"description": "Error open file data", "result": "error"})
             for device in ("NUL", "CON", self.work_win + "\\NUL", "\\\\.\\C:",
                            "\\\\.\\pipe\\kelto", "\\\\?\\GLOBALROOT\\Device\\Null",
                            path + "\0.txt")
             for kind in ("RAW", "PKCS#7")] +
            [(request("getSignature", "kelto-sig", contentFile="QUJD",
                      workingDirectory=self.work_win + "\\unused\0x"),
              {"description": "Bad parameter fileData in action getSignature",
               "result": "error"})])
        self.assertEqual(os.listdir(os.path.join(self.work, "unused")), [])

    def test_a_pin_refused_by_both_parameters_fails_with_the_second_refusal(self):
        # rsaenh takes neither PP_SIGNATURE_PIN nor PP_KEYEXCHANGE_PIN and sets
        # no error code of its own, so the code is whatever the thread held;
        # the text must still be the system's text for that code.
        _, path = self.write("data.bin", b"data")
        cases = [request(action, container, password="wrong", **extra)
                 for container in ("kelto-sig", "kelto-exch")
                 for action, extra in (("openCryptoProvider", {}), ("getCertificate", {}),
                                       ("getSignature", {"fileDataPath": path}))]
        for data, text in zip(cases, self.ask(*cases)):
            with self.subTest(request=data):
                description = json.loads(text)["data"].get("description", "")
                code = DESCRIBED.match(description)
                self.assertIsNotNone(code, description)
                self.assertEqual(description, described(int(code.group(1), 16)))
                # No handle comes back: the session was released.
                self.assertEqual(text, echo(data, description=description, result="error"))


class Sessions(WineCase):
    def open(self, talk, container):
        data = request("openCryptoProvider", container)
        text = talk.send(data)
        handle = json.loads(text)["data"].get("handleProvider")
        self.assertIsInstance(handle, int, text)
        self.assertGreater(handle, 0)
        self.assertEqual(text, echo(data, handleProvider=handle, result="success"))
        return handle

    def test_sessions_serve_several_requests_until_closed(self):
        content = os.urandom(5000)
        path, win_path = self.write("data.bin", content)
        talk = self.conversation()
        handles = {c: self.open(talk, c) for c in ("kelto-sig", "kelto-exch")}
        self.assertNotEqual(handles["kelto-sig"], handles["kelto-exch"])
        # Both sessions stay open and answer in turn; container name and
        # password are not used inside a session.
        for turn in range(2):
            for container, handle in handles.items():
                with self.subTest(turn=turn, container=container):
                    session = {"handleProvider": handle, "containerName": "other",
                               "password": "unused"}
                    data = request("getCertificate", storageType="STORAGE", **session)
                    self.assertEqual(talk.send(data), echo(
                        data, certificate=self.b64(container), result="success"))
                    data = request("getCertificate", **session)
                    self.assertEqual(talk.send(data), echo(
                        data, description=described(NO_CERTIFICATE_PARAM), result="error"))
                    data = request("getSignature", fileDataPath=win_path, **session)
                    self.verify_raw(self.signature_of(talk.send(data), data), container, path)
                    data = request("getSignature", fileDataPath=win_path,
                                   signatureType="PKCS#7", storageType="STORAGE", **session)
                    self.verify_cms(self.signature_of(talk.send(data), data), container, path)
        for handle in handles.values():
            data = {"requestAction": "closeCryptoProvider", "handleProvider": handle}
            self.assertEqual(talk.send(data), echo(data, result="success"))
        for action, extra in (("closeCryptoProvider", {}),
                              ("getCertificate", {"storageType": "STORAGE"}),
                              ("getSignature", {"fileDataPath": win_path})):
            with self.subTest(closed=action):
                data = request(action, handleProvider=handles["kelto-sig"], **extra)
                self.assertEqual(talk.send(data), echo(
                    data, description=bad_handle(action), result="error"))

    def test_forged_handles_are_refused_and_the_real_one_still_works(self):
        path, win_path = self.write("data.bin", b"forged")
        talk = self.conversation()
        handle = self.open(talk, "kelto-sig")
        for number in (handle + 1, handle - 8, handle * 2, 0, 2 ** 40, -1):
            for action, extra in (("closeCryptoProvider", {}),
                                  ("getCertificate", {"storageType": "STORAGE"}),
                                  ("getSignature", {"fileDataPath": win_path,
                                                    "signatureType": "PKCS#7",
                                                    "storageType": "STORAGE"})):
                with self.subTest(number=number, action=action):
                    data = request(action, handleProvider=number, **extra)
                    self.assertEqual(talk.send(data), echo(
                        data, description=bad_handle(action), result="error"))
        data = request("getSignature", handleProvider=handle, fileDataPath=win_path)
        self.verify_raw(self.signature_of(talk.send(data), data), "kelto-sig", path)
        data = {"requestAction": "closeCryptoProvider", "handleProvider": handle}
        self.assertEqual(talk.send(data), echo(data, result="success"))


class WithoutSessions(WineCase):
    def test_certificates_come_from_my(self):
        self.assertReplies([
            (request("getCertificate", c, storageType="STORAGE"),
             {"certificate": self.b64(c), "result": "success"})
            for c in ("kelto-sig", "kelto-exch")])

    def test_raw_signatures_verify_with_openssl(self):
        cases = []
        for container in ("kelto-sig", "kelto-exch"):
            # Anything but "PKCS#7" exactly signs raw.
            for size, kind in ((0, None), (4097, "pkcs#7"), (70001, "RAW")):
                content = os.urandom(size)
                path, win_path = self.write("%s-%d.bin" % (container, size), content)
                extra = {"signatureType": kind} if kind else {}
                cases.append((container, path, request("getSignature", container,
                                                       fileDataPath=win_path, **extra)))
        for (container, path, data), text in zip(cases, self.ask(*(c[2] for c in cases))):
            with self.subTest(request=data):
                signature = self.signature_of(text, data)
                self.assertEqual(len(signature), 256)
                self.verify_raw(signature, container, path)

    def test_pkcs7_signatures_from_my_verify_with_openssl(self):
        cases = []
        for container in ("kelto-sig", "kelto-exch"):
            for size in (0, 20000):
                path, win_path = self.write("%s-%d.bin" % (container, size), os.urandom(size))
                cases.append((container, path, request(
                    "getSignature", container, fileDataPath=win_path,
                    signatureType="PKCS#7", storageType="STORAGE")))
        for (container, path, data), text in zip(cases, self.ask(*(c[2] for c in cases))):
            with self.subTest(request=data):
                self.verify_cms(self.signature_of(text, data), container, path)


if __name__ == "__main__":
    unittest.main()
