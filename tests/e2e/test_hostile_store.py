"""Damaged, foreign and planted (FIFO) key files and store certificates, seen
through the host (exact codes, sessions left open) and kelto-keytool's listings;
cuts and bit flips all over a key file are softcsp's unit suite's."""
import base64
import hashlib
import json
import os
import struct
import subprocess
import unittest

import hostproc
from fixture import GOST_2012, KEYTOOL, PIN, STRONG, HostCase, gost_available

NOT_FOUND = 0x80092004       # CRYPT_E_NOT_FOUND: no such certificate in "MY"
NO_KEYSET = 0x80090016
ENTRY_BAD = 0x8009001A       # NTE_KEYSET_ENTRY_BAD: the key file is damaged
BAD_KEY = 0x80090003         # NTE_BAD_KEY: a key of another algorithm


def error(code):
    return r"\AError 0x%X - \S.*\r\n\Z" % code


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x10]) + data[at + 1:]


class DamagedKeyFiles(HostCase):
    def softcsp(self, *names):
        return os.path.join(self.env["XDG_DATA_HOME"], "keltoDataSigned", "softcsp", *names)

    def key_file(self, container, provider=STRONG, spec="signature"):
        return self.softcsp("containers", "1" if provider == STRONG else "80", container,
                            spec + ".p12")

    def replace(self, path, data=None, kind="file"):
        """Puts a file with `data`, a directory or a FIFO where `path` was."""
        if os.path.lexists(path):
            (os.rmdir if os.path.isdir(path) else os.remove)(path)
        if kind == "file":
            self.write(path, data)
        else:
            (os.mkdir if kind == "dir" else os.mkfifo)(path)

    # A FIFO that nobody writes would keep a blocking open() waiting for ever:
    # every run here is bounded (hostproc's runs are).
    def run_host(self, *requests):
        return [json.loads(text)["data"] for text in self.ask(*({"data": r} for r in requests))]

    def bounded_keytool(self, *args):
        proc = subprocess.run([KEYTOOL, *args], capture_output=True,
                              env=hostproc.host_env(self.env), timeout=hostproc.TIMEOUT)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()

    def test_damaged_key_files_fail_as_such_while_sessions_go_on_to_the_end_of_input(self):
        data = self.write("data.bin", b"payload")
        talk = self.conversation()

        def ask(request, **changes):
            return json.loads(talk.send(dict(request, **changes)))["data"]

        for provider in (STRONG, GOST_2012) if gost_available() else (STRONG,):
            store = self.make("sound", provider=provider, store=True)
            certificate = self.make("hurt", provider=provider, store=True)
            # A session holds keys, certificate contexts and a store open to
            # the end of the input.
            session = {"providerName": provider, "handleProvider": ask({
                "requestAction": "openCryptoProvider", "providerName": provider,
                "containerName": "sound", "password": PIN})["handleProvider"]}
            path = self.key_file("hurt", provider)
            # (name, bytes, kind, error of getCertificate or None for the
            # certificate, error of signing). The MAC's salt sits just before
            # the iteration count that ends the file: the PIN still opens it.
            damages = [("MAC salt", flip(self.read(path), -6), "file", None, ENTRY_BAD),
                       ("a directory", None, "dir", ENTRY_BAD, ENTRY_BAD)]
            if gost_available():
                other = STRONG if provider == GOST_2012 else GOST_2012
                self.make("other", provider=other)
                damages.append(("other algorithm", self.read(self.key_file("other", other)),
                                "file", BAD_KEY, BAD_KEY))
                self.keytool("delete", "--provider", other, "--container", "other")
            if provider == STRONG:
                # From openssl, with a key derivation count far above the
                # usual one: every PIN check would stall the host.
                key, pem, pfx = (self.path("costly" + ext) for ext in (".key", ".pem", ".p12"))
                self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                             "-out", pem, "-subj", "/CN=costly", "-days", "3")
                self.openssl("pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
                             "-certpbe", "NONE", "-iter", "200000", "-passout", "pass:" + PIN)
                damages.append(("costly", self.read(pfx), "file", ENTRY_BAD, ENTRY_BAD))
            hurt = {"providerName": provider, "containerName": "hurt"}
            for name, damaged, kind, cert_error, sign_error in damages:
                with self.subTest(provider=provider, damage=name):
                    self.replace(path, damaged, kind)
                    # Without the PIN only the certificate stored in clear is
                    # read. A failure names the damage by its CryptoAPI code
                    # and text, not "key does not exist"; a success is what
                    # the sound file gives.
                    cert = ask(hurt, requestAction="getCertificate")
                    if cert_error is None:
                        self.assertEqual(base64.b64decode(cert["certificate"]), certificate)
                    else:
                        self.assertRegex(cert.get("description"), error(cert_error))
                    self.assertEqual(ask(session, requestAction="getCertificate",
                                         storageType="STORAGE")["result"], "success")
                    for signature in ("RAW", "PKCS#7"):
                        signing = dict(requestAction="getSignature", fileDataPath=data,
                                       signatureType=signature)
                        self.assertRegex(ask(hurt, password=PIN, **signing).get("description"),
                                         error(sign_error))
                        signed = ask(session, **signing)
                        self.assertIn("signature", signed)
            certs, _ = self.verify_cms(signed["signature"], data,
                                       () if provider == STRONG else ("-engine", "gost"))
            self.assertEqual(certs, [store])
        # The input ends with a zero length, as the browser ends it.
        talk.proc.stdin.write(struct.pack("<I", 0))
        self.assertEqual(talk.close(), (b"", 0))

    def test_damaged_and_planted_files_are_listed_and_refused_without_waiting(self):
        good = self.make("a", store=True)
        self.make("b")
        self.make("c", store=True)
        self.make("d")
        self.make("d", keyspec="exchange")
        e_cert = self.make("e", store=True)
        # A FIFO as a key file, as the default container's file and in "MY".
        self.keytool("default", "--provider", STRONG, "--container", "b")
        self.replace(self.key_file("b"), kind="fifo")
        self.replace(self.softcsp("containers", "1", ".default"), kind="fifo")
        self.replace(self.key_file("c"), flip(self.read(self.key_file("c")), 300))
        self.replace(self.key_file("d", spec="exchange"), good)
        listed = "1\t" + STRONG + "\t%s"
        self.assertEqual(self.bounded_keytool("list", "--provider", STRONG), (0, "".join(
            listed % c + "\n" for c in ("a", "b\tdamaged: signature key file is damaged",
                                        "c\tdamaged: signature key file is damaged",
                                        "d\tdamaged: exchange key file is damaged", "e")), ""))
        code, _, err = self.bounded_keytool("export-cert", "--provider", STRONG,
                                            "--container", "c", "--out", self.path("c.der"))
        self.assertEqual((code, err.count("\n"), "damaged" in err), (1, 1, True), err)

        # The store: sound certificates and damaged files side by side.
        e_name = hashlib.sha1(e_cert).hexdigest() + ".cer"
        not_cert, misnamed = "damaged: is not a certificate", \
            "damaged: does not hold the certificate its name says"
        planted = {e_name: (flip(e_cert, 200), misnamed), "0" * 40 + ".cer": (b"", not_cert),
                   "1" * 40 + ".cer": (good, misnamed),
                   "2" * 40 + ".cer": (self.read(self.key_file("a")), not_cert),
                   "3" * 40 + ".cer": (None, "damaged: cannot be read as a file")}
        for name, (content, _) in planted.items():
            self.replace(self.softcsp("stores", "MY", name), content,
                         "fifo" if content is None else "file")
        code, out, err = self.bounded_keytool("store-list")
        self.assertEqual((code, err), (0, ""))
        lines = out.splitlines()
        self.assertIn(hashlib.sha1(good).hexdigest() + "\tCN=a", lines)
        self.assertEqual(sorted(line for line in lines if "\tdamaged: " in line),
                         sorted(name + "\t" + said for name, (_, said) in planted.items()))
        self.assertEqual(len(lines), 7)  # c's certificate is sound in the store

        # The host finds the sound certificate and never the damaged one, and
        # refuses the FIFOs at once.
        stored = {"requestAction": "getCertificate", "providerName": STRONG}
        a, e, b, b_signs, default = self.run_host(
            dict(stored, containerName="a", storageType="STORAGE"),
            dict(stored, containerName="e", storageType="STORAGE"),
            dict(stored, containerName="b"),
            dict(stored, requestAction="getSignature", containerName="b", password=PIN,
                 fileDataPath=self.write("data.bin", b"x")), stored)
        self.assertEqual(a["certificate"], base64.b64encode(good).decode())
        for reply, code in ((e, NOT_FOUND), (b, ENTRY_BAD), (b_signs, ENTRY_BAD),
                            (default, NO_KEYSET)):
            self.assertRegex(reply["description"], error(code))
        # Adding the certificate again mends its damaged file.
        self.keytool("store-add", "--cert", self.path("e-signature.der"))
        self.assertIn(e_name[:-4] + "\tCN=e", self.bounded_keytool("store-list")[1].splitlines())


if __name__ == "__main__":
    unittest.main()
