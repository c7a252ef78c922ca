#!/usr/bin/env python3
"""A stand-in pinentry for the tests: speaks the Assuan protocol on standard
input and output and answers each GETPIN from the queue of JSON lines that
KELTO_STANDIN_ANSWERS names: {"pin": "text"} answers that PIN, "cancel" and
"timeout" as a pinentry does when the person cancels or lets it time out,
"exit" leaves without answering, "hang" never answers, and "babble", first
in the queue at start, makes it something that is no pinentry at all; an
empty queue cancels. KELTO_STANDIN_RECORD gets one JSON line per start (its
process facts) and per command received."""
import json
import os
import sys
import time

ANSWERS = os.environ["KELTO_STANDIN_ANSWERS"]


def record(entry):
    with open(os.environ["KELTO_STANDIN_RECORD"], "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n")


def next_answer():
    with open(ANSWERS, encoding="utf-8") as f:
        lines = f.read().splitlines()
    with open(ANSWERS, "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines[1:]))
    return json.loads(lines[0]) if lines else "cancel"


REPLIES = {"cancel": b"ERR 83886179 Operation cancelled <Pinentry>\n",
           "timeout": b"ERR 83886142 Timeout <Pinentry>\n"}


def main():
    record({"start": os.getpid(), "own_session": os.getsid(0) == os.getpid(),
            "display": os.environ.get("DISPLAY")})
    out = sys.stdout.buffer
    with open(ANSWERS, encoding="utf-8") as f:
        babble = f.readline().strip() == '"babble"'
    if babble:
        next_answer()
    out.write(b"220 mail.example ESMTP ready\r\n" if babble else b"OK Pleased to meet you\n")
    out.flush()
    for raw in sys.stdin.buffer:
        line = raw.rstrip(b"\n").decode("utf-8")
        if babble:
            out.write(b"500 what?\r\n")
            out.flush()
            continue
        record({"command": line})
        answer = next_answer() if line == "GETPIN" else None
        if answer == "exit":
            return
        if answer == "hang":
            time.sleep(3600)
        if isinstance(answer, dict):
            pin = answer["pin"].encode("utf-8")
            answer = b"D " + pin.replace(b"%", b"%25").replace(b"\r", b"%0D").replace(
                b"\n", b"%0A") + b"\nOK\n"
        out.write(REPLIES.get(answer, answer) or
                  (b"OK closing connection\n" if line == "BYE" else b"OK\n"))
        out.flush()
        if line == "BYE":
            return


if __name__ == "__main__":
    main()
