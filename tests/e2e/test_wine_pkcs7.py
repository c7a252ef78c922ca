"""PKCS#7 of the Windows build through Wine's crypt32: the file, larger than
one read piece, goes to CryptMsgUpdate piece by piece (never read whole), the
key signs once per request (reading the message, size and bytes, signs
nothing), and openssl verifies the message over the file.

What crypt32 and rsaenh are asked is read from Wine's own trace of the
"crypt" channel (Wine 8.0's format):
  trace:crypt:CryptMsgUpdate (MESSAGE, DATA, SIZE, FINAL)
  trace:crypt:CryptSignHashW (HASH, KEYSPEC, DESCRIPTION, FLAGS, SIGNATURE, LENGTH)
"""
import os
import re
import unittest

import hostproc
from keystore import READ_PIECE
from test_wine_common import WineCase, request

OPEN = re.compile(r"trace:crypt:CryptMsgOpenToEncode \((\w+), (\w+), (\w+),")
UPDATE = re.compile(r"trace:crypt:CryptMsgUpdate \(\w+, \w+, (\d+), (\d+)\)")
SIGN = re.compile(r"trace:crypt:CryptSignHashW \(\w+, \d+, [^,]+, \w+, (\w+), \w+\)")


class IncrementalPkcs7(WineCase):
    def test_a_file_of_several_pieces_is_streamed_and_signed_once(self):
        size = 2 * READ_PIECE + 1
        path, win_path = self.write("pieces.bin", os.urandom(size))
        data = request("getSignature", "kelto-sig", fileDataPath=win_path,
                       signatureType="PKCS#7", storageType="STORAGE")
        frames, proc = hostproc.run(hostproc.frame({"data": data}),
                                    env={"WINEDEBUG": "-all,trace+crypt"})
        self.assertEqual(len(frames), 1)
        self.verify_cms(self.signature_of(frames[0].decode("utf-8"), data), "kelto-sig", path)

        trace = proc.stderr.decode("utf-8", "replace")
        # Encoding, detached, signed.
        self.assertEqual(OPEN.findall(trace), [("00010001", "00000004", "00000002")], trace)
        updates = [(int(n), int(final)) for n, final in UPDATE.findall(trace)]
        self.assertEqual(updates, [(READ_PIECE, 0), (READ_PIECE, 0), (1, 0), (0, 1)])
        # The size queries pass no buffer; exactly one call gets to sign.
        buffers = SIGN.findall(trace)
        self.assertGreater(len(buffers), 1, trace)
        self.assertEqual(len([b for b in buffers if int(b, 16) != 0]), 1, buffers)


if __name__ == "__main__":
    unittest.main()
