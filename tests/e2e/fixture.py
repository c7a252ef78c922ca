"""The fixture of the end-to-end suites: expected reply texts, a host process
spoken to request by request, openssl checks of signatures, and keys.

HostCase (Linux) gives every test fresh XDG_DATA_HOME, XDG_RUNTIME_DIR, TMPDIR
and HOME; its containers are made with kelto-keytool. ActionCase runs on
either runner (KELTO_WINE=1: the Windows build under Wine's CryptoAPI) against
two keys, "kelto-sig" (signature) and "kelto-exch" (exchange only), with
certificates in "MY". Under Wine rsaenh takes no PIN and keeps no certificate
in a key, and descriptions carry FormatMessageW's texts.
"""
import base64
import datetime
import json
import os
import re
import select
import struct
import subprocess
import tempfile
import time
import unittest

import hostproc

KEYTOOL = os.environ.get("KELTO_KEYTOOL", "")

STRONG = "Microsoft Strong Cryptographic Provider"
GOST_2001 = "Crypto-Pro GOST R 34.10-2001 KC1 CSP"
GOST_2012 = "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider"
GOST_2012_STRONG = "Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP"
# provider, openssl digest option of its hash, signature length in bytes, hash OID
GOST = ((GOST_2001, "-md_gost94", 64, "1.2.643.2.2.9"),
        (GOST_2012, "-md_gost12_256", 64, "1.2.643.7.1.1.2.2"),
        (GOST_2012_STRONG, "-md_gost12_512", 128, "1.2.643.7.1.1.2.3"))
ENGINE = ("-engine", "gost")
PIN = "12#4"
# The host reads the files it signs in pieces of this size (PieceReader).
READ_PIECE = 1024 * 1024


def gost_available():
    return subprocess.run(["openssl", "engine", "gost"], capture_output=True).returncode == 0


def needs_gost(test):
    return unittest.skipUnless(gost_available(), "the OpenSSL gost engine is not installed")(test)


def _text(value):
    if isinstance(value, dict):
        keys = sorted(value, key=lambda k: k.encode("utf-16-be"))  # UTF-16 code unit order
        return "{" + ",".join(_text(k) + ":" + _text(value[k]) for k in keys) + "}"
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).replace("/", "\\/")


def echo(request_data, **outputs):
    """The exact reply text to `request_data`: its members but contentFile,
    then the outputs."""
    data = {k: v for k, v in request_data.items() if k != "contentFile"}
    data.update(outputs)
    return _text({"data": data})


