"""Talks to the host the way the browser does and prints the conversation."""
import json
import struct
import subprocess
import sys


def conversation(host, requests):
    stream = b""
    for request in requests:
        body = json.dumps(request, ensure_ascii=False).encode("utf-8")
        stream += struct.pack("<I", len(body)) + body
    out = subprocess.run([host], input=stream, stdout=subprocess.PIPE, check=True).stdout
    replies, pos = [], 0
    while pos < len(out):
        (length,) = struct.unpack_from("<I", out, pos)
        replies.append(json.loads(out[pos + 4:pos + 4 + length]))
        pos += 4 + length
    return replies


def main():
    host = sys.argv[1]
    requests = [
        {"contentId": "1", "data": {"requestAction": "closeCryptoProvider"}},
        {"contentId": "2", "data": {"requestAction": "noSuchAction", "note": "echoed back"}},
        {"contentId": "3", "data": {"requestAction": "getSignature",
                                    "contentFile": "SGVsbG8=", "signatureType": "PKCS#7"}},
    ]
    for request, reply in zip(requests, conversation(host, requests)):
        print(">>> request\n" + json.dumps(request, indent=2, ensure_ascii=False))
        print("<<< reply\n" + json.dumps(reply, indent=2, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
