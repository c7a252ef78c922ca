"""Shared set-up for the softcsp and kelto-keytool end-to-end tests.

Each test gets a private key store (XDG_DATA_HOME and HOME in a temporary
directory) and runs kelto-keytool, the host (which reaches the store only
through softcsp) and openssl as separate processes. Binary paths come from
the environment (set by CTest).
"""
import base64
import json
import os
import subprocess
import tempfile

import hostproc

KEYTOOL = os.environ.get("KELTO_KEYTOOL")

STRONG = "Microsoft Strong Cryptographic Provider"
GOST_2001 = "Crypto-Pro GOST R 34.10-2001 KC1 CSP"
GOST_2012 = "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider"
GOST_2012_STRONG = "Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP"


class StoreMixin:
    """Mixed into unittest.TestCase classes."""

    def setUp(self):
        if not KEYTOOL or not hostproc.HOST:
            self.skipTest("KELTO_KEYTOOL and KELTO_HOST are not set")
        self._tmp = tempfile.TemporaryDirectory(prefix="softcsp-e2e-")
        self.dir = self._tmp.name
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        HOME=self.dir)

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_cmd(self, args, ok=True, env=None):
        proc = subprocess.run(args, capture_output=True, env=env or self.env)
        if ok:
            self.assertEqual(proc.returncode, 0, "%s failed: %s" % (
                args[:2], proc.stderr.decode(errors="replace")))
        else:
            self.assertNotEqual(proc.returncode, 0, "%s succeeded" % (args[:2],))
        return proc

    def keytool(self, *args, ok=True, env=None):
        return self.run_cmd([KEYTOOL] + list(args), ok, env)

    def host(self, request, env=None):
        """The `data` of the host's reply to one request `data` object."""
        (reply,) = hostproc.ask({"data": request}, env=env or self.env)
        return json.loads(reply)["data"]

    def sign_raw(self, provider, container, pin, data_path, env=None):
        """The raw signature bytes, or the failure's description."""
        data = self.host({"requestAction": "getSignature", "providerName": provider,
                          "containerName": container, "password": pin,
                          "fileDataPath": data_path}, env)
        if data["result"] != "success":
            return data["description"]
        return base64.b64decode(data["signature"])

    def openssl(self, *args, ok=True):
        return self.run_cmd(["openssl"] + list(args), ok)

    def public_key(self, cert_der_name, engine=()):
        """PEM public key of a DER certificate file, by openssl."""
        pem = self.path(cert_der_name + ".pub")
        self.openssl("x509", *engine, "-inform", "DER", "-in", self.path(cert_der_name),
                     "-pubkey", "-noout", "-out", pem)
        return pem