class Conversation:
    """One host process spoken to request by request (sessions live per
    process); a reply not there in time fails the test, not the run."""

    def __init__(self, env, command=None, **popen):
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.DEVNULL)
        self.proc = subprocess.Popen(command or hostproc.command(), stdin=subprocess.PIPE,
                                     env=hostproc.host_env(env), **popen)
        self.pending = b""

    def _fill(self, size, within):
        """Reads until `size` bytes are pending, or with None to the end."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + within
        while size is None or len(self.pending) < size:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("no answer within %d s" % within)
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                if size is None:
                    return
                raise AssertionError("the host ended before a whole reply")
            self.pending += chunk

    def post(self, data):
        """Sends {"data": data} (or a body of bytes) without awaiting the reply."""
        body = data if isinstance(data, bytes) else {"data": data}
        self.proc.stdin.write(hostproc.frame(body))
        self.proc.stdin.flush()

    def reply(self, within=hostproc.TIMEOUT):
        self._fill(4, within)
        (length,) = struct.unpack_from("<I", self.pending)
        self._fill(4 + length, within)
        text, self.pending = self.pending[4:4 + length], self.pending[4 + length:]
        return text.decode("utf-8")

    def send(self, data, within=hostproc.TIMEOUT):
        """Sends {"data": data}; returns the reply text."""
        self.post(data)
        return self.reply(within)

    def close(self):
        """Ends the input; returns (what the host wrote after the last reply
        read, its exit code)."""
        if self.proc.returncode is None:
            try:
                self.proc.stdin.close()
                if self.proc.stdout:
                    self._fill(None, hostproc.TIMEOUT)
            except BaseException:
                self.proc.kill()
                raise
            finally:
                if self.proc.stdout:
                    self.proc.stdout.close()
                self.proc.wait(timeout=hostproc.TIMEOUT)
        return self.pending, self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.close()


class HostCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        hostproc.require_host()
        if not KEYTOOL or not os.path.exists(KEYTOOL):
            raise RuntimeError("KELTO_KEYTOOL must name kelto-keytool, got %r" % KEYTOOL)

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="kelto-actions-")
        self.addCleanup(self._tmp.cleanup)
        self.dir = self._tmp.name
        self.temp, self.runtime = self.path("tmp"), self.path("run")
        os.mkdir(self.temp)
        os.mkdir(self.runtime, 0o700)  # where staging and the locks go by default
        self.env = {"XDG_DATA_HOME": os.path.join(self.dir, "data"), "TMPDIR": self.temp,
                    "XDG_RUNTIME_DIR": self.runtime, "HOME": self.dir}

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def tool(self, program, *args, ok=True, env=None):
        proc = subprocess.run([program] + [str(a) for a in args], capture_output=True,
                              env=hostproc.host_env(self.env if env is None else env))
        self.assertEqual(proc.returncode == 0, ok, "%s %s: %s" % (
            os.path.basename(program), args[:2], proc.stderr.decode(errors="replace")))
        return proc

    def keytool(self, *args, ok=True, env=None):
        return self.tool(KEYTOOL, *args, ok=ok, env=env)

    def openssl(self, *args, ok=True):
        return self.tool("openssl", *args, ok=ok)

    def make(self, container, provider=STRONG, pin=PIN, keyspec="signature", cert=True,
             store=False):
        """Generates a key; returns the DER of its certificate (None without one)."""
        self.keytool("generate", "--provider", provider, "--container", container, "--keyspec",
                     keyspec, *(("--pin", pin) if pin else ()), *(() if cert else ("--no-cert",)),
                     *(("--store",) if store else ()))
        if not cert:
            return None
        out = self.path(container + "-" + keyspec + ".der")
        self.keytool("export-cert", "--provider", provider, "--container", container,
                     "--keyspec", keyspec, "--out", out)
        return self.read(out)

    def import_pfx(self, container, digest="-sha384", extra=(), cert=True):
        """An RSA key (and certificate) made by openssl, imported from a PFX into a
        Microsoft Strong container; returns (key file, certificate DER or None)."""
        key, pem, pfx = (self.path(container + ext) for ext in (".key", ".pem", ".pfx"))
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-out", pem, "-subj", "/CN=" + container, "-days", "3", digest, *extra)
        self.openssl("pkcs12", "-export", "-inkey", key, "-out", pfx, "-passout", "pass:pw",
                     *(("-in", pem) if cert else ("-nocerts",)))
        self.keytool("import", "--provider", STRONG, "--container", container, "--pfx", pfx,
                     "--pfx-password", "pw", "--pin", PIN)
        return key, self.cert_der(pem) if cert else None

    def cert_der(self, pem_path):
        return self.openssl("x509", "-in", pem_path, "-outform", "DER").stdout

    def conversation(self, program=None):
        """A host process (or `program`, another build of it)."""
        talk = Conversation(self.env, program and hostproc.command(program))
        self.addCleanup(talk.close)
        return talk

    def ask(self, *requests):
        return hostproc.ask(*requests, env=self.env)

    def call(self, data, env=None):
        (text,) = hostproc.ask({"data": data}, env=self.env if env is None else env)
        return text

    def reply_data(self, data, env=None):
        """The `data` of the reply to one request."""
        return json.loads(self.call(data, env=env))["data"]

    def signature_of(self, text, data):
        """The Base64 signature of a successful reply, checked exactly."""
        signature = json.loads(text)["data"].get("signature", "")
        self.assertTrue(signature, text)
        self.assertEqual(text, echo(data, result="success", signature=signature))
        return signature

    def signed(self, data):
        """One signing request that must succeed; returns the Base64 signature."""
        return self.signature_of(self.call(data), data)

    def assertReply(self, data, **outputs):
        """One request; its reply must be exactly the echo plus these outputs."""
        text = self.call(data)
        self.assertEqual(text, echo(data, **outputs))
        return json.loads(text)["data"]

    def assertFailure(self, data, code, text=None):
        """The reply to one request (or this reply `text`) is the echo with a
        description of `code`: the system's text exactly under Wine, softcsp's
        loosely; a string `code` is the description itself."""
        text = self.call(data) if text is None else text
        description = json.loads(text)["data"].get("description", "")
        if isinstance(code, str):
            self.assertEqual(description, code)
        elif UNDER_WINE:
            self.assertEqual(description, described(code))
        else:
            self.assertRegex(description, r"\AError 0x%X - \S.*\r\n\Z" % code)
        self.assertEqual(text, echo(data, description=description, result="error"))

    assertSystemError = assertFailure

    def verify_raw(self, signature_b64, key, data_path, digest, engine=()):
        """openssl checks the reply's signature after nothing but Base64 decoding;
        `key` is a certificate's DER or the path of a PEM public key."""
        sig = self.write("raw.sig", base64.b64decode(signature_b64, validate=True))
        pub = key
        if not isinstance(key, str):
            pub = self.path("pub.pem")
            self.openssl("x509", *engine, "-inform", "DER", "-in",
                         self.write("cert-for-key.der", key), "-pubkey", "-noout", "-out", pub)
        self.openssl("dgst", *engine, digest, "-verify", pub, "-signature", sig, data_path)
        other = self.write("other.bin", self.read(data_path) + b"!")
        self.openssl("dgst", *engine, digest, "-verify", pub, "-signature", sig, other,
                     ok=False)

    def verify_cms(self, signature_b64, data_path, engine=()):
        """Verifies a detached message over the file; returns (its certificates as
        DER, `openssl cms -cmsout -print` text)."""
        msg = self.write("msg.p7s", base64.b64decode(signature_b64, validate=True))
        self.openssl("cms", *engine, "-verify", "-binary", "-inform", "DER", "-in", msg,
                     "-content", data_path, "-noverify", "-out", self.path("cms.out"))
        pem = self.openssl("pkcs7", *engine, "-inform", "DER", "-in", msg,
                           "-print_certs").stdout.decode()
        certs = [base64.b64decode("".join(block.split("-----BEGIN CERTIFICATE-----")[1].split()))
                 for block in pem.split("-----END CERTIFICATE-----")[:-1]]
        printed = self.openssl("cms", *engine, "-cmsout", "-print", "-inform", "DER",
                               "-in", msg).stdout.decode()
        return certs, printed

    def check_message(self, signature_b64, data_path, cert, digest, engine=(), since=None):
        """openssl verifies the detached message over the file; it carries `cert`
        alone, names `digest` and a signing time (from `since` to now, when
        given). Returns the message's bytes."""
        certs, printed = self.verify_cms(signature_b64, data_path, engine)
        self.assertEqual(certs, [cert])
        self.assertIn("eContent: <ABSENT>", printed)
        digests = re.findall(r"digestAlgorithms?:\s*\n\s*algorithm: [^\n]*\(([\d.]+)\)",
                             printed)
        self.assertEqual(digests, [digest] * 2, printed)
        match = re.search(r"signingTime \(1\.2\.840\.113549\.1\.9\.5\)\s+set:\s+(?:UTCTIME|"
                          r"GENERALIZEDTIME):(\w{3} +\d+ [\d:]{8} \d{4}) GMT", printed)
        self.assertIsNotNone(match, printed)
        stamp = datetime.datetime.strptime(" ".join(match.group(1).split()), "%b %d %H:%M:%S %Y")
        stamp, end = stamp.replace(tzinfo=datetime.timezone.utc), datetime.datetime.now(
            datetime.timezone.utc)
        self.assertTrue(since is None or since <= stamp <= end, "signed at %s, asked %s..%s" %
                        (stamp, since, end))
        return base64.b64decode(signature_b64)


