"""The five actions as the browser sees them, the same on both runners (the
Linux build over softcsp, the Windows build under Wine's CryptoAPI): replies
byte for byte, every signature verified by openssl, sessions living within
one host process, staged content gone when its reply comes."""
import base64
import concurrent.futures
import json
import os
import stat
import unittest

from fixture import (NO_CERTIFICATE_PARAM, NO_FILE, NO_KEYSET, NO_OPEN, STRONG, UNDER_WINE,
                     ActionCase, bad_alias, echo)

NOT_INSTALLED = 0x80090019   # a table provider that this machine does not have


def bad_handle(action):
    return "Bad parameter handleProvider in action " + action


class Sessions(ActionCase):
    def open(self, talk, container, **extra):
        data = self.request("openCryptoProvider", container, **extra)
        text = talk.send(data)
        handle = json.loads(text)["data"].get("handleProvider")
        self.assertIsInstance(handle, int, text)
        self.assertGreater(handle, 0)
        self.assertEqual(text, echo(data, handleProvider=handle, result="success"))
        return handle

    def test_sessions_serve_until_closed_and_no_other_number_is_one(self):
        path = self.write("data.bin", os.urandom(5000))
        named = self.host_path(path)
        talk = self.conversation()
        # The reply echoes every member of the request but adds the handle.
        handles = {"kelto-sig": self.open(talk, "kelto-sig", Zed=[1, {"b": None}]),
                   "kelto-exch": self.open(talk, "kelto-exch")}
        self.assertNotEqual(handles["kelto-sig"], handles["kelto-exch"])
        # Both stay open and answer in turn; container name and PIN are not
        # used inside a session, the provider name only chooses the hash.
        for turn in range(2):
            for container, handle in handles.items():
                with self.subTest(turn=turn, container=container):
                    session = {"handleProvider": handle, "containerName": "other",
                               "password": "wrong"}
                    certificate = base64.b64encode(self.certs[container]).decode()
                    data = self.request("getCertificate", storageType="STORAGE", **session)
                    self.assertEqual(talk.send(data),
                                     echo(data, certificate=certificate, result="success"))
                    data = self.request("getCertificate", **session)
                    if UNDER_WINE:
                        self.assertFailure(data, NO_CERTIFICATE_PARAM, talk.send(data))
                    else:
                        self.assertEqual(talk.send(data), echo(
                            data, certificate=certificate, result="success"))
                    data = self.request("getSignature", fileDataPath=named, **session)
                    self.check_raw(self.signature_of(talk.send(data), data), container, path)
                    data = self.request("getSignature", fileDataPath=named,
                                        signatureType="PKCS#7", storageType="STORAGE",
                                        **session)
                    self.check_cms(self.signature_of(talk.send(data), data), container, path)
        # This opens and closes a session of its own, whose number dies with it.
        data = self.request("getCertificate", "kelto-sig", storageType="STORAGE")
        self.assertEqual(json.loads(talk.send(data))["data"]["result"], "success")
        closing = {"requestAction": "closeCryptoProvider", "handleProvider": handles["kelto-exch"]}
        self.assertEqual(talk.send(closing), echo(closing, result="success"))
        # A closed session's number and numbers that name no session are
        # refused, while another session is open.
        handle, top = handles["kelto-sig"], max(handles.values())
        for number in (handles["kelto-exch"], top + 1, top + 2, handle - 8, handle * 2, 0, -1,
                       2 ** 40, 12345.5):
            for action, extra in (("closeCryptoProvider", {}),
                                  ("getCertificate", {"storageType": "STORAGE"}),
                                  ("getSignature", {"fileDataPath": named,
                                                    "signatureType": "PKCS#7",
                                                    "storageType": "STORAGE"})):
                with self.subTest(number=number, action=action):
                    data = self.request(action, handleProvider=number, **extra)
                    self.assertEqual(talk.send(data), echo(
                        data, description=bad_handle(action), result="error"))
        data = self.request("getSignature", handleProvider=handle, fileDataPath=named)
        self.check_raw(self.signature_of(talk.send(data), data), "kelto-sig", path)
        closing["handleProvider"] = handle
        self.assertEqual(talk.send(closing), echo(closing, result="success"))
        # The file is checked before the session.
        data = self.request("getSignature", handleProvider=handle)
        self.assertEqual(talk.send(data), echo(data, description=NO_FILE, result="error"))


