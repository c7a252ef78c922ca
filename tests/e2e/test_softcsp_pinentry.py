"""A request without a PIN for a protected key: softcsp asks through a pinentry,
our stand-in (pinentry_standin.py: answers from a queue, records what it got)
or Debian's pinentry-tty on a terminal the test answers."""
import glob
import json
import os
import select
import shutil
import threading
import unittest

from fixture import STRONG, Conversation, HostCase

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN = os.path.join(HERE, "pinentry_standin.py")
HOST_DEBUG = os.environ.get("KELTO_HOST_DEBUG", "")
# Escaping both ways: "%", a line break and non-ASCII characters in the PIN
# the pinentry returns and in the container name it shows.
PIN = "pin%Marker\nЖ€"
CONTAINER = "50%\nключ"
CANCELLED = "Error 0x8010006E - The action was cancelled by the user.\r\n"
NO_PIN = "Error 0x8010006F - No PIN was presented to the smart card.\r\n"


def signing(container, path, provider=STRONG, **extra):
    return dict({"requestAction": "getSignature", "containerName": container,
                 "providerName": provider, "fileDataPath": path}, **extra)


class AskedPins(HostCase):
    def setUp(self):
        super().setUp()
        self.answers, self.record = self.path("answers"), self.path("record")
        open(self.answers, "w").close()
        self.env.update(KELTO_PINENTRY=STANDIN, KELTO_STANDIN_ANSWERS=self.answers,
                        KELTO_STANDIN_RECORD=self.record, DISPLAY=":77")
        self.replies = []

    def answer(self, *answers):
        with open(self.answers, "a", encoding="utf-8") as f:
            f.writelines(json.dumps(a) + "\n" for a in answers)

    def dialogues(self):
        """The stand-in's starts since the last call: (facts, commands) each."""
        if not os.path.exists(self.record):
            return []
        starts = []
        for entry in map(json.loads, self.read(self.record).decode().splitlines()):
            if "start" in entry:
                starts.append((entry, []))
            else:
                starts[-1][1].append(entry["command"])
        os.remove(self.record)
        return starts

    def ask_in(self, talk, request):
        """The reply's data; its text is kept in self.replies."""
        self.replies.append(talk.send(request))
        return json.loads(self.replies[-1])["data"]

    def test_asked_once_per_session_and_per_request_and_never_when_given(self):
        if not os.path.exists(HOST_DEBUG):
            raise RuntimeError("KELTO_HOST_DEBUG must name the debug build, got %r" % HOST_DEBUG)
        data = self.write("data.bin", b"signed with a PIN the person typed")
        talk = Conversation(self.env, command=[HOST_DEBUG])
        self.addCleanup(talk.kill)
        self.make(CONTAINER, pin=PIN)
        self.answer(*[{"pin": PIN}] * 3)
        handle = self.ask_in(talk, {"requestAction": "openCryptoProvider",
                                    "providerName": STRONG, "containerName": CONTAINER})
        # That these signatures verify is the signing suites' to check.
        for extra in ({}, {"signatureType": "PKCS#7"}):
            for session in ({"handleProvider": handle["handleProvider"]}, {}):
                self.assertIn("signature", self.ask_in(talk, signing(CONTAINER, data, **extra,
                                                                     **session)))
        dialogues = self.dialogues()
        self.assertEqual(len(dialogues), 3, "asked once in the session, once per request")
        # Shown escaped: "%", CR and LF as %XX, nothing else.
        shown = ('container "%s".\nCertificate: CN=' % CONTAINER).replace("%", "%25")
        for facts, commands in dialogues:
            # Leading a session of its own, it has no terminal to ask on.
            self.assertEqual((facts["own_session"], facts["display"],
                              [c.split(" ")[0] for c in commands[3:]]),
                             (True, ":77", ["SETDESC", "SETPROMPT", "GETPIN", "BYE"]))
            self.assertEqual(commands[:3], ["SETTIMEOUT 60", "SETTITLE keltoDataSigned",
                                            "OPTION display=:77"])
            self.assertIn(shown.replace("\n", "%0A"), commands[3])

        # Neither replies nor what the pinentry was told hold the PIN. A
        # request that brings its PIN (which its reply echoes), and a listing,
        # start no pinentry.
        told = self.replies + sum((commands for _, commands in dialogues), [])
        for request in (signing(CONTAINER, data, password=PIN),
                        {"requestAction": "getListContainer", "providerName": STRONG}):
            self.assertEqual(self.ask_in(talk, request)["result"], "success")
        talk.close()
        self.assertEqual(self.dialogues(), [])
        (log,) = [self.read(path).decode() for path in
                  glob.glob(os.path.join(self.temp, "KeltoDataSigned_*.log"))]
        self.assertIn("CryptSignHash success", log)
        for text in told + [log]:
            self.assertNotIn("Marker", text)

    def test_failures_are_clean_errors_and_every_pinentry_is_reaped(self):
        cert = self.make("k", pin=PIN)
        data = self.write("data.bin", b"x")
        with open(self.path("stderr"), "wb") as stderr:
            talk = Conversation(self.env, stderr=stderr)
        self.addCleanup(talk.kill)

        def attempt(*answers, within=talk):
            self.answer(*answers)
            reply = self.ask_in(within, signing("k", data))
            (facts, commands), = self.dialogues()
            # A zombie that nobody reaped still has its /proc entry.
            self.assertFalse(os.path.exists("/proc/%d" % facts["start"]), "not reaped")
            return reply, commands

        reply, commands = attempt({"pin": "wrong"}, {"pin": PIN})
        self.verify_raw(reply.get("signature", ""), cert, data, "-sha1")
        self.assertEqual(commands.count("GETPIN"), 2)
        self.assertIn("SETERROR Wrong PIN: 2 attempts left.", commands)
        # Three wrong answers fail as a wrong PIN in the request does.
        wrong = self.ask_in(talk, signing("k", data, password="wrong"))["description"]
        self.assertEqual(attempt(*[{"pin": "wrong"}] * 3)[0]["description"], wrong)
        for answer, description in (("cancel", CANCELLED), ("timeout", CANCELLED),
                                    ("exit", NO_PIN), ("babble", NO_PIN)):
            with self.subTest(answer=answer):
                self.assertEqual(attempt(answer)[0]["description"], description)
        # A pinentry that ignores its own timeout is ended after it.
        hung = Conversation(dict(self.env, KELTO_PINENTRY_TIMEOUT="1"))
        self.addCleanup(hung.kill)
        self.assertEqual(attempt("hang", within=hung)[0]["description"], CANCELLED)

        talk.close()
        reasons = self.read(self.path("stderr")).decode().splitlines()
        self.assertEqual(len(reasons), 2, reasons)
        self.assertIn("GETPIN: the program ended in the middle of the dialogue", reasons[0])
        self.assertIn("no greeting of a pinentry", reasons[1])

    def test_keytool_asks_for_a_new_pin_twice(self):
        def generate(container, ok=True):
            return self.keytool("generate", "--provider", STRONG, "--container", container,
                                "--ask-pin", ok=ok)

        # Empty, then two that differ, then the same twice.
        self.answer({"pin": ""}, {"pin": "a"}, {"pin": "b"}, {"pin": PIN}, {"pin": PIN})
        self.assertEqual(generate("n").stdout.decode(),
                         'container "n": new signature key, protected by a PIN, '
                         'certificate CN=n\n')
        (_, commands), = self.dialogues()
        self.assertEqual([c for c in commands if c.startswith("SETERROR")],
                         ["SETERROR The PIN must not be empty.",
                          "SETERROR The two PINs differ: choose one again."])
        self.assertNotIn("Marker", "".join(commands))
        data = self.write("data.bin", b"x")
        for password, result in ((PIN, "success"), ("a", "error")):
            self.assertEqual(self.reply_data(signing("n", data, password=password))["result"],
                             result)
        # A key that could not be stored is not asked a PIN for; a cancelled
        # question makes nothing.
        generate("n", ok=False)
        self.assertEqual(self.dialogues(), [])
        self.answer("cancel")
        self.assertEqual(generate("m", ok=False).stderr,
                         b"kelto-keytool generate: the PIN dialogue was cancelled\n")
        self.assertEqual(len(self.dialogues()), 1)
        self.assertEqual(self.keytool("list").stdout.decode().count("\n"), 1)

    @unittest.skipUnless(shutil.which("pinentry-tty"),
                         "pinentry-tty is not installed (scripts/bootstrap.sh installs it)")
    def test_debian_pinentry_tty_on_a_terminal(self):
        pin = "12%34Ж"
        self.make("t", pin=pin)
        data = self.write("data.bin", b"typed on a terminal")
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        self.env.update(KELTO_PINENTRY=os.path.join(HERE, "pinentry_tty.sh"),
                        KELTO_TEST_TTY=os.ttyname(slave))
        keys = [b"wrong\r", pin.encode() + b"\r", b"\x04"]  # the last one cancels
        screens = []

        def person():
            shown = b""
            while keys and select.select([master], [], [], 30)[0]:
                shown += os.read(master, 4096)
                if shown.rstrip().endswith(b"PIN:"):
                    screens.append(shown.decode(errors="replace"))
                    shown = b""
                    os.write(master, keys.pop(0))

        typist = threading.Thread(target=person, daemon=True)
        typist.start()
        reply = self.reply_data(signing("t", data, signatureType="PKCS#7"))
        self.verify_cms(reply.get("signature", ""), data)
        self.assertEqual(self.reply_data(signing("t", data)).get("description"), CANCELLED)
        typist.join(5)
        self.assertIn('container "t"', screens[0])
        self.assertIn("Wrong PIN: 2 attempts left.", screens[1])
        # Nobody answers: pinentry-tty's own timeout.
        self.env["KELTO_PINENTRY_TIMEOUT"] = "1"
        self.assertEqual(self.reply_data(signing("t", data)).get("description"), CANCELLED)


if __name__ == "__main__":
    unittest.main()
