// Certificates: KP_CERTIFICATE, public-key export, the "MY" store and parsed
// certificate contexts.
#include <cstddef>
#include <cstring>

#include "fixture.h"

namespace softcsp_test {
namespace {

// The host reads these members by offset; they must sit where Windows has them.
static_assert(offsetof(CERT_INFO, SignatureAlgorithm) == 24, "layout");
static_assert(offsetof(CERT_INFO, SubjectPublicKeyInfo) == 96, "layout");
static_assert(offsetof(CERT_CONTEXT, pCertInfo) == 24, "layout");

class CertificatesTest : public StoreTest {
 protected:
  std::string keyCertificate(HCRYPTPROV h, DWORD spec) {
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(h, spec, &key));
    DWORD size = 0;
    EXPECT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0));
    std::string der(size, '\0');
    EXPECT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, reinterpret_cast<BYTE*>(der.data()),
                                 &size, 0));
    EXPECT_TRUE(CryptDestroyKey(key));
    return der;
  }

  std::vector<BYTE> publicKeyInfo(HCRYPTPROV h, DWORD spec) {
    DWORD size = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(h, spec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                         nullptr, &size));
    std::vector<BYTE> buf(size);
    EXPECT_TRUE(CryptExportPublicKeyInfo(
        h, spec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
        reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data()), &size));
    return buf;
  }
};

TEST_F(CertificatesTest, KeyCertificateAndMissingKeysOrCertificates) {
  const std::string cert = makeKey(PROV_RSA_FULL, "c", AT_SIGNATURE);
  makeKey(PROV_RSA_FULL, "c", AT_KEYEXCHANGE, "", false);
  const HCRYPTPROV h = acquire(u"c");
  EXPECT_EQ(keyCertificate(h, AT_SIGNATURE), cert);

  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(h, AT_KEYEXCHANGE, &key));
  DWORD size = 0;
  EXPECT_EQ(SCARD_E_NO_SUCH_CERTIFICATE, errorOf([&] {
              return CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0);
            }));
  CryptDestroyKey(key);

  const HCRYPTPROV other = acquire(u"only-exchange", CRYPT_NEWKEYSET);
  EXPECT_EQ(NTE_NO_KEY,
            errorOf([&] { return CryptGetUserKey(other, AT_SIGNATURE, &key); }));
  CryptReleaseContext(other, 0);

  // A short buffer fails with the size, as every variable-length output does.
  ASSERT_TRUE(CryptGetUserKey(h, AT_SIGNATURE, &key));
  size = 10;
  BYTE small[10];
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), errorOf([&] {
              return CryptGetKeyParam(key, KP_CERTIFICATE, small, &size, 0);
            }));
  EXPECT_EQ(size, cert.size());
  CryptDestroyKey(key);
  CryptReleaseContext(h, 0);
}

TEST_F(CertificatesTest, StoreFindsTheCertificateByPublicKey) {
  const std::string cert = makeKey(PROV_RSA_FULL, "mine", AT_SIGNATURE, "pin");
  makeKey(PROV_RSA_FULL, "stranger", AT_SIGNATURE);
  softcsp::keystore::StoreEntry entry;
  ASSERT_TRUE(softcsp::keystore::storeAdd("MY", cert, entry).ok());

  // The public key is readable without the PIN.
  const HCRYPTPROV h = acquire(u"mine");
  std::vector<BYTE> info = publicKeyInfo(h, AT_SIGNATURE);
  const auto* pk = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data());
  EXPECT_STREQ(pk->Algorithm.pszObjId, "1.2.840.113549.1.1.1");

  HCERTSTORE store = CertOpenSystemStoreW(0, u"my");
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                 CERT_FIND_PUBLIC_KEY, pk, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(
      std::string(reinterpret_cast<char*>(found->pbCertEncoded), found->cbCertEncoded),
      cert);
  EXPECT_STREQ(found->pCertInfo->SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
  EXPECT_EQ(found->pCertInfo->SubjectPublicKeyInfo.PublicKey.cbData,
            pk->PublicKey.cbData);
  // Searching on from the hit frees it and finds nothing more.
  EXPECT_EQ(CRYPT_E_NOT_FOUND, errorOf([&] {
              return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                CERT_FIND_PUBLIC_KEY, pk, found);
            }));
  EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CertFreeCertificateContext(found); }));

  const HCRYPTPROV stranger = acquire(u"stranger");
  info = publicKeyInfo(stranger, AT_SIGNATURE);
  EXPECT_EQ(CRYPT_E_NOT_FOUND, errorOf([&] {
              return CertFindCertificateInStore(
                  store, X509_ASN_ENCODING, 0, CERT_FIND_PUBLIC_KEY,
                  reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data()), nullptr);
            }));
  // Too small a buffer for the public-key info reports the size.
  DWORD size = 8;
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), errorOf([&] {
              return CryptExportPublicKeyInfo(
                  stranger, AT_SIGNATURE, X509_ASN_ENCODING,
                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size);
            }));
  EXPECT_EQ(size, info.size());
  EXPECT_TRUE(CertCloseStore(store, 0));
  CryptReleaseContext(h, 0);
  CryptReleaseContext(stranger, 0);
}

TEST_F(CertificatesTest, CertificateContextParsesAndRejectsGarbage) {
  const std::string cert = makeKey(PROV_RSA_FULL, "c", AT_SIGNATURE);
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<const BYTE*>(cert.data()),
      static_cast<DWORD>(cert.size()));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->cbCertEncoded, cert.size());
  EXPECT_EQ(ctx->pCertInfo->dwVersion, 2u);  // v3
  EXPECT_GT(ctx->pCertInfo->cExtension, 0u);
  EXPECT_GT(ctx->pCertInfo->NotAfter.dwHighDateTime,
            ctx->pCertInfo->NotBefore.dwHighDateTime);
  EXPECT_TRUE(CertFreeCertificateContext(ctx));

  const BYTE junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(CRYPT_E_ASN1_BADTAG, errorOf([&] {
              return CertCreateCertificateContext(X509_ASN_ENCODING, junk, sizeof junk);
            }));
}

}  // namespace
}  // namespace softcsp_test
