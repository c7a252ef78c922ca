// Signatures: the signed-message functions (many small updates give the
// message of one, the key signs once per message, calls out of order or with
// options softcsp does not serve fail with the Windows codes), CryptSignHashW
// and the signing-time encoding. That signatures verify, for every algorithm,
// is left to openssl in the end-to-end suites.
#include <cstring>
#include <functional>

#include "fixture.h"

// The sizes of 64-bit Windows: a member missing, added or of another width
// shows in them.
static_assert(sizeof(CMSG_SIGNER_ENCODE_INFO) == 96, "signer size");
static_assert(sizeof(CMSG_SIGNED_ENCODE_INFO) == 48, "signed info size");
static_assert(sizeof(CMSG_STREAM_INFO) == 24, "stream info size");

namespace softcsp_test {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// A fixed signing time: RSA messages over equal content are then equal.
BYTE kTime[] = "\x17\r240229123456Z";

struct OpenArgs {
  DWORD encoding = kEncoding, flags = CMSG_DETACHED_FLAG, type = CMSG_SIGNED;
  const char* inner = nullptr;
  PCMSG_STREAM_INFO stream = nullptr;
};

class MessageFunctions : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    const std::string der = makeKey(PROV_RSA_FULL, "m", AT_SIGNATURE, "pin");
    prov_ = acquire(u"m", CRYPT_SILENT);
    ASSERT_TRUE(CryptSetProvParam(prov_, PP_SIGNATURE_PIN,
                                  reinterpret_cast<const BYTE*>("pin"), 0));
    cert_ =
        CertCreateCertificateContext(kEncoding, reinterpret_cast<const BYTE*>(der.data()),
                                     static_cast<DWORD>(der.size()));
    ASSERT_NE(cert_, nullptr);
    signer_.cbSize = sizeof signer_;
    signer_.pCertInfo = cert_->pCertInfo;
    signer_.hCryptProv = prov_;
    signer_.dwKeySpec = AT_SIGNATURE;
    signer_.HashAlgorithm.pszObjId = cert_->pCertInfo->SignatureAlgorithm.pszObjId;
    signer_.cAuthAttr = 1;
    signer_.rgAuthAttr = &timeAttr_;
    certBlob_ = {cert_->cbCertEncoded, cert_->pbCertEncoded};
    info_ = {sizeof info_, 1, &signer_, 1, &certBlob_, 0, nullptr};
  }
  void TearDown() override {
    CertFreeCertificateContext(cert_);
    CryptReleaseContext(prov_, 0);
    StoreTest::TearDown();
  }

  HCRYPTMSG open(const OpenArgs& a = {}) {
    return CryptMsgOpenToEncode(a.encoding, a.flags, a.type, &info_,
                                const_cast<char*>(a.inner), a.stream);
  }

  // The message of `content` fed in pieces of the given sizes, cycled (0: an
  // empty update), then an empty final update; `pieces` empty: the content in
  // one final update. Only the final update may use the key; reading the
  // message twice, size and bytes, and calls out of order must not, and fail
  // with the Windows codes.
  std::string sign(const std::string& content, const std::vector<size_t>& pieces) {
    const unsigned long long before = SoftCspPrivateKeyUses();
    HCRYPTMSG msg = open();
    EXPECT_NE(msg, nullptr) << std::hex << GetLastError();
    DWORD size = 0;
    const auto get = [&](DWORD param, void* out) {
      return errorOf([&] { return CryptMsgGetParam(msg, param, 0, out, &size); });
    };
    const auto update = [&](const void* data, size_t n, BOOL final) {
      return errorOf([&] {
        return CryptMsgUpdate(msg, static_cast<const BYTE*>(data), DWORD(n), final);
      });
    };
    EXPECT_EQ(CRYPT_E_MSG_ERROR, get(CMSG_CONTENT_PARAM, nullptr));
    // A refused argument leaves the message usable.
    EXPECT_EQ(E_INVALIDARG, update(nullptr, 5, FALSE));
    size_t at = 0;
    for (size_t i = 0, n; !pieces.empty() && at < content.size(); ++i, at += n) {
      n = std::min(pieces[i % pieces.size()], content.size() - at);
      EXPECT_EQ(0u, update(content.data() + at, n, FALSE));
    }
    EXPECT_EQ(SoftCspPrivateKeyUses(), before);
    EXPECT_EQ(0u, update(content.data() + at, content.size() - at, TRUE));
    for (const BOOL final : {FALSE, TRUE})
      EXPECT_EQ(CRYPT_E_MSG_ERROR, update(nullptr, 0, final));
    const DWORD kBareContent = 3;
    EXPECT_EQ(CRYPT_E_INVALID_MSG_TYPE, get(kBareContent, nullptr));
    std::string der;
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(0u, get(CMSG_CONTENT_PARAM, nullptr));
      der.assign(size, '\0');
      EXPECT_EQ(0u, get(CMSG_CONTENT_PARAM, der.data()));
    }
    EXPECT_EQ(SoftCspPrivateKeyUses(), before + 1);
    EXPECT_TRUE(CryptMsgClose(msg));
    EXPECT_EQ(E_INVALIDARG, get(CMSG_CONTENT_PARAM, nullptr));
    EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CryptMsgClose(msg); }));
    return der;
  }

  HCRYPTPROV prov_ = 0;
  PCCERT_CONTEXT cert_ = nullptr;
  CRYPT_ATTR_BLOB time_{sizeof kTime - 1, kTime};
  CRYPT_ATTRIBUTE timeAttr_{const_cast<char*>(szOID_RSA_signingTime), 1, &time_};
  CMSG_SIGNER_ENCODE_INFO signer_{};
  CERT_BLOB certBlob_{};
  CMSG_SIGNED_ENCODE_INFO info_{};
};

