"""Shared set-up of the Wine suites (no tests of its own): the containers and
certificates that kelto_wine_fixture made in the prefix, the system's message
texts, Windows paths, and signature checks by the openssl command line.

The fixture's containers in "Microsoft Strong Cryptographic Provider":
kelto-sig (signature key), kelto-exch (exchange key only), kelto-empty (no
key). The certificates of the first two are in "MY" and in KELTO_WINE_KEYS as
sig.der and exch.der.
"""
import base64
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import hostproc
from keystore import Conversation, echo

STRONG = "Microsoft Strong Cryptographic Provider"
CONTAINERS = ("kelto-sig", "kelto-exch", "kelto-empty")
KEYS = os.environ.get("KELTO_WINE_KEYS", "")
FIXTURE = os.environ.get("KELTO_WINE_FIXTURE", "")
DEBUG_HOST = os.environ.get("KELTO_HOST_DEBUG", "")
STAGED_NAME = re.compile(r"KeltoDataSigned_[A-Za-z0-9]{7}\.bin\Z")
DESCRIBED = re.compile(r"\AError 0x([0-9A-F]+) - ")
LOG_NAME = re.compile(r"KeltoDataSigned_[A-Za-z0-9]{7}\.log\Z")
# One record: date, time, severity padded to five, [thread] [function@line]
# and the message up to the line feed that the next record or the end follows
# (a system text inside a message brings its own CR LF).
LOG_RECORD = re.compile(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (DEBUG|ERROR) "
                        r"\[(\d+)\] \[([A-Za-z0-9_:]+)@(\d+)\] (.*?)\n"
                        r"(?=\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} |\Z)", re.S)

_texts = {}


def system_text(code):
    """What FormatMessageW says for a code in this prefix, asked of the
    fixture program; None when the system has no text for it."""
    if code not in _texts:
        out = subprocess.run(["wine", FIXTURE, "message", "%X" % code],
                             env=hostproc.host_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, check=True,
                             timeout=hostproc.TIMEOUT).stdout.split()
        if out[:1] != ["%X" % code] or len(out) != 2:
            raise AssertionError("the fixture answered %r for 0x%X" % (out, code))
        _texts[code] = None if out[1] == "-" else bytes.fromhex(out[1]).decode("utf-8")
    return _texts[code]


def described(code):
    """The description the host must give for a failed call that left `code`."""
    text = system_text(code)
    return "Error 0x%X - %s" % (code, "unknow error" if text is None else text)


def winepath(flag, path):
    return subprocess.run(["winepath", flag, path], env=hostproc.host_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          check=True, timeout=hostproc.TIMEOUT).stdout.strip()


def bad_handle(action):
    return "Bad parameter handleProvider in action " + action


def request(action, container=None, **extra):
    data = {"requestAction": action, "providerName": STRONG}
    if container is not None:
        data["containerName"] = container
    data.update(extra)
    return data


class WineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        hostproc.require_host()
        if not hostproc.UNDER_WINE:
            raise unittest.SkipTest("the Wine suites run the Windows build (KELTO_WINE=1)")
        for name, value in (("KELTO_WINE_KEYS", KEYS), ("KELTO_WINE_FIXTURE", FIXTURE),
                            ("KELTO_HOST_DEBUG", DEBUG_HOST)):
            if not value or not os.path.exists(value):
                raise RuntimeError("%s must name what tests/wine.cmake gives, got %r" %
                                   (name, value))
        cls.certs = {}
        for container, name in (("kelto-sig", "sig.der"), ("kelto-exch", "exch.der")):
            with open(os.path.join(KEYS, name), "rb") as f:
                cls.certs[container] = f.read()
        cls.temp = hostproc.windows_temp_dir()
        cls.staging_dir = os.path.join(cls.temp, "kelto_data_signed")
        # Files to sign live inside the prefix, named to the host by Windows paths.
        cls.work = tempfile.mkdtemp(prefix="kelto e2e ", dir=os.path.dirname(cls.temp))
        cls.work_win = winepath("-w", cls.work)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def b64(self, container):
        """The Base64 text of a fixture certificate, as a reply carries it."""
        return base64.b64encode(self.certs[container]).decode()

    def logs(self):
        """Names of the log files in the Windows temporary folder."""
        return {n for n in os.listdir(self.temp) if n.startswith("KeltoDataSigned_")}

    def new_log(self, before):
        """The one log file made since `before`, as its records (time, severity,
        thread, function, line, message); it is removed after the test."""
        made = self.logs() - before
        self.assertEqual(len(made), 1, "log files made: %r" % made)
        name = made.pop()
        path = os.path.join(self.temp, name)
        self.addCleanup(os.remove, path)
        self.assertRegex(name, LOG_NAME)
        with open(path, "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"), raw[:16])
        text, records, pos = raw[3:].decode("utf-8"), [], 0
        while pos < len(text):
            record = LOG_RECORD.match(text, pos)
            self.assertIsNotNone(record, "not a record at %r" % text[pos:pos + 120])
            records.append(record.groups())
            pos = record.end()
        self.assertTrue(records)
        return raw, records

    def write(self, name, data):
        """A file in the prefix; returns (Linux path, Windows path)."""
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path, self.work_win + "\\" + name

    def conversation(self, program=hostproc.HOST):
        """One host process for a sequence of requests (sessions live per process)."""
        talk = Conversation(None, ["wine", program])
        self.addCleanup(talk.close)
        return talk

    def ask(self, *requests):
        """Each request's data in one host process; returns the reply texts."""
        replies = hostproc.ask(*({"data": r} for r in requests))
        self.assertEqual(len(replies), len(requests))
        return replies

    def assertReplies(self, cases):
        """Runs (request, outputs) pairs in one process; each reply must be exactly
        the echo plus those outputs."""
        for (data, outputs), text in zip(cases, self.ask(*(c[0] for c in cases))):
            with self.subTest(request=data):
                self.assertEqual(text, echo(data, **outputs))

    def signature_of(self, text, data):
        """The signature of a successful reply, after checking the reply exactly."""
        signature = json.loads(text)["data"].get("signature", "")
        self.assertTrue(signature, text)
        self.assertEqual(text, echo(data, result="success", signature=signature))
        return base64.b64decode(signature, validate=True)

    def openssl(self, *args, ok=True):
        proc = subprocess.run(["openssl", *args], capture_output=True)
        self.assertEqual(proc.returncode == 0, ok, "openssl %s: %s" % (
            " ".join(args[:2]), proc.stderr.decode(errors="replace")))
        return proc.stdout

    def verify_raw(self, signature, container, path):
        """openssl checks a raw SHA-1 signature with the certificate's public key,
        and refuses it for other bytes."""
        cert, _ = self.write("cert.der", self.certs[container])
        pub = os.path.join(self.work, "pub.pem")
        self.openssl("x509", "-inform", "DER", "-in", cert, "-pubkey", "-noout", "-out", pub)
        sig, _ = self.write("raw.sig", signature)
        self.openssl("dgst", "-sha1", "-verify", pub, "-signature", sig, path)
        with open(path, "rb") as f:
            other, _ = self.write("other.bin", f.read() + b"!")
        self.openssl("dgst", "-sha1", "-verify", pub, "-signature", sig, other, ok=False)

    def verify_cms(self, message, container, path):
        """openssl verifies a detached message over the file; it must embed the
        container's certificate and name its signature algorithm as digest."""
        msg, _ = self.write("msg.p7s", message)
        self.openssl("cms", "-verify", "-binary", "-inform", "DER", "-in", msg,
                     "-content", path, "-noverify", "-out", os.devnull)
        pem = self.openssl("pkcs7", "-inform", "DER", "-in", msg, "-print_certs").decode()
        certs = [base64.b64decode("".join(b.split("-----BEGIN CERTIFICATE-----")[1].split()))
                 for b in pem.split("-----END CERTIFICATE-----")[:-1]]
        self.assertEqual(certs, [self.certs[container]])
        printed = self.openssl("cms", "-cmsout", "-print", "-inform", "DER",
                               "-in", msg).decode()
        self.assertIn("eContent: <ABSENT>", printed)
        self.assertIn("signingTime (1.2.840.113549.1.9.5)", printed)
        digests = re.findall(r"digestAlgorithms?:\s*\n\s*algorithm: [^\n]*\(([\d.]+)\)",
                             printed)
        self.assertEqual(digests, ["1.2.840.113549.1.1.5"] * 2, printed)
