"""Starts the built host and speaks its frame protocol over pipes.

KELTO_HOST names the program. With KELTO_WINE=1 it is a Windows .exe run
under Wine in the prefix that WINEPREFIX names (booted by the test run).
"""
import functools
import json
import os
import shutil
import struct
import subprocess
import unittest

HOST = os.environ.get("KELTO_HOST", "")
UNDER_WINE = os.environ.get("KELTO_WINE") == "1"
TIMEOUT = 120 if UNDER_WINE else 30


def require_host():
    if UNDER_WINE and shutil.which("wine") is None:
        raise unittest.SkipTest("wine is not installed: the Windows run is skipped")
    if not HOST or not os.path.exists(HOST):
        raise RuntimeError("KELTO_HOST must name the built program, got %r" % HOST)


def command(program=None):
    program = program or HOST
    return ["wine", program] if UNDER_WINE else [program]


def host_env(extra=None):
    env = dict(os.environ)
    if UNDER_WINE:
        env.setdefault("WINEDEBUG", "-all")
        env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    for name, value in (extra or {}).items():
        if value is None:
            env.pop(name, None)  # the host must run without it
        else:
            env[name] = value
    return env


@functools.lru_cache(maxsize=None)
def windows_temp_dir():
    """The Windows temporary folder of the Wine prefix, as a Linux path."""
    def output(*args):
        return subprocess.run(args, env=host_env(), stdout=subprocess.PIPE, text=True,
                              stderr=subprocess.DEVNULL, timeout=TIMEOUT).stdout.strip()
    temp = output("winepath", "-u", output("wine", "cmd", "/c", "echo %TEMP%"))
    if not os.path.isdir(temp):
        raise RuntimeError("no temporary folder %r in the Wine prefix" % temp)
    return temp


def frame(body):
    """A request frame from bytes, str or a JSON-serialisable object."""
    if isinstance(body, (dict, list)):
        body = json.dumps(body, separators=(",", ":"), ensure_ascii=False)
    if isinstance(body, str):
        body = body.encode("utf-8")
    return struct.pack("<I", len(body)) + body


def split_frames(data):
    """Splits the host's output into frame bodies; fails on a partial frame."""
    frames = []
    while data:
        (length,) = struct.unpack_from("<I", data) if len(data) >= 4 else (-1,)
        if not 0 <= length <= len(data) - 4:
            raise AssertionError("partial frame: %r" % data[:64])
        frames.append(data[4:4 + length])
        data = data[4 + length:]
    return frames


def run(stdin_bytes, env=None, cwd=None):
    """Runs the host on the given input; returns (reply bodies, completed process)."""
    proc = subprocess.run(command(), input=stdin_bytes, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=host_env(env), cwd=cwd,
                          timeout=TIMEOUT)
    return split_frames(proc.stdout), proc


def ask(*requests, env=None):
    """Sends requests (objects, str or bytes bodies); returns reply bodies as str."""
    frames, _ = run(b"".join(frame(r) for r in requests), env=env)
    return [f.decode("utf-8") for f in frames]
