"""getCertificate from the key container and from the store "MY", each in a
session the request opens for itself."""
import base64
import unittest

from keystore import GOST, PIN, STRONG, HostCase, needs_gost

NO_CERTIFICATE = 0x8010002C
NOT_FOUND = 0x80092004


def asking(container, storage=None, provider=STRONG):
    request = {"requestAction": "getCertificate", "containerName": container,
               "providerName": provider, "password": PIN}
    if storage is not None:
        request["storageType"] = storage
    return request


def b64(der):
    return base64.b64encode(der).decode()


class Certificates(HostCase):
    def test_the_container_is_the_source_unless_storage_is_exactly_STORAGE(self):
        cert = b64(self.make("c"))
        for storage in (None, "", "CONTAINER", "storage", " STORAGE", "STORAGE "):
            with self.subTest(storage=storage):
                self.assertReply(asking("c", storage), certificate=cert, result="success")
        # "MY" does not hold it yet.
        self.assertSystemError(asking("c", "STORAGE"), NOT_FOUND)
        self.keytool("store-add", "--cert", self.path("c-signature.der"))
        self.assertReply(asking("c", "STORAGE"), certificate=cert, result="success")

    def test_the_store_yields_the_certificate_of_the_containers_public_key(self):
        other = self.make("other", store=True)
        key, in_container = self.import_pfx("p")
        in_store = self.store_other_certificate(key)
        self.assertNotEqual(in_store, in_container)
        self.assertReply(asking("p"), certificate=b64(in_container), result="success")
        self.assertReply(asking("p", "STORAGE"), certificate=b64(in_store), result="success")
        self.assertReply(asking("other", "STORAGE"), certificate=b64(other), result="success")

    def test_a_container_with_only_an_exchange_key(self):
        cert = b64(self.make("e", keyspec="exchange", store=True))
        for storage in (None, "STORAGE"):
            with self.subTest(storage=storage):
                self.assertReply(asking("e", storage), certificate=cert, result="success")

    def test_a_key_without_a_certificate(self):
        self.make("bare", cert=False)
        self.make("stored", store=True)  # "MY" is not empty, just without a match
        self.assertSystemError(asking("bare"), NO_CERTIFICATE)
        self.assertSystemError(asking("bare", "STORAGE"), NOT_FOUND)

    @needs_gost
    def test_gost_containers(self):
        for provider, _, _ in GOST:
            with self.subTest(provider=provider):
                cert = b64(self.make("g", provider=provider, store=True))
                for storage in (None, "STORAGE"):
                    self.assertReply(asking("g", storage, provider), certificate=cert,
                                     result="success")


if __name__ == "__main__":
    unittest.main()
