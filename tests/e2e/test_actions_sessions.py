"""Provider sessions, container lists and provider names, as the browser sees
them: sessions live within one host process, so every sequence is one run."""
import base64
import json
import unittest

from keystore import (GOST_2012, PIN, STRONG, HostCase, echo, gost_available)

WRONG_PIN = 0x8010006B
NO_KEYSET = 0x80090016
NOT_INSTALLED = 0x80090019   # a table provider that this machine does not have
BAD_ALIAS = "Bad parameter providerName in action openCryptoProvider"


def bad_handle(action):
    return "Bad parameter handleProvider in action " + action


def opening(container, password=PIN, provider=STRONG):
    return {"requestAction": "openCryptoProvider", "containerName": container,
            "providerName": provider, "password": password}


class Sessions(HostCase):
    def open_session(self, talk, container):
        text = talk.send(opening(container))
        self.assertEqual(json.loads(text)["data"].get("result"), "success", text)
        return json.loads(text)["data"]["handleProvider"]

    def test_open_replies_with_the_handle_after_the_echoed_request(self):
        self.make("c1")
        request = {"contentId": "7", "other": 1,
                   "data": dict(opening("c1"), Zed=[1, {"b": None}])}
        (text,) = self.ask(request)
        handle = json.loads(text)["data"].get("handleProvider")
        self.assertIsInstance(handle, int)
        self.assertGreater(handle, 0)
        self.assertEqual(text, (
            '{"contentId":"7","data":{"Zed":[1,{"b":null}],"containerName":"c1",'
            '"handleProvider":%d,"password":"12#4","providerName":"Microsoft Strong '
            'Cryptographic Provider","requestAction":"openCryptoProvider","result":"success"}}'
            % handle))

    def test_a_session_serves_several_requests_until_it_is_closed(self):
        cert = self.make("c1", store=True)
        certificate = base64.b64encode(cert).decode()
        data = self.write("data.bin", b"signed by handle")
        talk = self.conversation()
        handle = self.open_session(talk, "c1")
        # Container, alias and PIN are not needed inside a session; the alias
        # still chooses the hash.
        for request, outputs in (
                ({"requestAction": "getCertificate", "handleProvider": handle},
                 {"certificate": certificate}),
                ({"requestAction": "getCertificate", "handleProvider": handle,
                  "storageType": "STORAGE", "containerName": "other", "password": "wrong"},
                 {"certificate": certificate}),
                ({"requestAction": "getSignature", "handleProvider": handle,
                  "providerName": STRONG, "fileDataPath": data}, {"signature": True}),
                ({"requestAction": "getSignature", "handleProvider": handle,
                  "providerName": STRONG, "fileDataPath": data, "signatureType": "PKCS#7"},
                 {"signature": True}),
                ({"requestAction": "closeCryptoProvider", "handleProvider": handle}, {})):
            with self.subTest(request=request):
                text = talk.send(request)
                if "signature" in outputs:
                    outputs = {"signature": json.loads(text)["data"].get("signature")}
                    self.assertTrue(outputs["signature"])
                self.assertEqual(text, echo(request, result="success", **outputs))
        for request, description in (
                ({"requestAction": "closeCryptoProvider", "handleProvider": handle},
                 bad_handle("closeCryptoProvider")),
                ({"requestAction": "getCertificate", "handleProvider": handle},
                 bad_handle("getCertificate")),
                ({"requestAction": "getSignature", "handleProvider": handle,
                  "providerName": STRONG, "fileDataPath": data}, bad_handle("getSignature")),
                # The file is checked before the session.
                ({"requestAction": "getSignature", "handleProvider": handle,
                  "providerName": STRONG}, "Bad parameter fileData in action getSignature")):
            with self.subTest(closed=request):
                self.assertEqual(talk.send(request),
                                 echo(request, description=description, result="error"))

    def test_numbers_that_name_no_open_session_are_refused(self):
        self.make("c1")
        data = self.write("data.bin", b"x")
        talk = self.conversation()
        handle = self.open_session(talk, "c1")
        # This opens and closes a session of its own, whose number dies with it.
        own = dict(opening("c1"), requestAction="getCertificate")
        self.assertEqual(json.loads(talk.send(own))["data"]["result"], "success")
        for number in (handle + 1, handle + 2, 0, -1, 2 ** 40, 12345.5):
            for action, extra in (("closeCryptoProvider", {}), ("getCertificate", {}),
                                  ("getSignature", {"providerName": STRONG,
                                                    "fileDataPath": data})):
                with self.subTest(number=number, action=action):
                    request = dict(extra, requestAction=action, handleProvider=number)
                    self.assertEqual(talk.send(request), echo(
                        request, description=bad_handle(action), result="error"))
        close = {"requestAction": "closeCryptoProvider", "handleProvider": handle}
        self.assertEqual(talk.send(close), echo(close, result="success"))

    def test_wrong_pin_unknown_container_and_unknown_alias(self):
        self.make("sig")
        self.make("exch", keyspec="exchange")
        data = self.write("data.bin", b"x")
        # A wrong PIN is reported as such, whichever kind of key the container
        # holds: a missing key of the other kind is not the reason.
        cases = [(opening("sig", "bad"), WRONG_PIN), (opening("exch", "bad"), WRONG_PIN),
                 (opening("nope"), NO_KEYSET),
                 (opening("sig", provider="Avest CSP"), NOT_INSTALLED)]
        for action, extra in (("getCertificate", {}),
                              ("getSignature", {"fileDataPath": data})):
            cases.append((dict(opening("sig", "bad"), requestAction=action, **extra),
                          WRONG_PIN))
        for request, code in cases:
            with self.subTest(request=request):
                self.assertSystemError(request, code)
        # A refused open sends back a handle it was given, unchanged, and no new one.
        request = dict(opening("exch", "bad"), handleProvider=5)
        self.assertSystemError(request, WRONG_PIN)
        text = self.call(opening("exch"))  # the exchange key takes the PIN
        handle = json.loads(text)["data"].get("handleProvider")
        self.assertEqual(text, echo(opening("exch"), handleProvider=handle, result="success"))
        for alias in ("microsoft strong cryptographic provider", STRONG + " ", "", "Avest CSP X"):
            for action, extra in (("openCryptoProvider", {}), ("getCertificate", {}),
                                  ("getSignature", {"fileDataPath": data})):
                with self.subTest(alias=alias, action=action):
                    request = dict(opening("sig", provider=alias), requestAction=action,
                                   **extra)
                    self.assertReply(request, description=BAD_ALIAS, result="error")

    def test_an_empty_container_name_opens_the_default_container(self):
        self.make("first")
        second = self.make("second")
        self.keytool("default", "--provider", STRONG, "--container", "second")
        request = {"requestAction": "getCertificate", "providerName": STRONG,
                   "password": PIN}
        self.assertReply(request, certificate=base64.b64encode(second).decode(),
                         result="success")