# --- both runners: the same two keys, under Wine's CryptoAPI or softcsp ------

UNDER_WINE = hostproc.UNDER_WINE
WINE_KEYS = os.environ.get("KELTO_WINE_KEYS", "")
WINE_FIXTURE = os.environ.get("KELTO_WINE_FIXTURE", "")
NO_FILE = "Bad parameter fileData in action getSignature"
NO_OPEN = "Error open file data"
NO_KEYSET = 0x80090016
NO_CERTIFICATE_PARAM = 0x8009000A   # rsaenh knows no KP_CERTIFICATE
SHA256 = "2.16.840.1.101.3.4.2.1"
SHA1_RSA = "1.2.840.113549.1.1.5"
_texts = {}


def system_text(code):
    """What FormatMessageW says for a code in the Wine prefix, asked of the
    fixture program; None when the system has no text for it."""
    if code not in _texts:
        out = subprocess.run(["wine", WINE_FIXTURE, "message", "%X" % code],
                             env=hostproc.host_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, check=True,
                             timeout=hostproc.TIMEOUT).stdout.split()
        if out[:1] != ["%X" % code] or len(out) != 2:
            raise AssertionError("the fixture answered %r for 0x%X" % (out, code))
        _texts[code] = None if out[1] == "-" else bytes.fromhex(out[1]).decode("utf-8")
    return _texts[code]