TEST_F(MessageFunctions, ManySmallUpdatesGiveTheMessageOfOneUpdate) {
  std::string content(100003, '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 7919 >> 5);
  const std::string whole = sign(content, {});
  ASSERT_GT(whole.size(), 1000u);
  // PKCS#1 v1.5 is deterministic: same content and time, same bytes.
  EXPECT_EQ(sign(content, {1, 0, 2, 3, 5, 7, 0}), whole);
  EXPECT_NE(sign(content.substr(1), {4096}), whole);
  EXPECT_EQ(whole.find(content.substr(0, 64)), std::string::npos);  // detached
}

TEST_F(MessageFunctions, OptionsNotServedFailWithTheWindowsCodes) {
  CMSG_STREAM_INFO stream{};
  BYTE junk[] = {0x30, 0x03, 0x02, 0x01};
  CERT_BLOB notCertificate{sizeof junk, junk};
  CERT_INFO otherKey = *cert_->pCertInfo;
  otherKey.SubjectPublicKeyInfo.PublicKey = {sizeof junk, junk, 0};
  CMSG_SIGNER_ENCODE_INFO two[2] = {signer_, signer_};
  char unknownHash[] = "1.2.3.4", gostHash[] = "1.2.643.7.1.1.2.2";
  const std::pair<std::function<void(OpenArgs&)>, DWORD> changes[] = {
      {[](OpenArgs& a) { a.encoding = X509_ASN_ENCODING; }, E_INVALIDARG},
      {[](OpenArgs& a) { a.type = 3; }, CRYPT_E_INVALID_MSG_TYPE},  // enveloped
      {[](OpenArgs& a) { a.flags = 0; }, E_INVALIDARG},             // embedded
      {[&](OpenArgs& a) { a.stream = &stream; }, E_INVALIDARG},
      {[](OpenArgs& a) { a.inner = "1.2.840.113549.1.7.2"; }, E_INVALIDARG},
      {[&](OpenArgs&) { info_.cbSize += 8; }, E_INVALIDARG},
      {[&](OpenArgs&) { signer_.cbSize += 24; }, E_INVALIDARG},
      {[&](OpenArgs&) { info_.cSigners = 2, info_.rgSigners = two; }, E_INVALIDARG},
      {[&](OpenArgs&) { info_.cCrlEncoded = 1, info_.rgCrlEncoded = &certBlob_; },
       E_INVALIDARG},
      {[&](OpenArgs&) { signer_.HashAlgorithm.pszObjId = unknownHash; },
       CRYPT_E_UNKNOWN_ALGO},
      {[&](OpenArgs&) { signer_.HashAlgorithm.pszObjId = gostHash; }, NTE_BAD_ALGID},
      {[&](OpenArgs&) { signer_.hCryptProv = 0x1234; }, NTE_BAD_UID},
      // No key spec means the exchange key, which this container lacks.
      {[&](OpenArgs&) { signer_.dwKeySpec = 0; }, NTE_NO_KEY},
      {[&](OpenArgs&) { info_.rgCertEncoded = &notCertificate; }, CRYPT_E_ASN1_BADTAG},
      // A certificate of another key is refused rather than signed for.
      {[&](OpenArgs&) { signer_.pCertInfo = &otherKey; }, NTE_BAD_KEY},
  };
  const CMSG_SIGNER_ENCODE_INFO signer = signer_;
  const CMSG_SIGNED_ENCODE_INFO info = info_;
  const unsigned long long before = SoftCspPrivateKeyUses();
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    OpenArgs args;
    changes[i].first(args);
    EXPECT_EQ(changes[i].second, errorOf([&] { return open(args) != nullptr; }));
    signer_ = signer;
    info_ = info;
  }
  HCRYPTMSG data = open({kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, szOID_RSA_data});
  EXPECT_NE(data, nullptr);
  EXPECT_TRUE(CryptMsgClose(data) && CryptMsgClose(nullptr));
  EXPECT_EQ(SoftCspPrivateKeyUses(), before);
}