class ContainersAndProviders(ActionCase):
    def test_containers_are_listed_and_provider_names_matched_exactly(self):
        listing = self.request("getListContainer", containerName="ignored")
        text = self.call(listing)
        names = json.loads(text)["data"].get("containers", "")
        expected = {c for c, _ in self.KEYS} | ({"kelto-empty"} if UNDER_WINE else set())
        self.assertEqual(sorted(names.split(";")), sorted(expected))
        self.assertEqual(text, echo(listing, containers=names, result="success"))
        for alias in (STRONG + " ", STRONG.lower(), "", "Avest", "avest csp"):
            for action, extra in (("getListContainer", {}), ("openCryptoProvider", {}),
                                  ("getCertificate", {}),
                                  ("getSignature", {"fileDataPath": "x"})):
                with self.subTest(alias=alias, action=action):
                    data = self.request(action, "kelto-sig", providerName=alias, **extra)
                    self.assertReply(data, description=bad_alias(
                        "openCryptoProvider" if action != "getListContainer" else action),
                                     result="error")
        for action in ("getListContainer", "openCryptoProvider"):
            self.assertFailure(self.request(action, "kelto-sig", providerName="Avest CSP"),
                               NOT_INSTALLED)


class Signatures(ActionCase):
    def test_files_are_signed_as_openssl_verifies_or_refused_when_unreadable(self):
        cases = []
        for container, _ in self.KEYS:
            # Anything but "PKCS#7" exactly signs raw.
            for size, kind in ((0, None), (1, ""), (4097, "pkcs#7"), (70001, "RAW"),
                               (3, "PKCS#7 "), (0, "PKCS#7"), (20000, "PKCS#7")):
                path = self.write("%s %d %s.bin" % (container, size, kind), os.urandom(size))
                extra = {} if kind is None else {"signatureType": kind}
                if kind == "PKCS#7":
                    extra["storageType"] = "STORAGE"  # Wine keeps no certificate in a key
                cases.append((container, path, kind == "PKCS#7", self.request(
                    "getSignature", container, fileDataPath=self.host_path(path), **extra)))
        os.mkdir(self.path("folder"))
        refused = [(self.request("getSignature", "kelto-sig", signatureType=kind,
                                 storageType="STORAGE", **where), description)
                   for kind in ("RAW", "PKCS#7")
                   for where, description in (
                       ({"fileDataPath": self.host_path(self.path("none"))}, NO_OPEN),
                       ({"fileDataPath": self.host_path(self.path("folder"))}, NO_OPEN),
                       ({"fileDataPath": ""}, NO_FILE), ({"fileDataPath": 7}, NO_FILE),
                       ({}, NO_FILE))]
        before = {path: self.read(path) for _, path, _, _ in cases}
        replies = self.ask(*({"data": data} for *_, data in cases),
                           *({"data": data} for data, _ in refused))
        self.assertEqual(len(replies), len(cases) + len(refused))
        for (container, path, pkcs7, data), text in zip(cases, replies):
            with self.subTest(request=data):
                signature = self.signature_of(text, data)
                if pkcs7:
                    self.check_cms(signature, container, path)
                else:
                    self.assertEqual(len(base64.b64decode(signature)), 256)
                    self.check_raw(signature, container, path)
        for (data, description), text in zip(refused, replies[len(cases):]):
            with self.subTest(request=data):
                self.assertEqual(text, echo(data, description=description, result="error"))
        self.assertEqual({path: self.read(path) for path in before}, before,
                         "the named files stay as they were")


