"""softcsp's side of hostile input and damage, seen through the host and
kelto-keytool: sessions left open at the end of input, key files and store
certificates that are damaged or of the wrong kind, and FIFOs planted where
softcsp reads its files."""
import base64
import hashlib
import json
import os
import struct
import subprocess
import unittest

import hostproc
from fixture import GOST_2012, KEYTOOL, PIN, STRONG, HostCase, gost_available

ERROR = r"\AError 0x[0-9A-F]{8} - \S.*\r\n\Z"
NOT_FOUND = 0x80092004       # CRYPT_E_NOT_FOUND: no such certificate in "MY"
NO_KEYSET = 0x80090016
ENTRY_BAD = 0x8009001A       # NTE_KEYSET_ENTRY_BAD: the key file is damaged
BAD_KEY = 0x80090003         # NTE_BAD_KEY: a key of another algorithm


def providers():
    return (STRONG, GOST_2012) if gost_available() else (STRONG,)


def type_of(provider):
    return "1" if provider == STRONG else "80"


class StoreCase(HostCase):
    def key_file(self, container, provider=STRONG, spec="signature"):
        return os.path.join(self.env["XDG_DATA_HOME"], "keltoDataSigned", "softcsp",
                            "containers", type_of(provider), container, spec + ".p12")

    def store_dir(self):
        return os.path.join(self.env["XDG_DATA_HOME"], "keltoDataSigned", "softcsp",
                            "stores", "MY")

    def replace(self, path, data=None, kind="file"):
        """Puts a file with `data`, a directory or a FIFO where `path` was."""
        if os.path.isdir(path) and not os.path.islink(path):
            os.rmdir(path)
        elif os.path.lexists(path):
            os.remove(path)
        if kind == "dir":
            os.mkdir(path)
        elif kind == "fifo":
            os.mkfifo(path)
        else:
            with open(path, "wb") as f:
                f.write(data)

    # A FIFO that nobody writes would keep a blocking open() waiting for ever:
    # every run here is bounded.
    def run_host(self, *requests):
        """Reply `data` objects and the exit code of one host run."""
        proc = subprocess.run(hostproc.command(),
                              input=b"".join(hostproc.frame({"data": r}) for r in requests),
                              capture_output=True, env=hostproc.host_env(self.env),
                              timeout=hostproc.TIMEOUT)
        return [json.loads(f)["data"] for f in hostproc.split_frames(proc.stdout)], proc.returncode

    def bounded_keytool(self, *args):
        proc = subprocess.run([KEYTOOL, *args], capture_output=True,
                              env=hostproc.host_env(self.env), timeout=hostproc.TIMEOUT)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


class OpenSessionsAtExit(StoreCase):
    def test_input_ends_with_rsa_and_gost_sessions_open_and_the_host_exits_with_0(self):
        data = self.write("data.bin", b"signed in sessions never closed")
        for provider in providers():
            self.make("k" + type_of(provider), provider=provider, store=True)
        for ending in (b"", struct.pack("<I", 0)):
            with self.subTest(ending=ending):
                talk = self.conversation()
                for provider in providers():
                    opened = json.loads(talk.send({
                        "requestAction": "openCryptoProvider", "providerName": provider,
                        "containerName": "k" + type_of(provider), "password": PIN}))["data"]
                    self.assertEqual(opened["result"], "success", opened)
                    # Keys, certificate contexts and a store are now held open.
                    for request in ({"requestAction": "getCertificate", "storageType": "STORAGE"},
                                    {"requestAction": "getSignature", "fileDataPath": data},
                                    {"requestAction": "getSignature", "fileDataPath": data,
                                     "signatureType": "PKCS#7"}):
                        reply = json.loads(talk.send(dict(
                            request, providerName=provider,
                            handleProvider=opened["handleProvider"])))["data"]
                        self.assertEqual(reply["result"], "success", reply)
                talk.proc.stdin.write(ending)
                self.assertEqual(talk.close(), (b"", 0))


