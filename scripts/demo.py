"""The host's main job, shown the way the browser drives it.

Makes a throwaway software key store (an RSA container with a PIN whose
certificate is also in "MY", and a GOST R 34.10-2012 container), then talks
to one host process over its pipe: lists containers, opens a session, reads
the certificate from the container and from "MY", signs a file and Base64
content (raw and PKCS#7), closes the session. Every signature is verified
with the openssl command line.

usage: demo.py HOST KEYTOOL
"""
import base64
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

RSA = "Microsoft Strong Cryptographic Provider"
GOST = "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider"
PIN = "4321"


class Host:
    """One host process, one request at a time, as the browser talks to it."""

    def __init__(self, program, env):
        self.proc = subprocess.Popen([program], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env)

    def ask(self, request):
        shown = json.loads(json.dumps(request))
        if "contentFile" in shown.get("data", {}):
            shown["data"]["contentFile"] = shown["data"]["contentFile"][:24] + "..."
        print(">>> request\n" + json.dumps(shown, indent=2, ensure_ascii=False))
        body = json.dumps(request, ensure_ascii=False).encode("utf-8")
        self.proc.stdin.write(struct.pack("<I", len(body)) + body)
        self.proc.stdin.flush()
        (length,) = struct.unpack("<I", self.proc.stdout.read(4))
        reply = json.loads(self.proc.stdout.read(length))
        shown = json.loads(json.dumps(reply))
        for key in ("certificate", "signature"):
            if key in shown["data"]:
                shown["data"][key] = shown["data"][key][:48] + "..."
        print("<<< reply\n" + json.dumps(shown, indent=2, ensure_ascii=False) + "\n")
        if reply["data"].get("result") != "success":
            sys.exit("demo: the host answered with an error")
        return reply["data"]

    def close(self):
        self.proc.stdin.write(b"\0\0\0\0")
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def openssl(*args):
    done = subprocess.run(["openssl", *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("demo: openssl %s failed:\n%s" % (args[0], done.stderr))


def main():
    program, keytool = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="kelto-demo-")
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"),
               TMPDIR=os.path.join(work, "tmp"), XDG_RUNTIME_DIR=os.path.join(work, "run"))
    os.makedirs(env["TMPDIR"])
    os.makedirs(env["XDG_RUNTIME_DIR"], 0o700)

    def path(name):
        return os.path.join(work, name)

    def keys(*args):
        subprocess.run([keytool, *args], check=True, env=env)

    print("== A throwaway key store in", env["XDG_DATA_HOME"])
    keys("generate", "--provider", RSA, "--container", "demo-rsa", "--pin", PIN,
         "--subject", "CN=Demo Signer", "--store")
    keys("export-cert", "--provider", RSA, "--container", "demo-rsa", "--out", path("rsa.der"))
    keys("generate", "--provider", GOST, "--container", "demo-gost")
    keys("export-cert", "--provider", GOST, "--container", "demo-gost", "--out",
         path("gost.der"))
    for name, engine in (("rsa", []), ("gost", ["-engine", "gost"])):
        openssl("x509", *engine, "-inform", "DER", "-in", path(name + ".der"), "-pubkey",
                "-noout", "-out", path(name + "-pub.pem"))
    document = path("contract.txt")
    with open(document, "w") as f:
        f.write("I agree to the terms of this contract.\n")
    content = "Signed from the browser's memory.\n".encode()
    with open(path("content.bin"), "wb") as f:
        f.write(content)
    content64 = base64.b64encode(content).decode()

    host = Host(program, env)
    signatures = []
    print("\n== The browser's requests and the host's replies\n")
    host.ask({"contentId": "1", "data": {"requestAction": "getListContainer",
                                         "providerName": RSA}})
    session = host.ask({"contentId": "2", "data": {
        "requestAction": "openCryptoProvider", "providerName": RSA,
        "containerName": "demo-rsa", "password": PIN}})["handleProvider"]
    in_session = {"providerName": RSA, "containerName": "demo-rsa",
                  "handleProvider": session}
    for source in ("CONTAINER", "STORAGE"):
        certificate = host.ask({"contentId": "3", "data": dict(
            in_session, requestAction="getCertificate", storageType=source)})["certificate"]
        with open(path("rsa.der"), "rb") as f:
            assert base64.b64decode(certificate) == f.read(), "certificate differs"
    signatures.append(("RSA raw, file", "rsa", "-sha1", document, host.ask(
        {"contentId": "4", "data": dict(in_session, requestAction="getSignature",
                                         fileDataPath=document)})["signature"]))
    signatures.append(("RSA PKCS#7, content", "rsa", "cms", path("content.bin"), host.ask(
        {"contentId": "5", "data": dict(in_session, requestAction="getSignature",
                                         signatureType="PKCS#7", storageType="STORAGE",
                                         contentFile=content64)})["signature"]))
    host.ask({"contentId": "6", "data": dict(in_session, requestAction="closeCryptoProvider")})
    gost = {"providerName": GOST, "containerName": "demo-gost"}
    signatures.append(("GOST raw, content", "gost", "-md_gost12_256", path("content.bin"),
                       host.ask({"contentId": "7", "data": dict(
                           gost, requestAction="getSignature",
                           contentFile=content64)})["signature"]))
    signatures.append(("GOST PKCS#7, file", "gost", "cms", document, host.ask(
        {"contentId": "8", "data": dict(gost, requestAction="getSignature",
                                         signatureType="PKCS#7",
                                         fileDataPath=document)})["signature"]))
    host.close()

    print("== Every signature checked by the openssl command line")
    for label, key, kind, signed, signature in signatures:
        sig = path("sig.bin")
        with open(sig, "wb") as f:
            f.write(base64.b64decode(signature))
        engine = ["-engine", "gost"] if key == "gost" else []
        if kind == "cms":
            openssl("cms", "-verify", *engine, "-binary", "-inform", "DER", "-in", sig,
                    "-content", signed, "-noverify", "-out", os.devnull)
        else:
            openssl("dgst", *engine, kind, "-verify", path(key + "-pub.pem"), "-signature",
                    sig, signed)
        print("  %-22s verified by openssl: OK" % label)
    staged = os.listdir(os.path.join(env["XDG_RUNTIME_DIR"], "kelto_data_signed"))
    print("  staged content files left behind: %d" % len(staged))
    if staged:
        sys.exit("demo: staged files were left behind")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
