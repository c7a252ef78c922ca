// Certificates: the "MY" store, parsed certificate contexts and the short
// buffers of KP_CERTIFICATE and public-key export. That the host reads the
// right certificate from a key or the store is the end-to-end suites'.
#include <cstddef>

#include "fixture.h"

namespace softcsp_test {
namespace {

// The host reads these members by offset; they must sit where Windows has them.
static_assert(offsetof(CERT_INFO, SignatureAlgorithm) == 24, "layout");
static_assert(offsetof(CERT_INFO, SubjectPublicKeyInfo) == 96, "layout");
static_assert(offsetof(CERT_CONTEXT, pCertInfo) == 24, "layout");

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

TEST_F(StoreTest, StoreFindsTheCertificateByPublicKeyAndParsesIt) {
  const std::string cert = makeKey(PROV_RSA_FULL, "mine", AT_SIGNATURE, "pin");
  makeKey(PROV_RSA_FULL, "stranger", AT_SIGNATURE);
  softcsp::keystore::StoreEntry entry;
  ASSERT_TRUE(softcsp::keystore::storeAdd("MY", cert, entry).ok());
  const HCRYPTPROV h = acquire(u"mine"), stranger = acquire(u"stranger");
  // Variable-length outputs: a short buffer fails with the size, without
  // the PIN.
  const auto publicKeyInfo = [](HCRYPTPROV prov) {
    std::vector<BYTE> info(8);
    DWORD size = 8;
    const auto call = [&] {
      return CryptExportPublicKeyInfo(
          prov, AT_SIGNATURE, kEncoding,
          reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size);
    };
    EXPECT_EQ(DWORD(ERROR_MORE_DATA), errorOf(call));
    info.resize(size);
    EXPECT_EQ(0u, errorOf(call));
    EXPECT_EQ(size, info.size());
    return info;
  };
  const std::vector<BYTE> info = publicKeyInfo(h), other = publicKeyInfo(stranger);
  const auto* pk = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data());
  EXPECT_STREQ(pk->Algorithm.pszObjId, "1.2.840.113549.1.1.1");
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(h, AT_SIGNATURE, &key));
  BYTE small[10];
  DWORD size = sizeof small;
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), errorOf([&] {
              return CryptGetKeyParam(key, KP_CERTIFICATE, small, &size, 0);
            }));
  EXPECT_EQ(size, cert.size());
  EXPECT_TRUE(CryptDestroyKey(key));

  HCERTSTORE store = CertOpenSystemStoreW(0, u"my");
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_PUBLIC_KEY, pk, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(
      std::string(reinterpret_cast<char*>(found->pbCertEncoded), found->cbCertEncoded),
      cert);
  const CERT_INFO& parsed = *found->pCertInfo;
  EXPECT_STREQ(parsed.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
  EXPECT_EQ(parsed.SubjectPublicKeyInfo.PublicKey.cbData, pk->PublicKey.cbData);
  EXPECT_EQ(parsed.dwVersion, 2u);  // v3
  EXPECT_GT(parsed.cExtension, 0u);
  EXPECT_GT(parsed.NotAfter.dwHighDateTime, parsed.NotBefore.dwHighDateTime);
  // Searching on from the hit frees it and finds nothing more; the stranger's
  // key finds nothing.
  EXPECT_EQ(CRYPT_E_NOT_FOUND, errorOf([&] {
              return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                CERT_FIND_PUBLIC_KEY, pk, found);
            }));
  EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CertFreeCertificateContext(found); }));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, errorOf([&] {
              return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                CERT_FIND_PUBLIC_KEY, other.data(),
                                                nullptr);
            }));
  EXPECT_TRUE(CertCloseStore(store, 0));
  CryptReleaseContext(h, 0);
  CryptReleaseContext(stranger, 0);

  const BYTE junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(CRYPT_E_ASN1_BADTAG, errorOf([&] {
              return CertCreateCertificateContext(X509_ASN_ENCODING, junk, sizeof junk);
            }));
}

}  // namespace
}  // namespace softcsp_test
