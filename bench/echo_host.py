#!/usr/bin/env python3
"""A native-messaging host for bench/browser.mjs: reads each request frame
whole and answers it at once as a successful signature, without parsing the
content, so that what the benchmark measures is the browser's side. It
appends, per request, the wall-clock times (ms) of its first and last byte
to the file named by KELTO_BENCH_TIMES."""
import json
import os
import re
import struct
import sys
import time


def main():
    source, sink = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = source.read(4)
        if len(head) < 4:
            return
        first = time.time() * 1000
        (length,) = struct.unpack("<I", head)
        body = source.read(length)
        last = time.time() * 1000
        found = re.search(rb'"contentId":"([^"]*)"', body[:1024])
        content_id = found.group(1).decode() if found else ""
        reply = json.dumps({"contentId": content_id, "data": {
            "requestAction": "getSignature", "result": "success", "signature": "AA=="}}).encode()
        sink.write(struct.pack("<I", len(reply)) + reply)
        sink.flush()
        with open(os.environ["KELTO_BENCH_TIMES"], "a", encoding="utf-8") as f:
            f.write(json.dumps({"first": first, "last": last, "bytes": length}) + "\n")


if __name__ == "__main__":
    main()
