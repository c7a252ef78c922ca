"""Benchmark (not a test): detached PKCS#7 of large files named by
fileDataPath, served by the Linux host, against `openssl cms -sign -binary`
with the same key, certificate and file, run side by side.

Keys: RSA 2048 with SHA-256, and GOST R 34.10-2012 256-bit with Streebog-256
(`openssl cms -engine gost -md md_gost12_256`); both made by openssl and
imported into softcsp containers. Files: 512 MiB and 2 GiB of random bytes
unless sizes in MiB are given. For each pair it prints the median wall time
of both, their ratio and the host's peak RSS. Every host reply is checked
once by `openssl cms -verify` before it is timed.

usage: python3 bench/pkcs7.py BUILD_DIR [RUNS] [SIZE_MIB...]
       (needs GNU time: Debian "time"; files go to $TMPDIR and are removed)
"""
import base64
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile

from contentfile import timed

PIN = "bench"
KEYS = (  # name, provider, key options, digest, engine
    ("RSA", "Microsoft Strong Cryptographic Provider",
     ("-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"), "sha256", ()),
    ("GOST 2012-256", "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
     ("-algorithm", "gost2012_256", "-pkeyopt", "paramset:A"), "md_gost12_256",
     ("-engine", "gost")),
)


def run(*cmd, **kw):
    return subprocess.run(list(cmd), check=True, capture_output=True, **kw)


def make_key(work, env, keytool, name, provider, options, digest, engine):
    """A key and certificate for openssl, and the same pair in a container."""
    stem = os.path.join(work, name.split()[0].lower())
    key, cert, pfx = stem + ".key", stem + ".pem", stem + ".pfx"
    run("openssl", "genpkey", *engine, *options, "-out", key)
    run("openssl", "req", *engine, "-x509", "-key", key, "-out", cert, "-subj",
        "/CN=bench " + name, "-days", "2", "-" + digest)
    run("openssl", "pkcs12", *engine, "-export", "-inkey", key, "-in", cert, "-out", pfx,
        "-passout", "pass:pw")
    run(keytool, "import", "--provider", provider, "--container", "bench", "--pfx", pfx,
        "--pfx-password", "pw", "--pin", PIN, env=env)
    return key, cert


def make_file(path, size):
    block = os.urandom(64 * 1024 * 1024)
    with open(path, "wb") as f:
        for start in range(0, size, len(block)):
            f.write(block[:min(len(block), size - start)])


def request_frame(path, provider, data_path):
    body = json.dumps({"data": {"requestAction": "getSignature", "providerName": provider,
                                "containerName": "bench", "password": PIN,
                                "signatureType": "PKCS#7", "fileDataPath": data_path}})
    with open(path, "wb") as f:
        f.write(struct.pack("<I", len(body)) + body.encode())


def check_reply(host, request, env, data, cert, engine, work):
    """One untimed run whose message openssl must verify over the file."""
    with open(request, "rb") as stdin:
        out = subprocess.run(host, stdin=stdin, capture_output=True, env=env, check=True).stdout
    reply = json.loads(out[4:])["data"]
    if reply.get("result") != "success":
        raise SystemExit("the host failed: %r" % reply)
    message = os.path.join(work, "reply.p7s")
    with open(message, "wb") as f:
        f.write(base64.b64decode(reply["signature"]))
    run("openssl", "cms", *engine, "-verify", "-binary", "-inform", "DER", "-in", message,
        "-content", data, "-CAfile", cert, "-out", os.devnull)


def main():
    build = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    sizes = [int(s) for s in sys.argv[3:]] or [512, 2048]
    host = [os.path.join(build, "bin", "keltoDataSigned")]
    keytool = os.path.join(build, "bin", "kelto-keytool")
    work = tempfile.mkdtemp(prefix="kelto-bench-pkcs7-")
    try:
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "store"))
        keys = [make_key(work, env, keytool, *k) for k in KEYS]
        print("%-14s %9s %9s %10s %7s %10s" % ("key", "file", "host s", "openssl s",
                                              "ratio", "host peak"))
        for size in sizes:
            data = os.path.join(work, "data.bin")
            make_file(data, size * 2**20)
            for (name, provider, _, digest, engine), (key, cert) in zip(KEYS, keys):
                request = os.path.join(work, "request.bin")
                request_frame(request, provider, data)
                check_reply(host, request, env, data, cert, engine, work)
                baseline = ["openssl", "cms", "-sign", *engine, "-binary", "-md", digest,
                            "-in", data, "-signer", cert, "-inkey", key, "-outform", "DER",
                            "-out", os.devnull]
                host_times, base_times, peaks = [], [], []
                for _ in range(runs):
                    elapsed, peak = timed(host, request, env)
                    host_times.append(elapsed)
                    peaks.append(peak)
                    base_times.append(timed(baseline, os.devnull)[0])
                host_t, base_t = statistics.median(host_times), statistics.median(base_times)
                print("%-14s %5d MiB %9.2f %10.2f %6.2fx %6d MiB" % (
                    name, size, host_t, base_t, host_t / base_t, max(peaks) // 2**20),
                    flush=True)
            os.remove(data)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