class ContainerLists(HostCase):
    def listing(self, provider):
        return {"requestAction": "getListContainer", "providerName": provider,
                "containerName": "ignored", "password": "ignored"}

    def test_lists_every_container_of_the_provider_type(self):
        self.assertReply(self.listing(STRONG), result="success")  # none: no member
        self.make("x")
        self.assertReply(self.listing(STRONG), containers="x", result="success")
        # Names of mixed lengths: each enumeration call must be offered the
        # whole buffer again, not the length of the name before.
        names = {"x", "a-much-longer-container-name-than-the-others", "yy", "ключ №2",
                 "mid-length-name"}
        for name in sorted(names - {"x"}):
            self.make(name, pin="")
        listed = json.loads(self.call(self.listing(STRONG)))["data"].get("containers", "")
        self.assertEqual(sorted(listed.split(";")), sorted(names))
        self.assertReply(self.listing(STRONG), containers=listed, result="success")
        if gost_available():
            self.make("g", provider=GOST_2012)
            for provider in (GOST_2012, "Crypto-Pro GOST R 34.10-2012 KC2 CSP"):
                self.assertReply(self.listing(provider), containers="g", result="success")
            self.assertReply(self.listing(STRONG), containers=listed, result="success")

    def test_provider_names_are_matched_exactly(self):
        for alias in ("Microsoft Strong Cryptographic Provider ", "Avest", "", "avest csp"):
            with self.subTest(alias=alias):
                self.assertReply(self.listing(alias), result="error",
                                 description="Bad parameter providerName in action "
                                             "getListContainer")
        self.assertSystemError(self.listing("Avest CSP"), NOT_INSTALLED)


if __name__ == "__main__":
    unittest.main()
