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
ALLOC_ERROR = '{"data":{"description":"Error alloc memory for message","result":"error"}}'


def unknown(action_json, extra=""):
    return ('{"data":{"description":"Unknow request action %s",%s"requestAction":"%s",'
            '"result":"error"}}' % (action_json, extra, action_json))


def setUpModule():
    hostproc.require_host()


class Replies(unittest.TestCase):
    def test_unknown_action_echoes_request_in_key_order(self):
        request = ('{"data":{"zeta":[1,{"b":null}],"requestAction":"getSignatur",'
                   '"password":"p/w","contentFile":"QUJD","Upper":true},"contentId":"42",'
                   '"other":1}')
        self.assertEqual(ask(request), [
            '{"contentId":"42","data":{"Upper":true,"description":"Unknow request action '
            'getSignatur","password":"p\\/w","requestAction":"getSignatur","result":"error",'
            '"zeta":[1,{"b":null}]}}'])

    def test_missing_action_and_missing_data(self):
        self.assertEqual(ask('{"contentId":5}', '{"data":{}}', '{"data":[1]}'), [
            '{"data":{"description":"Unknow request action ","result":"error"}}'] * 3)

    def test_close_without_numeric_handle(self):
        bad = ('{"data":{"description":"Bad parameter handleProvider in action '
               'closeCryptoProvider",%s"requestAction":"closeCryptoProvider","result":"error"}}')
        replies = ask({"data": {"requestAction": "closeCryptoProvider"}},
                      {"data": {"requestAction": "closeCryptoProvider", "handleProvider": "7"}})
        self.assertEqual(replies, [bad % "", bad % '"handleProvider":"7",'])

    def test_non_ascii_text_is_counted_in_bytes(self):
        frames, _ = run(frame({"data": {"requestAction": "Привет"}}))
        expected = unknown("Привет").encode("utf-8")
        self.assertEqual(frames, [expected])

    def test_reply_stays_valid_utf8_and_json(self):
        # Lone surrogates and raw control characters come back escaped.
        replies = ask('{"data":{"requestAction":"\\ud800x\\u0001\\udc00"}}')
        self.assertEqual(replies, [unknown("\\ud800x\\u0001\\udc00")])
        self.assertEqual(json.loads(replies[0])["data"]["requestAction"],
                         "\ud800x\x01\udc00")
        # A valid pair given as two escapes is written raw as UTF-8.
        self.assertEqual(ask('{"data":{"requestAction":"\\ud83d\\ude00"}}'),
                         [unknown("\U0001F600")])

    def test_numbers_and_literals(self):
        replies = ask('{"data":{"n":[1e400,0.00001,123456789012345678,-0,TRUE,Null]}}')
        self.assertEqual(replies, [
            '{"data":{"description":"Unknow request action ","n":[null,1e-005,'
            '1.23456789012346e+017,-0,true,null],"result":"error"}}'])


class Stream(unittest.TestCase):
    def test_empty_input_ends_quietly(self):
        frames, proc = run(b"")
        self.assertEqual((frames, proc.returncode), ([], 0))

    def test_zero_length_ends_even_when_more_follows(self):
        first = {"contentId": "1", "data": {}}
        frames, proc = run(frame(first) + b"\0\0\0\0" + frame({"contentId": "2"}))
        self.assertEqual(len(frames), 1)
        self.assertIn(b'"contentId":"1"', frames[0])
        self.assertEqual(proc.returncode, 0)

    def test_truncated_prefix_and_body_get_no_reply(self):
        ok = frame({"contentId": "a"})
        for tail in (b"\x05", b"\x05\x00\x00", struct.pack("<I", 100) + b'{"data":{}'):
            frames, proc = run(ok + tail)
            self.assertEqual(len(frames), 1, tail)
            self.assertEqual(proc.returncode, 0)

    def test_short_body_reads_as_zero_padded(self):
        # Missing bytes read as U+0000, where the text ends: a complete value
        # before them is still served.
        frames, _ = run(struct.pack("<I", 40) + b'{"contentId":"z"}')
        self.assertEqual(frames, [b'{"contentId":"z","data":{"description":'
                                  b'"Unknow request action ","result":"error"}}'])

    def test_unparseable_requests_get_no_reply_and_the_loop_goes_on(self):
        bad = [b"[1]", b'"text"', b"{} x", b"\xff\xfe{}", b"{\"a\":\"\xc0\x80\"}",
               b"\xef\xbb\xbf{}", b"[" * 100000, b'{"a":' * 100000, b"{\"a\":1,}"]
        stream = b"".join(frame(b) + frame({"contentId": str(i)}) for i, b in enumerate(bad))
        frames, proc = run(stream)
        self.assertEqual([json.loads(f)["contentId"] for f in frames],
                         [str(i) for i in range(len(bad))])
        self.assertEqual(proc.returncode, 0)

    def test_oversized_length_is_skipped_in_step(self):
        # The announced body is read past, answered with an error, and the next
        # frame is served normally.
        size = MAX_BODY + 1
        stream = struct.pack("<I", size) + b"\0" * size + frame({"contentId": "next"})
        frames, _ = run(stream)
        self.assertEqual([f.decode() for f in frames],
                         [ALLOC_ERROR, '{"contentId":"next","data":{"description":'
                          '"Unknow request action ","result":"error"}}'])
        # Input that ends inside such a body ends the program after the error.
        frames, proc = run(struct.pack("<I", 0xFFFFFFFF) + b"abc")
        self.assertEqual(([f.decode() for f in frames], proc.returncode), ([ALLOC_ERROR], 0))

    def test_reply_over_the_browser_limit_is_replaced_and_the_stream_goes_on(self):
        # The browser kills the port on a reply over 1 MiB: an echo that would
        # make one gets a short error instead, and the next request is served.
        big = {"contentId": "big", "data": {"requestAction": "getListContainer",
                                            "pad": "\u044f" * (512 * 1024)}}
        frames, _ = run(frame(big) + frame({"contentId": "next"}))
        self.assertEqual([f.decode() for f in frames], [
            '{"contentId":"big","data":{"description":"Error reply too large",'
            '"requestAction":"getListContainer","result":"error"}}',
            '{"contentId":"next","data":{"description":"Unknow request action ",'
            '"result":"error"}}'])

    def test_thousand_requests_in_one_stream(self):
        stream = b"".join(frame({"contentId": str(i), "data": {"requestAction": "x"}})
                          for i in range(1000))
        frames, _ = run(stream)
        self.assertEqual(len(frames), 1000)
        for i, body in enumerate(frames):
            self.assertEqual(body.decode(), '{"contentId":"%d",' % i + unknown("x")[1:])

    def test_no_log_file_is_written(self):
        with tempfile.TemporaryDirectory() as private:
            temp = hostproc.windows_temp_dir() if hostproc.UNDER_WINE else private
            before = set(glob.glob(os.path.join(temp, "KeltoDataSigned_*")))
            frames, _ = run(frame({"contentId": "1"}) + frame(b"not json"),
                            env={"TMPDIR": private})
            self.assertEqual(len(frames), 1)
            self.assertEqual(set(glob.glob(os.path.join(temp, "KeltoDataSigned_*"))), before)


if __name__ == "__main__":
    unittest.main()