def bad_alias(action):
    return "Bad parameter providerName in action " + action


def described(code):
    """Under Wine, the description the host must give for a failed call that
    left `code`."""
    text = system_text(code)
    return "Error 0x%X - %s" % (code, "unknow error" if text is None else text)


class ActionCase(HostCase):
    """Tests that run the same on both runners (see the module's text)."""
    KEYS = (("kelto-sig", "signature"), ("kelto-exch", "exchange"))
    # The digest a message names: softcsp takes the hash of the certificate's
    # sha256RSA; Wine's crypt32 writes the signature algorithm's own OID.
    DIGEST = SHA1_RSA if UNDER_WINE else SHA256

    @classmethod
    def setUpClass(cls):
        hostproc.require_host()
        if not UNDER_WINE:
            HostCase.setUpClass()

    def setUp(self):
        super().setUp()
        if UNDER_WINE:  # KELTO_WINE_KEYS: the certificates that tests/wine.cmake made
            self.env = {}
            self.certs = {c: self.read(os.path.join(WINE_KEYS, k + ".der")) for c, k in self.KEYS}
            self.default_staging = os.path.join(hostproc.windows_temp_dir(), "kelto_data_signed")
        else:
            self.certs = {c: self.make(c, keyspec=k, store=True) for c, k in self.KEYS}
            self.default_staging = os.path.join(self.runtime, "kelto_data_signed")

    def host_path(self, path):
        """The path as the host names it: Wine maps the Linux root to Z:."""
        return "Z:" + path.replace("/", "\\") if UNDER_WINE else path

    def request(self, action, container=None, **extra):
        """A request's data for the provider both runners have; it carries the
        keys' PIN natively (rsaenh takes none)."""
        data = {"requestAction": action, "providerName": STRONG}
        if container is not None:
            data["containerName"] = container
        if not UNDER_WINE:
            data["password"] = PIN
        data.update(extra)
        return data

    def check_raw(self, signature, container, path):
        self.verify_raw(signature, self.certs[container], path, "-sha1")

    def check_cms(self, signature, container, path):
        self.check_message(signature, path, self.certs[container], self.DIGEST)