TEST(SoftCspEncode, SigningTimeSwitchesToGeneralizedTimeOutside1950To2049) {
  const std::pair<SYSTEMTIME, const char*> cases[] = {
      {{1949, 12, 0, 31, 23, 59, 59, 999}, "19491231235959Z"},
      {{1950, 1, 0, 1, 0, 0, 0, 0}, "500101000000Z"},
      {{2049, 12, 0, 31, 23, 59, 59, 0}, "491231235959Z"},
      {{2050, 1, 0, 1, 0, 0, 0, 0}, "20500101000000Z"},
      {{2024, 2, 0, 29, 12, 34, 56, 0}, "240229123456Z"},
  };
  FILETIME ft{};
  DWORD size = 0;
  for (const auto& [time, text] : cases) {
    ASSERT_TRUE(SystemTimeToFileTime(&time, &ft));
    ASSERT_TRUE(CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &ft, nullptr, &size));
    std::string der(size, '\0');
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &ft,
                                  reinterpret_cast<BYTE*>(der.data()), &size));
    // UTCTime (0x17) of 13 characters, or GeneralizedTime (0x18) of 15.
    const size_t n = std::strlen(text);
    EXPECT_EQ(der, std::string(1, char(n == 13 ? 0x17 : 0x18)) + char(n) + text)
        << time.wYear;
  }
  const SYSTEMTIME y2k{2000, 1, 6, 1, 0, 0, 0, 0}, feb30{2023, 2, 0, 30, 0, 0, 0, 0};
  ASSERT_TRUE(SystemTimeToFileTime(&y2k, &ft));
  EXPECT_EQ((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime,
            125911584000000000ull);
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER),
            errorOf([&] { return SystemTimeToFileTime(&feb30, &ft); }));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), errorOf([&] {
              return CryptEncodeObject(X509_ASN_ENCODING, "1.2.3.4", &ft, nullptr, &size);
            }));
}

}  // namespace
}  // namespace softcsp_test