class Staging(ActionCase):
    def staging(self, content, working=None, container="kelto-sig", **extra):
        data = self.request("getSignature", container, contentFile=content,
                            storageType="STORAGE", **extra)
        if working is not None:
            data["workingDirectory"] = self.host_path(working)
        return data

    def test_content_is_signed_and_its_data_file_removed(self):
        content = os.urandom(6000)
        original = self.write("original.bin", content)
        encoded = base64.b64encode(content).decode()
        os.mkdir(self.path("there"))
        separator = "\\" if UNDER_WINE else "/"
        for working, where in ((None, self.default_staging), (self.path("there"), self.path("there")),
                               (self.path("made") + separator, self.path("made"))):
            for kind in ("RAW", "PKCS#7"):
                with self.subTest(workingDirectory=working, signatureType=kind):
                    data = self.staging(encoded, working, signatureType=kind)
                    signature = self.signature_of(self.call(data), data)
                    if kind == "RAW":
                        self.check_raw(signature, "kelto-sig", original)
                    else:
                        self.check_cms(signature, "kelto-sig", original)
                    self.assertEqual(os.listdir(where), [])
        # A signing that fails leaves nothing behind either.
        self.assertFailure(self.staging(encoded, container="nope"), NO_KEYSET)
        self.assertEqual(os.listdir(self.default_staging), [])
        if not UNDER_WINE:
            self.assertEqual(stat.S_IMODE(os.lstat(self.default_staging).st_mode), 0o700)

    def test_only_content_that_decodes_whole_is_staged(self):
        named = self.write("named.bin", b"named file")
        # Nothing to stage, or content that lenient decoding would cut short
        # (line breaks, blanks, URL-safe characters, Base64 after padding).
        wrapped = base64.encodebytes(os.urandom(200)).decode()  # 76-character lines
        for content in ("", "!!!*", 42, wrapped, "QU JD", "QUJD-_QUJD", "QUI=QUI="):
            with self.subTest(contentFile=content):
                self.assertReply(self.staging(content), description=NO_FILE, result="error")
                if os.path.isdir(self.default_staging):
                    self.assertEqual(os.listdir(self.default_staging), [])
        # What decodes without losing anything signs exactly its bytes;
        # fileDataPath wins over contentFile; other actions never stage.
        for data, plain in ((self.staging("QUJD"), b"ABC"), (self.staging("QUI="), b"AB"),
                            (self.staging("QUI=\n"), b"AB"), (self.staging("QUJD\r\n"), b"ABC"),
                            (self.staging("QUJD", fileDataPath=self.host_path(named)), None)):
            with self.subTest(request=data):
                self.check_raw(self.signature_of(self.call(data), data), "kelto-sig",
                               named if plain is None else self.write("plain.bin", plain))
        data = self.request("getCertificate", "kelto-sig", storageType="STORAGE",
                            contentFile="QUJD", workingDirectory=self.host_path(self.dir))
        self.assertReply(data, result="success",
                         certificate=base64.b64encode(self.certs["kelto-sig"]).decode())
        self.assertEqual(self.read(named), b"named file")
        self.assertEqual(sorted(os.listdir(self.default_staging)), [])

    def test_two_instances_stage_at_once_without_collision(self):
        shared = self.path("shared")
        runs = []
        for instance in range(2):
            contents = [os.urandom(20000 + i) for i in range(16)]
            # Half in a shared working directory, half in the default one.
            runs.append((contents, [self.staging(base64.b64encode(content).decode(),
                                                 shared if i % 2 else None)
                                    for i, content in enumerate(contents)]))
        with concurrent.futures.ThreadPoolExecutor(len(runs)) as pool:
            answers = list(pool.map(lambda run: self.ask(*({"data": d} for d in run[1])), runs))
        for instance, ((contents, requests), replies) in enumerate(zip(runs, answers)):
            self.assertEqual(len(replies), len(contents), instance)
            for i, (content, data, text) in enumerate(zip(contents, requests, replies)):
                with self.subTest(instance=instance, request=i):
                    # Signed over its own bytes: no instance read the other's file.
                    self.check_raw(self.signature_of(text, data), "kelto-sig",
                                   self.write("content.bin", content))
        self.assertEqual(os.listdir(shared), [])
        self.assertEqual(os.listdir(self.default_staging), [])


if __name__ == "__main__":
    unittest.main()
