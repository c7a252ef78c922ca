"""Benchmark (not a test): one getSignature request whose contentFile makes a
64 MiB frame body, served by the Linux host, against the same bytes through
`base64 -d | openssl dgst -sha1 -sign` run side by side.

Prints the host's peak memory as a multiple of the frame body and its median
wall time as a multiple of the baseline's.

usage: python3 bench/contentfile.py BUILD_DIR [RUNS]   (needs GNU time: Debian "time")
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
import time

RSA = "Microsoft Strong Cryptographic Provider"
BODY = 64 * 1024 * 1024


def timed(cmd, stdin_path, env=None):
    """Wall time and peak RSS (bytes) of one run of cmd. GNU time measures the
    RSS: the rusage of a child forked from this large Python process would
    count pages it shared with us before exec."""
    with open(stdin_path, "rb") as stdin, tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-o", rss.name, "-f", "%M"] + cmd, stdin=stdin,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                       check=True)
        elapsed = time.perf_counter() - start
        return elapsed, int(rss.read().split()[-1]) * 1024


def measure(build, runs, work):
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"),
               TMPDIR=os.path.join(work, "tmp"), XDG_RUNTIME_DIR=os.path.join(work, "run"))
    os.makedirs(env["TMPDIR"])
    os.makedirs(env["XDG_RUNTIME_DIR"], 0o700)
    subprocess.run([os.path.join(build, "bin", "kelto-keytool"), "generate", "--provider", RSA,
                    "--container", "bench", "--no-cert"], env=env, check=True)
    key = os.path.join(work, "key.pem")
    subprocess.run(["openssl", "genrsa", "-out", key, "2048"], check=True,
                   stderr=subprocess.DEVNULL)

    # Content sized so that the whole frame body is 64 MiB.
    envelope = {"data": {"requestAction": "getSignature", "providerName": RSA,
                         "containerName": "bench", "contentFile": ""}}
    overhead = len(json.dumps(envelope))
    content = os.urandom((BODY - overhead) // 4 * 3)
    text = base64.b64encode(content).decode()
    envelope["data"]["contentFile"] = text
    body = json.dumps(envelope).encode()
    request = os.path.join(work, "request.bin")
    with open(request, "wb") as f:
        f.write(struct.pack("<I", len(body)) + body)
    b64 = os.path.join(work, "content.b64")
    with open(b64, "w") as f:
        f.write(text)
    body_size = len(body)
    del content, text, body, envelope

    host = [os.path.join(build, "bin", "keltoDataSigned")]
    baseline = ["sh", "-c", 'base64 -d | openssl dgst -sha1 -sign "$0" >/dev/null', key]
    host_times, base_times, peaks = [], [], []
    for _ in range(runs):
        t, peak = timed(host, request, env)
        host_times.append(t)
        peaks.append(peak)
        base_times.append(timed(baseline, b64)[0])
    host_t, base_t = statistics.median(host_times), statistics.median(base_times)
    print("frame body            %d bytes" % body_size)
    print("host peak memory      %.2fx the body (%d MiB)" %
          (max(peaks) / body_size, max(peaks) // 2**20))
    print("host median time      %.3f s" % host_t)
    print("baseline median time  %.3f s" % base_t)
    print("time ratio            %.2fx" % (host_t / base_t))


def main():
    work = tempfile.mkdtemp(prefix="kelto-bench-")
    try:
        measure(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 5, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