class DamagedKeyFiles(StoreCase):
    def damages(self, provider, sound, certificate):
        """(name, bytes or None, kind, error of getCertificate or None for
        success, error of signing) for each damage to a key file."""
        other = STRONG if provider == GOST_2012 else GOST_2012
        damages = [("empty", b"", "file", ENTRY_BAD, ENTRY_BAD),
                   # The MAC's salt sits just before the iteration count that
                   # ends the file: the PIN still opens the key. (Cuts and
                   # flips elsewhere are softcsp's unit suite's.)
                   ("bit flipped in the MAC salt", self.flip(sound, len(sound) - 6), "file",
                    None, ENTRY_BAD),
                   ("a certificate instead", certificate, "file", ENTRY_BAD, ENTRY_BAD),
                   ("a directory instead", None, "dir", ENTRY_BAD, ENTRY_BAD)]
        if gost_available():
            self.make("other", provider=other)
            damages.append(("a key of the other algorithm",
                            self.read(self.key_file("other", other)), "file", BAD_KEY, BAD_KEY))
            self.keytool("delete", "--provider", other, "--container", "other")
        return damages

    @staticmethod
    def error(code):
        return r"\AError 0x%X - \S.*\r\n\Z" % code

    @staticmethod
    def flip(data, at):
        return data[:at] + bytes([data[at] ^ 0x10]) + data[at + 1:]

    def test_damaged_key_files_fail_with_a_cryptoapi_error_and_the_rest_works(self):
        data = self.write("data.bin", b"payload")
        for provider in providers():
            store = self.make("sound", provider=provider, store=True)
            certificate = self.make("hurt", provider=provider, store=True)
            path = self.key_file("hurt", provider)
            sound = self.read(path)
            for name, damaged, kind, cert_error, sign_error in self.damages(
                    provider, sound, certificate):
                with self.subTest(provider=provider, damage=name):
                    self.replace(path, damaged, kind)
                    hurt = {"providerName": provider, "containerName": "hurt", "password": PIN}
                    # Without the PIN only the certificate stored in clear is read.
                    replies, code = self.run_host(
                        {"requestAction": "getCertificate", "providerName": provider,
                         "containerName": "hurt"},
                        dict(hurt, requestAction="getSignature", fileDataPath=data),
                        dict(hurt, requestAction="getSignature", fileDataPath=data,
                             signatureType="PKCS#7"),
                        {"requestAction": "getListContainer", "providerName": provider},
                        {"requestAction": "getSignature", "providerName": provider,
                         "containerName": "sound", "password": PIN, "fileDataPath": data,
                         "signatureType": "PKCS#7"})
                    self.assertEqual(code, 0)
                    cert, raw, pkcs7, listing, other = replies
                    # A failure names the damage by its CryptoAPI code and text,
                    # not "key does not exist"; a success is what the sound file
                    # gives.
                    if cert_error is None:
                        self.assertEqual(base64.b64decode(cert["certificate"]), certificate)
                    else:
                        self.assertRegex(cert.get("description"), self.error(cert_error))
                    for reply in (raw, pkcs7):
                        self.assertRegex(reply.get("description"), self.error(sign_error))
                    self.assertEqual(listing["containers"], "hurt;sound")
                    self.assertEqual(other["result"], "success", other)
            certs, _ = self.verify_cms(other["signature"], data,
                                       () if provider == STRONG else ("-engine", "gost"))
            self.assertEqual(certs, [store])
            self.keytool("delete", "--provider", provider, "--container", "hurt")
            self.keytool("delete", "--provider", provider, "--container", "sound")

    def test_a_key_file_asking_for_costly_key_derivation_counts_as_damaged(self):
        # PKCS#12 from openssl: readable as a container with the usual count;
        # with a count far above it every PIN check would stall the host.
        self.make("k")
        key, pem, data = self.path("k.key"), self.path("k.pem"), self.write("data.bin", b"x")
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-out", pem, "-subj", "/CN=foreign", "-days", "3")
        for iterations, error in (("2048", None), ("200000", ENTRY_BAD)):
            with self.subTest(iterations=iterations):
                pfx = self.path("k%s.p12" % iterations)
                self.openssl("pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
                             "-certpbe", "NONE", "-iter", iterations, "-passout", "pass:" + PIN)
                self.replace(self.key_file("k"), self.read(pfx))
                replies, _ = self.run_host(
                    {"requestAction": "getCertificate", "providerName": STRONG,
                     "containerName": "k"},
                    {"requestAction": "getSignature", "providerName": STRONG,
                     "containerName": "k", "password": PIN, "fileDataPath": data})
                for reply in replies:
                    if error is None:
                        self.assertEqual(reply["result"], "success", reply)
                    else:
                        self.assertRegex(reply.get("description"), self.error(error))

    def test_keytool_lists_damaged_entries_and_goes_on(self):
        good = self.make("a", store=True)
        self.make("b")
        self.make("c", store=True)
        self.make("d")
        self.make("d", keyspec="exchange")
        self.make("e", store=True)
        self.replace(self.key_file("b"), b"")
        flipped = self.key_file("c")
        self.replace(flipped, DamagedKeyFiles.flip(self.read(flipped), 300))
        self.replace(self.key_file("d", spec="exchange"), good)
        code, out, err = self.bounded_keytool("list", "--provider", STRONG)
        self.assertEqual((code, err), (0, ""))
        listed = "1\t" + STRONG + "\t"
        self.assertEqual(out, listed + "a\n" +
                              listed + "b\tdamaged: signature key file is damaged\n" +
                              listed + "c\tdamaged: signature key file is damaged\n" +
                              listed + "d\tdamaged: exchange key file is damaged\n" +
                              listed + "e\n")
        code, _, err = self.bounded_keytool("export-cert", "--provider", STRONG,
                                            "--container", "c", "--out", self.path("c.der"))
        self.assertEqual((code, err.count("\n")), (1, 1))
        self.assertIn("damaged", err)

        # The store: sound certificates and damaged files side by side.
        store = self.store_dir()
        e_cert = self.read(self.path("e-signature.der"))
        e_name = hashlib.sha1(e_cert).hexdigest() + ".cer"
        self.replace(os.path.join(store, e_name), DamagedKeyFiles.flip(e_cert, 200))
        self.replace(os.path.join(store, "0" * 40 + ".cer"), b"")
        self.replace(os.path.join(store, "1" * 40 + ".cer"), good)  # not its name
        self.replace(os.path.join(store, "2" * 40 + ".cer"), self.read(self.key_file("a")))
        code, out, err = self.bounded_keytool("store-list")
        self.assertEqual((code, err), (0, ""))
        lines = out.splitlines()
        self.assertIn(hashlib.sha1(good).hexdigest() + "\tCN=a", lines)
        self.assertEqual(sorted(line for line in lines if "\tdamaged: " in line), sorted([
            "0" * 40 + ".cer\tdamaged: is not a certificate",
            "1" * 40 + ".cer\tdamaged: does not hold the certificate its name says",
            "2" * 40 + ".cer\tdamaged: is not a certificate",
            e_name + "\tdamaged: does not hold the certificate its name says"]))
        self.assertEqual(len(lines), 6)  # c's certificate is sound in the store

        # The host finds the sound certificate and never the damaged one.
        replies, code = self.run_host(*({"requestAction": "getCertificate",
                                         "providerName": STRONG, "containerName": name,
                                         "storageType": "STORAGE"} for name in ("a", "e")))
        self.assertEqual(replies[0]["certificate"], base64.b64encode(good).decode())
        self.assertRegex(replies[1]["description"], r"\AError 0x%X - " % NOT_FOUND)
        # Adding the certificate again mends its damaged file.
        self.keytool("store-add", "--cert", self.path("e-signature.der"))
        self.assertIn(e_name[:-4] + "\tCN=e", self.bounded_keytool("store-list")[1].splitlines())


