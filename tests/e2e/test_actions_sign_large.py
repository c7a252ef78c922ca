"""Detached PKCS#7 of files at the edges of the host's read pieces and far
beyond one piece, with the RSA and every GOST provider, by path and as staged
content: every message is verified by openssl over the file, with its
certificate, digest algorithm and signing time."""
import base64
import os
import unittest

from keystore import ENGINE, GOST, READ_PIECE, needs_gost
from test_actions_sign_pkcs7 import GOST_DIGESTS, SHA256, Pkcs7Case, now, signing

EDGES = (0, 1, 2 * READ_PIECE, 2 * READ_PIECE + 1)
LARGE = 300 * 2**20


class PiecesAndLargeFiles(Pkcs7Case):
    def sparse(self):
        """A 300 MiB file that takes almost no disk: a hole between two marks."""
        path = self.path("large.bin")
        with open(path, "wb") as f:
            f.write(b"first bytes")
            f.seek(LARGE - 10)
            f.write(b"last bytes")
        return path

    def sign_all(self, container, paths, cert, digest, engine=(), **extra):
        """Signs every file in one host process and checks each reply."""
        requests = [signing(container, path, **extra) for path in paths]
        start = now().replace(microsecond=0)
        texts = self.ask(*({"data": r} for r in requests))
        self.assertEqual(len(texts), len(requests))
        for path, request, text in zip(paths, requests, texts):
            with self.subTest(path=os.path.basename(path)):
                self.check(text, request, path, cert, digest, start, engine)

    def test_rsa_edges_a_large_sparse_file_and_staged_content(self):
        cert = self.make("c")
        contents = {}
        for size in EDGES:
            contents[self.write("edge %d.bin" % size, os.urandom(size))] = size
        large = self.sparse()
        paths = list(contents) + [large]
        before = {path: self.read(path) for path in contents}
        self.sign_all("c", paths, cert, SHA256)
        # Files named by path are only read.
        self.assertEqual({path: self.read(path) for path in contents}, before)
        self.assertEqual(os.path.getsize(large), LARGE)
        # Staged content takes the same path: more than one piece, decoded.
        edge = [path for path, size in contents.items() if size == 2 * READ_PIECE + 1][0]
        request = {k: v for k, v in signing("c", edge).items() if k != "fileDataPath"}
        request["contentFile"] = base64.b64encode(before[edge]).decode()
        self.sign(request, edge, cert, SHA256)

    @needs_gost
    def test_gost_edges_and_a_large_sparse_file(self):
        paths = [self.write("edge %d.bin" % size, os.urandom(size)) for size in EDGES]
        for (provider, _, _), digest in zip(GOST, GOST_DIGESTS):
            with self.subTest(provider=provider):
                cert = self.make("g", provider=provider)
                # The large file once: the pieces are the same for every hash.
                large = [self.sparse()] if digest == GOST_DIGESTS[1] else []
                self.sign_all("g", paths + large, cert, digest, ENGINE, provider=provider)


if __name__ == "__main__":
    unittest.main()
