"""The request/reply loop as the browser sees it: frames in, frames out."""
import glob
import json
import os
import struct
import tempfile
import unittest

import hostproc
from hostproc import ask, frame, run

MAX_BODY = 256 * 1024 * 1024
ALLOC_ERROR = b'{"data":{"description":"Error alloc memory for message","result":"error"}}'


def unknown(action=None, content_id=None):
    """The reply to a request without a known action (None: it names none)."""
    data = '"description":"Unknow request action %s",' % (action or "")
    if action is not None:
        data += '"requestAction":"%s",' % action
    head = '"contentId":"%s",' % content_id if content_id else ""
    return '{%s"data":{%s"result":"error"}}' % (head, data)


def setUpModule():
    hostproc.require_host()


class Replies(unittest.TestCase):
    def test_replies_echo_in_key_order_as_valid_utf8_json_counted_in_bytes(self):
        bad = ('{"data":{"description":"Bad parameter handleProvider in action '
               'closeCryptoProvider",%s"requestAction":"closeCryptoProvider","result":"error"}}')
        replies = ask(
            '{"data":{"zeta":[1,{"b":null}],"requestAction":"getSignatur","password":"p/w",'
            '"contentFile":"QUJD","Upper":true},"contentId":"42","other":1}',
            '{"contentId":5}', '{"data":{}}', '{"data":[1]}',
            {"data": {"requestAction": "closeCryptoProvider"}},
            {"data": {"requestAction": "closeCryptoProvider", "handleProvider": "7"}},
            # Multi-byte text: a length counted in characters would cut the frames.
            {"data": {"requestAction": "Привет"}},
            # Lone surrogates and raw control characters come back escaped; a
            # valid pair given as two escapes is written raw as UTF-8.
            '{"data":{"requestAction":"\\ud800x\\u0001\\udc00"}}',
            '{"data":{"requestAction":"\\ud83d\\ude00"}}')
        self.assertEqual(replies, [
            '{"contentId":"42","data":{"Upper":true,"description":"Unknow request action '
            'getSignatur","password":"p\\/w","requestAction":"getSignatur","result":"error",'
            '"zeta":[1,{"b":null}]}}'] + [unknown()] * 3 + [
            bad % "", bad % '"handleProvider":"7",', unknown("Привет"),
            unknown("\\ud800x\\u0001\\udc00"), unknown("\U0001F600")])
        self.assertEqual(json.loads(replies[-2])["data"]["requestAction"], "\ud800x\x01\udc00")


class Stream(unittest.TestCase):
    def test_the_stream_ends_quietly_at_its_end_a_zero_length_or_a_cut(self):
        ok = frame({"contentId": "a"})
        served = [unknown(content_id="a").encode()]
        for stream, replies in (
                (b"", []), (ok + b"\0\0\0\0" + frame({"contentId": "2"}), served),
                (ok + b"\x05", served), (ok + b"\x05\x00\x00", served),
                (ok + struct.pack("<I", 100) + b'{"data":{}', served),
                # Missing bytes read as U+0000, where the text ends: a complete
                # value before them is still served.
                (struct.pack("<I", 40) + b'{"contentId":"z"}', [unknown(content_id="z").encode()]),
                # Input that ends inside an oversized body ends after the error.
                (struct.pack("<I", 0xFFFFFFFF) + b"abc", [ALLOC_ERROR])):
            with self.subTest(stream=stream[:24]):
                frames, proc = run(stream)
                self.assertEqual((frames, proc.returncode), (replies, 0))

    def test_unparseable_requests_get_no_reply_nor_a_log_and_a_thousand_more_are_served(self):
        bad = [b"[1]", b'"text"', b"{} x", b"\xff\xfe{}", b"{\"a\":\"\xc0\x80\"}",
               b"\xef\xbb\xbf{}", b"[" * 100000, b'{"a":' * 100000, b"{\"a\":1,}"]
        stream = b"".join(frame(b) + frame({"contentId": str(i)}) for i, b in enumerate(bad))
        stream += b"".join(frame({"contentId": str(i), "data": {"requestAction": "x"}})
                           for i in range(1000))
        with tempfile.TemporaryDirectory() as private:
            temp = hostproc.windows_temp_dir() if hostproc.UNDER_WINE else private
            before = set(glob.glob(os.path.join(temp, "KeltoDataSigned_*")))
            frames, proc = run(stream, env={"TMPDIR": private})
            self.assertEqual(set(glob.glob(os.path.join(temp, "KeltoDataSigned_*"))), before)
        self.assertEqual([f.decode() for f in frames],
                         [unknown(content_id=str(i)) for i in range(len(bad))] +
                         [unknown("x", str(i)) for i in range(1000)])
        self.assertEqual(proc.returncode, 0)

    def test_oversized_bodies_and_replies_are_answered_in_step(self):
        # An announced body over the limit is read past and answered with an
        # error; an echo over the browser's 1 MiB (which would kill the port)
        # gets a short error instead; the next request is served normally.
        size = MAX_BODY + 1
        big = {"contentId": "big", "data": {"requestAction": "getListContainer",
                                            "pad": "\u044f" * (512 * 1024)}}
        frames, _ = run(struct.pack("<I", size) + b"\0" * size + frame(big) +
                        frame({"contentId": "next"}))
        self.assertEqual([f.decode() for f in frames], [
            ALLOC_ERROR.decode(),
            '{"contentId":"big","data":{"description":"Error reply too large",'
            '"requestAction":"getListContainer","result":"error"}}',
            unknown(content_id="next")])


if __name__ == "__main__":
    unittest.main()