class PlantedFifos(StoreCase):
    def test_fifos_in_the_store_are_refused_without_waiting(self):
        self.make("k", store=True)
        self.make("f", store=True)
        self.keytool("default", "--provider", STRONG, "--container", "f")
        self.replace(self.key_file("f"), kind="fifo")
        type_dir = os.path.dirname(os.path.dirname(self.key_file("f")))
        self.replace(os.path.join(type_dir, ".default"), kind="fifo")
        self.replace(os.path.join(self.store_dir(), "3" * 40 + ".cer"), kind="fifo")
        data = self.write("data.bin", b"x")
        replies, code = self.run_host(
            {"requestAction": "getCertificate", "providerName": STRONG, "containerName": "f"},
            {"requestAction": "getSignature", "providerName": STRONG, "containerName": "f",
             "password": PIN, "fileDataPath": data},
            {"requestAction": "getCertificate", "providerName": STRONG},  # the default
            {"requestAction": "getCertificate", "providerName": STRONG, "containerName": "k",
             "storageType": "STORAGE"})
        self.assertEqual(code, 0)
        self.assertRegex(replies[0]["description"], ERROR)
        self.assertRegex(replies[1]["description"], ERROR)
        self.assertRegex(replies[2]["description"], r"\AError 0x%X - " % NO_KEYSET)
        self.assertEqual(replies[3]["result"], "success", replies[3])
        code, out, _ = self.bounded_keytool("list")
        self.assertEqual((code, out), (0, "1\t%s\tf\tdamaged: signature key file is damaged\n"
                                          "1\t%s\tk\n" % (STRONG, STRONG)))
        code, out, _ = self.bounded_keytool("store-list")
        self.assertEqual(code, 0)
        self.assertIn("3" * 40 + ".cer\tdamaged: cannot be read as a file", out.splitlines())


if __name__ == "__main__":
    unittest.main()
