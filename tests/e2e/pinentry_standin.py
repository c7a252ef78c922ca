#!/usr/bin/env python3
"""A stand-in pinentry for the tests: speaks the pinentry's Assuan protocol
on standard input and output and answers each GETPIN from a queue.

KELTO_STANDIN_ANSWERS names the queue: a file of JSON lines, taken from the
front. {"pin": "text"} answers that PIN; "cancel" and "timeout" answer as a
pinentry does when the person cancels or lets it time out; "exit" leaves
without answering; "hang" never answers; "babble", taken at start, makes the
program something that is not a pinentry at all. An empty queue cancels.

KELTO_STANDIN_RECORD names a file that gets one JSON line per start (its
process facts) and per command received (the raw line)."""
import json
import os
import sys
import time

ANSWERS = os.environ["KELTO_STANDIN_ANSWERS"]
RECORD = os.environ["KELTO_STANDIN_RECORD"]


def record(entry):
    with open(RECORD, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n")


def next_answer():
    with open(ANSWERS, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not lines:
        return "cancel"
    with open(ANSWERS, "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines[1:]))
    return json.loads(lines[0])


def escape(data):
    return data.replace(b"%", b"%25").replace(b"\r", b"%0D").replace(b"\n", b"%0A")


def main():
    try:
        os.close(os.open("/dev/tty", os.O_RDONLY))
        terminal = True
    except OSError:
        terminal = False
    record({"start": os.getpid(), "terminal": terminal, "own_session": os.getsid(0) == os.getpid(),
            "display": os.environ.get("DISPLAY")})
    out = sys.stdout.buffer
    with open(ANSWERS, encoding="utf-8") as f:
        babble = f.readline().strip() == '"babble"'
    if babble:
        next_answer()
        out.write(b"220 mail.example ESMTP ready\r\n")
        out.flush()
        for _ in sys.stdin.buffer:
            out.write(b"500 what?\r\n")
            out.flush()
        return
    out.write(b"OK Pleased to meet you\n")
    out.flush()
    for raw in sys.stdin.buffer:
        line = raw.rstrip(b"\n").decode("utf-8")
        record({"command": line})
        if line == "GETPIN":
            answer = next_answer()
            if answer == "exit":
                return
            if answer == "hang":
                time.sleep(3600)
            if answer == "cancel":
                out.write(b"ERR 83886179 Operation cancelled <Pinentry>\n")
            elif answer == "timeout":
                out.write(b"ERR 83886142 Timeout <Pinentry>\n")
            else:
                out.write(b"D " + escape(answer["pin"].encode("utf-8")) + b"\nOK\n")
        elif line == "BYE":
            out.write(b"OK closing connection\n")
            out.flush()
            return
        else:
            out.write(b"OK\n")
        out.flush()


if __name__ == "__main__":
    main()
