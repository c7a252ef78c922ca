// Hashes, CryptSignHashW, the signing-time encoding and CryptSignMessage.
// Whether the signatures verify is left to the openssl command line (the
// end-to-end tests); here: sizes, states and error codes.
#include <cstring>

#include "fixture.h"

namespace softcsp_test {
namespace {

std::string hex(const BYTE *p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHex[p[i] >> 4];
    out += kHex[p[i] & 15];
  }
  return out;
}

TEST(SoftCspHash, PiecewiseSha1MatchesTheKnownDigestAndThenLocks) {
  HCRYPTPROV h = 0;
  ASSERT_TRUE(CryptAcquireContextW(&h, nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(h, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("a"), 1, 0));
  ASSERT_TRUE(CryptHashData(hash, nullptr, 0, 0));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("bc"), 2, 0));
  BYTE value[20];
  DWORD len = sizeof value;
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0));
  EXPECT_EQ(hex(value, len), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_FALSE(CryptHashData(hash, value, 1, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
  CryptDestroyHash(hash);

  for (const ALG_ID bad : {0u, CALG_GR3411_2012_256, CALG_MD5}) {
    SetLastError(0);
    EXPECT_FALSE(CryptCreateHash(h, bad, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID) << bad;
  }
  CryptReleaseContext(h, 0);
}

class SigningTest : public StoreTest {};

TEST_F(SigningTest, SignHashSizeQueryShortBufferAndKeySpecFallback) {
  makeKey(PROV_RSA_FULL, "x", AT_KEYEXCHANGE);
  const HCRYPTPROV h = acquire(u"x");
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(h, CALG_SHA_256, 0, 0, &hash));
  DWORD len = 0;
  // The host asks AT_SIGNATURE first and falls back to AT_KEYEXCHANGE.
  EXPECT_EQ(NTE_NO_KEY, errorOf([&] { return CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &len); }));
  ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));
  EXPECT_EQ(len, 256u);
  std::vector<BYTE> sig(len);
  DWORD shortLen = 100;
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), errorOf([&] {
              return CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &shortLen);
            }));
  EXPECT_EQ(shortLen, 256u);
  ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &len));
  // A finished hash can be signed again; PKCS#1 v1.5 gives the same bytes.
  std::vector<BYTE> again(len);
  ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, again.data(), &len));
  EXPECT_EQ(sig, again);
  CryptDestroyHash(hash);
  CryptReleaseContext(h, 0);
}

TEST(SoftCspEncode, SigningTimeSwitchesToGeneralizedTimeOutside1950To2049) {
  struct Case {
    SYSTEMTIME time;
    const char *der;
  };
  const Case cases[] = {
      {{1949, 12, 0, 31, 23, 59, 59, 999}, "\x18\x0f" "19491231235959Z"},
      {{1950, 1, 0, 1, 0, 0, 0, 0}, "\x17\x0d" "500101000000Z"},
      {{2049, 12, 0, 31, 23, 59, 59, 0}, "\x17\x0d" "491231235959Z"},
      {{2050, 1, 0, 1, 0, 0, 0, 0}, "\x18\x0f" "20500101000000Z"},
      {{2024, 2, 0, 29, 12, 34, 56, 0}, "\x17\x0d" "240229123456Z"},
  };
  for (const Case &c : cases) {
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.time, &ft));
    DWORD size = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  szOID_RSA_signingTime, &ft, nullptr, &size));
    std::string der(size, '\0');
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &ft,
                                  reinterpret_cast<BYTE *>(der.data()), &size));
    EXPECT_EQ(der, std::string(c.der)) << c.time.wYear;
  }
  FILETIME ft{};
  const SYSTEMTIME y2k{2000, 1, 6, 1, 0, 0, 0, 0};
  ASSERT_TRUE(SystemTimeToFileTime(&y2k, &ft));
  EXPECT_EQ((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime, 125911584000000000ull);
  const SYSTEMTIME feb30{2023, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(&feb30, &ft));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  DWORD size = 0;
  EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, "1.2.3.4", &ft, nullptr, &size));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

class MessageTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    cert_ = makeKey(PROV_RSA_FULL, "m", AT_SIGNATURE, "pin");
    prov_ = acquire(u"m", CRYPT_SILENT);
    ASSERT_TRUE(CryptSetProvParam(prov_, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("pin"), 0));
    ctx_ = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                        reinterpret_cast<const BYTE *>(cert_.data()),
                                        static_cast<DWORD>(cert_.size()));
    ASSERT_NE(ctx_, nullptr);
    para_.cbSize = sizeof para_;
    para_.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para_.pSigningCert = ctx_;
    para_.HashAlgorithm.pszObjId = const_cast<char *>("1.2.840.113549.1.1.5");
    para_.cMsgCert = 1;
    para_.rgpMsgCert = &ctx_;
  }
  void TearDown() override {
    CertFreeCertificateContext(ctx_);
    CryptReleaseContext(prov_, 0);
    StoreTest::TearDown();
  }
  void bindKey() {
    CERT_KEY_CONTEXT kc{};
    kc.cbSize = sizeof kc;
    kc.hCryptProv = prov_;
    kc.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx_, CERT_KEY_CONTEXT_PROP_ID,
                                                  CERT_STORE_NO_CRYPT_RELEASE_FLAG, &kc));
  }
  BOOL sign(BYTE *out, DWORD *len) {
    const BYTE *pieces[] = {reinterpret_cast<const BYTE *>("content")};
    DWORD sizes[] = {7};
    return CryptSignMessage(&para_, TRUE, 1, pieces, sizes, out, len);
  }

  std::string cert_;
  HCRYPTPROV prov_ = 0;
  PCCERT_CONTEXT ctx_ = nullptr;
  CRYPT_SIGN_MESSAGE_PARA para_{};
};

TEST_F(MessageTest, SizeQueryShortBufferAndExactBuffer) {
  bindKey();
  DWORD size = 0;
  ASSERT_TRUE(sign(nullptr, &size)) << std::hex << GetLastError();
  std::vector<BYTE> out(size);
  DWORD shortLen = size - 1;
  EXPECT_FALSE(sign(out.data(), &shortLen));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(shortLen, size);
  DWORD len = size;
  ASSERT_TRUE(sign(out.data(), &len));
  EXPECT_EQ(len, size);
  EXPECT_EQ(out[0], 0x30);  // a DER SEQUENCE
  // Detached: the content is not in the message.
  EXPECT_EQ(std::string(out.begin(), out.end()).find("content"), std::string::npos);
}

TEST_F(MessageTest, RefusesUnknownOidsMissingKeysAndBadParameters) {
  DWORD size = 0;
  EXPECT_FALSE(sign(nullptr, &size));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);
  bindKey();
  for (const char *oid : {"1.2.3.4", "1.2.643.7.1.1.3.2"}) {
    para_.HashAlgorithm.pszObjId = const_cast<char *>(oid);
    SetLastError(0);
    EXPECT_FALSE(sign(nullptr, &size));
    // An OID nobody knows, or a GOST hash for an RSA key.
    EXPECT_EQ(GetLastError(), std::strcmp(oid, "1.2.3.4") == 0 ? CRYPT_E_UNKNOWN_ALGO : NTE_BAD_ALGID);
  }
  para_.HashAlgorithm.pszObjId = const_cast<char *>("2.16.840.1.101.3.4.2.1");
  EXPECT_TRUE(sign(nullptr, &size));
  para_.cbSize = 16;
  EXPECT_FALSE(sign(nullptr, &size));
  EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

}  // namespace
}  // namespace softcsp_test
