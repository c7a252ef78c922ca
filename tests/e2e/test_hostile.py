"""Requests as an attacker would write them, on a machine shared with other
users. Each case is judged by what the browser and the file system see: the
reply bytes, the exit code, the files left behind. Answers that must come at
once are read with a deadline, so a host that spins or blocks fails the case
instead of hanging the run."""
import base64
import fcntl
import json
import os
import resource
import shutil
import socket
import stat
import unittest

import hostproc
from fixture import (NO_FILE, NO_KEYSET, NO_OPEN, PIN, STRONG, Conversation, HostCase,
                     bad_alias, echo)

PROMPTLY = 5  # seconds: ample for an answer that needs no waiting at all
NOBODY = 65534


def signing(path=None, kind="RAW", **extra):
    """A signing request for the file `path`, or for content given in `extra`."""
    data = dict({"requestAction": "getSignature", "containerName": "c", "providerName": STRONG,
                 "password": PIN, "fileDataPath": path, "signatureType": kind}, **extra)
    return {k: v for k, v in data.items() if v is not None}


def staging(content, **extra):
    return signing(contentFile=content, signatureType=None, **extra)


class Hostile(HostCase):
    def host(self, env=None, **popen):
        host = Conversation(env or self.env, **popen)
        self.addCleanup(host.kill)
        return host

    def answer(self, host, data):
        return host.send(data, PROMPTLY)

    def signed_at_once(self, host, data):
        return self.signature_of(self.answer(host, data), data)

    def assertEnds(self, host):
        self.assertEqual(host.close(), (b"", 0))

    def test_text_with_u0000_names_nothing_and_stalls_no_other_instance(self):
        cert = self.make("c")
        content = b"staged by the other instance"
        original = self.write("original.bin", content)
        data = self.write("data.bin", b"named by path")
        self.write("a?", b"what a lone surrogate would turn into")
        os.mkdir(self.path("w"))
        hostile = self.host()
        # Such a directory once sent the naming loop round for ever, holding
        # the lock that every instance takes to stage.
        request = staging("QUJD", workingDirectory=self.path("w") + "\0x")
        hostile.post(request)
        other = self.host()
        signature = self.signed_at_once(other, staging(base64.b64encode(content).decode()))
        self.verify_raw(signature, cert, original, "-sha1")
        self.assertEnds(other)
        self.assertEqual(hostile.reply(PROMPTLY),
                         echo(request, description=NO_FILE, result="error"))
        for request, code in (
                (signing(data + "\0.txt"), NO_OPEN),
                (signing(data + "\0", "PKCS#7"), NO_OPEN),
                ({"requestAction": "openCryptoProvider", "containerName": "c\0",
                  "providerName": STRONG, "password": PIN}, NO_KEYSET),
                (signing(data, providerName=STRONG + "\0"), bad_alias("openCryptoProvider")),
                ({"requestAction": "getListContainer", "providerName": STRONG + "\0"},
                 bad_alias("getListContainer"))):
            with self.subTest(request=request):
                self.assertFailure(request, code, self.answer(hostile, request))
        # A lone surrogate has no UTF-8 form: no file is named by it either.
        request = json.dumps({"data": signing(self.path("a\ud800"))}).encode()
        hostile.post(request)
        self.assertEqual(json.loads(hostile.reply(PROMPTLY))["data"]["description"], NO_OPEN)
        # The same process still signs what the names say without the U+0000.
        self.verify_raw(self.signed_at_once(hostile, signing(data)), cert, data, "-sha1")
        self.assertEnds(hostile)
        self.assertEqual(os.listdir(self.path("w")), [])

    def test_a_body_that_is_not_utf8_is_read_past_to_its_end(self):
        hidden = hostproc.frame({"contentId": "hidden"})
        for size in (100 * 1024, 10 * 1024 * 1024):
            with self.subTest(size=size):
                body = bytearray(b'{"contentId":"bad","data":{"pad":"\xff')
                body += b"a" * (size - len(body) - 3) + b'"}}'
                # Requests hidden where a reader that lost step would look for
                # the next frame (its buffer's size) and anywhere else.
                for at in (65536, size // 2, size - 100):
                    body[at:at + len(hidden)] = hidden
                frames, proc = hostproc.run(hostproc.frame(bytes(body)) +
                                            hostproc.frame({"contentId": "next"}))
                self.assertEqual((frames, proc.returncode), ([
                    b'{"contentId":"next","data":{"description":"Unknow request action ",'
                    b'"result":"error"}}'], 0))

    def test_the_host_outlives_a_reader_that_left(self):
        # Replies to a browser that has gone fail; the host reads on to the end.
        read_end, write_end = os.pipe()
        os.close(read_end)
        gone = self.host(stdout=write_end)
        os.close(write_end)
        for _ in range(3):
            gone.post({"requestAction": "x"})
        self.assertEnds(gone)

    def test_only_regular_files_are_read_and_to_their_end(self):
        cert = self.make("c")
        fifo = self.path("fifo")
        os.mkfifo(fifo, 0o600)
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(self.path("socket"))
        listener.listen()
        host = self.host()
        # Each of these blocks a reader, never ends or is not a file at all.
        for path in (fifo, "/dev/zero", "/dev/stdin", "/proc/self/fd/0", self.dir,
                     self.path("socket")):
            for kind in ("RAW", "PKCS#7"):
                with self.subTest(path=path, signatureType=kind):
                    request = signing(path, kind)
                    self.assertEqual(self.answer(host, request),
                                     echo(request, description=NO_OPEN, result="error"))
        # A file under /proc reports a size of 0 and still has content.
        with open("/proc/version", "rb") as f:
            version = self.write("version", f.read())
        self.assertGreater(os.path.getsize(version), 0)
        self.verify_raw(self.signed_at_once(host, signing("/proc/version")), cert, version,
                        "-sha1")
        signature = self.signed_at_once(host, signing("/proc/version", "PKCS#7"))
        self.assertEqual(self.verify_cms(signature, version)[0], [cert])
        self.assertEnds(host)

    def test_staging_places_that_are_not_private_get_nothing_and_stop_nothing(self):
        cert = self.make("c")
        content = os.urandom(5000)
        original = self.write("original.bin", content)
        elsewhere = self.path("elsewhere")
        os.mkdir(elsewhere, 0o700)
        default = os.path.join(self.runtime, "kelto_data_signed")
        fallback = os.path.join(self.temp, "keltoDataSigned-%d" % os.geteuid())

        # (what is put in place, where the data must be staged then)
        spoils = [("link", None), ("group-writable staging", None),
                  ("group-writable runtime", fallback)]
        if os.geteuid() == 0:
            spoils.append(("another user's runtime", fallback))
        for spoil, used in spoils:
            with self.subTest(spoil):
                for name in os.listdir(self.runtime):  # the lock files of the case before
                    os.remove(os.path.join(self.runtime, name))
                if spoil == "link":
                    # To a folder that is not there: data staged through the
                    # link would fail the signing, not only land elsewhere.
                    os.symlink(os.path.join(elsewhere, "gone"), default)
                elif spoil == "group-writable staging":
                    os.mkdir(default, 0o700)
                    os.chmod(default, 0o770)
                elif spoil == "group-writable runtime":
                    os.chmod(self.runtime, 0o770)
                else:
                    os.chown(self.runtime, NOBODY, -1)
                host = self.host()
                signature = self.signed_at_once(host, staging(base64.b64encode(content).decode()))
                self.verify_raw(signature, cert, original, "-sha1")
                self.assertEnds(host)
                self.assertEqual(os.listdir(elsewhere), [])
                if os.path.isdir(default) and not os.path.islink(default):
                    self.assertEqual(os.listdir(default), [])
                if used is None:
                    self.assertEqual(os.listdir(self.temp), [],
                                     "staged in a directory of its own, removed with it")
                else:
                    # Neither the data nor a lock file in the group's reach.
                    self.assertEqual(os.listdir(self.runtime), [])
                    self.assertEqual(os.listdir(os.path.join(used, "kelto_data_signed")), [])
                    shutil.rmtree(used)
                    os.chmod(self.runtime, 0o700)
                    os.chown(self.runtime, os.geteuid(), -1)
                if os.path.islink(default):
                    os.remove(default)
                elif os.path.isdir(default):
                    os.rmdir(default)

    def test_a_write_that_fails_midway_leaves_no_staged_file_nor_stops_the_host(self):
        # The file-size limit stops the write of a staged file after 4 KiB;
        # the host runs without a standard error, as it may be started.
        self.make("c")
        host = self.host(preexec_fn=lambda: (
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)), os.close(2)))
        data = staging(base64.b64encode(os.urandom(100000)).decode())
        self.assertEqual(self.answer(host, data),
                         echo(data, description=NO_FILE, result="error"))
        self.assertEnds(host)
        self.assertEqual(os.listdir(os.path.join(self.runtime, "kelto_data_signed")), [])

    def test_names_that_another_user_holds_stop_neither_start_up_nor_signing(self):
        if os.geteuid() != 0:
            self.skipTest("only root can give entries to another user")
        cert = self.make("c")
        content = os.urandom(5000)
        original = self.write("original.bin", content)
        request = staging(base64.b64encode(content).decode())

        def sign(env):
            host = self.host(env)
            self.verify_raw(self.signed_at_once(host, request), cert, original, "-sha1")
            self.assertEnds(host)

        def entries(folder):
            return {n: (stat.S_IMODE(s.st_mode), s.st_uid) for n in os.listdir(folder)
                    for s in [os.lstat(os.path.join(folder, n))]}

        # Without a runtime folder the user's place is a name of its own in the
        # temporary folder. Another user takes that name, the shared name that
        # staging once used, and the lock files once used there (and holds them).
        without_runtime = dict(self.env, XDG_RUNTIME_DIR=None)
        me = os.geteuid()
        mine = "keltoDataSigned-%d" % me
        theirs = {}
        for name in (mine, "kelto_data_signed"):
            os.mkdir(os.path.join(self.temp, name))
            theirs[name] = (0o777, NOBODY)
        for name in ("keltoDataSignedCreateLogNameLock.lock",
                     "keltoDataSignedCreateDataFileLock.lock"):
            held = open(os.path.join(self.temp, name), "w")
            self.addCleanup(held.close)
            fcntl.flock(held, fcntl.LOCK_EX)
            theirs[name] = (0o666, NOBODY)
        for name, (mode, owner) in theirs.items():
            os.chmod(os.path.join(self.temp, name), mode)
            os.chown(os.path.join(self.temp, name), owner, owner)
        sign(without_runtime)
        self.assertEqual(entries(self.temp), theirs, "theirs untouched, nothing of ours left")
        for name in (mine, "kelto_data_signed"):
            self.assertEqual(os.listdir(os.path.join(self.temp, name)), [])

        # Once that name is free the place is made there, owner-only; and with
        # a runtime folder it is the runtime folder.
        os.rmdir(os.path.join(self.temp, mine))
        del theirs[mine]
        sign(without_runtime)
        place = os.path.join(self.temp, mine)
        self.assertEqual(entries(self.temp), dict(theirs, **{mine: (0o700, me)}))
        sign(self.env)
        for folder in (place, self.runtime):
            with self.subTest(place=folder):
                self.assertEqual(entries(folder), {
                    "kelto_data_signed": (0o700, me),
                    "keltoDataSignedCreateLogNameLock.lock": (0o600, me),
                    "keltoDataSignedCreateDataFileLock.lock": (0o600, me)})
                self.assertEqual(os.listdir(os.path.join(folder, "kelto_data_signed")), [])


if __name__ == "__main__":
    unittest.main()
