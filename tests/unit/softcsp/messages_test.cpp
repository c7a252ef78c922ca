// The signed-message functions: content hashed piece by piece exactly as in
// one piece, one private-key use per message, and the codes for calls out of
// order and for options softcsp does not serve. That the messages verify is
// left to openssl in the end-to-end suites.
#include <cstddef>
#include <cstring>
#include <functional>

#include "fixture.h"

// The layouts of 64-bit Windows.
static_assert(sizeof(CMSG_SIGNER_ENCODE_INFO) == 96, "signer size");
static_assert(offsetof(CMSG_SIGNER_ENCODE_INFO, hCryptProv) == 16, "layout");
static_assert(offsetof(CMSG_SIGNER_ENCODE_INFO, HashAlgorithm) == 32, "layout");
static_assert(offsetof(CMSG_SIGNER_ENCODE_INFO, cAuthAttr) == 64, "layout");
static_assert(offsetof(CMSG_SIGNER_ENCODE_INFO, rgUnauthAttr) == 88, "layout");
static_assert(sizeof(CMSG_SIGNED_ENCODE_INFO) == 48, "signed info size");
static_assert(offsetof(CMSG_SIGNED_ENCODE_INFO, rgCertEncoded) == 24, "layout");
static_assert(offsetof(CMSG_SIGNED_ENCODE_INFO, rgCrlEncoded) == 40, "layout");
static_assert(sizeof(CMSG_STREAM_INFO) == 24, "stream info size");

namespace softcsp_test {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// A fixed signing time, so that RSA messages over equal content are equal.
BYTE kTime[] = "\x17\x0d" "240229123456Z";

struct Provider {
  DWORD type;
  const char16_t *name;
  ALG_ID hash;
};
const Provider kRsa{PROV_RSA_FULL, kStrong, CALG_SHA_256};
const Provider kGost[] = {
    {75, u"Crypto-Pro GOST R 34.10-2001 KC1 CSP", CALG_GR3411},
    {80, u"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
     CALG_GR3411_2012_256},
    {81, u"Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP", CALG_GR3411_2012_512},
};

class MessageFunctions : public StoreTest {
 protected:
  void TearDown() override {
    if (cert_) CertFreeCertificateContext(cert_);
    if (prov_) CryptReleaseContext(prov_, 0);
    StoreTest::TearDown();
  }

  // A container with a signature key under a PIN, a session on it, and the
  // encode structures for its certificate, hashed as the certificate is.
  void useKey(const Provider &p) {
    const std::string der = makeKey(p.type, "m", AT_SIGNATURE, "pin");
    ASSERT_FALSE(der.empty());
    prov_ = acquire(u"m", CRYPT_SILENT, p.name, p.type);
    ASSERT_TRUE(CryptSetProvParam(prov_, PP_SIGNATURE_PIN,
                                  reinterpret_cast<const BYTE *>("pin"), 0));
    cert_ = CertCreateCertificateContext(kEncoding, reinterpret_cast<const BYTE *>(der.data()),
                                         static_cast<DWORD>(der.size()));
    ASSERT_NE(cert_, nullptr);
    hash_ = p.hash;
    time_ = {sizeof kTime - 1, kTime};
    timeAttr_ = {const_cast<char *>(szOID_RSA_signingTime), 1, &time_};
    signer_ = {};
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

  HCRYPTMSG open() {
    return CryptMsgOpenToEncode(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, &info_, nullptr,
                                nullptr);
  }

  // The message after feeding `content` in pieces cut at `cuts` (offsets,
  // repeated ones giving empty updates); the last piece carries fFinal unless
  // finalEmpty, when an empty final update follows. Checks that exactly the
  // final update used the private key and that reading the message, size
  // and bytes, twice, did not.
  std::string sign(const std::string &content, const std::vector<size_t> &cuts,
                   bool finalEmpty) {
    const unsigned long long before = SoftCspPrivateKeyUses();
    HCRYPTMSG msg = open();
    EXPECT_NE(msg, nullptr) << std::hex << GetLastError();
    if (msg == nullptr) return {};
    const auto *bytes = reinterpret_cast<const BYTE *>(content.data());
    size_t start = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
      const size_t end = i < cuts.size() ? cuts[i] : content.size();
      const bool last = i == cuts.size() && !finalEmpty;
      EXPECT_TRUE(CryptMsgUpdate(msg, bytes + start, static_cast<DWORD>(end - start), last));
      EXPECT_EQ(SoftCspPrivateKeyUses(), before + (last ? 1 : 0));
      start = end;
    }
    if (finalEmpty) {
      EXPECT_TRUE(CryptMsgUpdate(msg, nullptr, 0, TRUE));
    }
    std::string der;
    for (int round = 0; round < 2; ++round) {
      DWORD size = 0;
      EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size));
      der.assign(size, '\0');
      EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, der.data(), &size));
      EXPECT_EQ(size, der.size());
    }
    EXPECT_EQ(SoftCspPrivateKeyUses(), before + 1);
    EXPECT_TRUE(CryptMsgClose(msg));
    return der;
  }

  // The content's hash through CryptHashData in one piece.
  std::string hashOf(const std::string &content) {
    HCRYPTHASH h = 0;
    EXPECT_TRUE(CryptCreateHash(prov_, hash_, 0, 0, &h));
    EXPECT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE *>(content.data()),
                              static_cast<DWORD>(content.size()), 0));
    DWORD size = 64;
    std::string value(size, '\0');
    EXPECT_TRUE(CryptGetHashParam(h, HP_HASHVAL, reinterpret_cast<BYTE *>(value.data()),
                                  &size, 0));
    CryptDestroyHash(h);
    value.resize(size);
    return value;
  }

  // The messageDigest attribute's value, found by its DER.
  static std::string messageDigest(const std::string &der) {
    static const char kAttr[] = "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x09\x04\x31";
    const size_t at = der.find(std::string(kAttr, sizeof kAttr - 1));
    if (at == std::string::npos || at + 15 > der.size()) return {};
    const size_t length = static_cast<unsigned char>(der[at + 14]);
    return der.substr(at + 15, length);
  }

  // The code a failing open leaves, after checking it used no key.
  DWORD openError(const std::function<HCRYPTMSG()> &call) {
    const unsigned long long before = SoftCspPrivateKeyUses();
    SetLastError(0);
    HCRYPTMSG msg = call();
    EXPECT_EQ(msg, nullptr);
    CryptMsgClose(msg);
    EXPECT_EQ(SoftCspPrivateKeyUses(), before);
    return GetLastError();
  }

  HCRYPTPROV prov_ = 0;
  PCCERT_CONTEXT cert_ = nullptr;
  ALG_ID hash_ = 0;
  CRYPT_ATTR_BLOB time_{};
  CRYPT_ATTRIBUTE timeAttr_{};
  CMSG_SIGNER_ENCODE_INFO signer_{};
  CERT_BLOB certBlob_{};
  CMSG_SIGNED_ENCODE_INFO info_{};
};

std::string someContent(size_t size) {
  std::string content(size, '\0');
  unsigned state = 12345;
  for (char &c : content) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
  return content;
}

// Cuts giving pieces of 1 to 7 bytes, with an empty update now and then.
std::vector<size_t> smallCuts(size_t size) {
  std::vector<size_t> cuts;
  for (size_t at = 0, step = 1; at < size; at += step, step = step % 7 + 1) {
    cuts.push_back(at);
    if (step == 3) cuts.push_back(at);
  }
  return cuts;
}

TEST_F(MessageFunctions, ManySmallUpdatesGiveTheMessageOfOneUpdate) {
  useKey(kRsa);
  const std::string content = someContent(100003);
  const std::string whole = sign(content, {}, false);
  ASSERT_FALSE(whole.empty());
  EXPECT_EQ(messageDigest(whole), hashOf(content));
  // PKCS#1 v1.5 is deterministic: same content, same time, same bytes.
  EXPECT_EQ(sign(content, smallCuts(content.size()), true), whole);
  EXPECT_EQ(sign(content, {65536, 65536, 99999}, false), whole);
  // Detached: the content is not in the message.
  EXPECT_EQ(whole.find(content.substr(0, 64)), std::string::npos);
  const std::string empty = sign("", {}, true);
  EXPECT_EQ(messageDigest(empty), hashOf(""));
  EXPECT_NE(empty, whole);
}

TEST_F(MessageFunctions, GostContentIsHashedPieceByPiece) {
  HCRYPTPROV probe = 0;
  if (!CryptAcquireContextW(&probe, nullptr, kGost[0].name, kGost[0].type,
                            CRYPT_VERIFYCONTEXT))
    GTEST_SKIP() << "the OpenSSL gost engine is not installed";
  CryptReleaseContext(probe, 0);
  const std::string content = someContent(20011);
  for (const Provider &p : kGost) {
    SCOPED_TRACE(p.type);
    useKey(p);
    const std::string expected = hashOf(content);
    ASSERT_EQ(expected.size(), p.hash == CALG_GR3411_2012_512 ? 64u : 32u);
    EXPECT_EQ(messageDigest(sign(content, {}, false)), expected);
    EXPECT_EQ(messageDigest(sign(content, smallCuts(content.size()), true)), expected);
    CertFreeCertificateContext(cert_);
    cert_ = nullptr;
    CryptReleaseContext(prov_, 0);
    prov_ = 0;
    ASSERT_TRUE(softcsp::keystore::deleteContainer(p.type, "m").ok());
  }
}

TEST_F(MessageFunctions, CallsOutOfOrderFailAndSignNothing) {
  useKey(kRsa);
  const unsigned long long before = SoftCspPrivateKeyUses();
  HCRYPTMSG msg = open();
  ASSERT_NE(msg, nullptr);
  DWORD size = 0;
  EXPECT_EQ(CRYPT_E_MSG_ERROR, errorOf([&] {
              return CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size);
            }));
  // A refused argument leaves the message usable.
  EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CryptMsgUpdate(msg, nullptr, 5, FALSE); }));
  ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE *>("data"), 4, TRUE));
  for (const BOOL final : {FALSE, TRUE})
    EXPECT_EQ(CRYPT_E_MSG_ERROR, errorOf([&] {
                return CryptMsgUpdate(msg, reinterpret_cast<const BYTE *>("x"), 1, final);
              }));
  EXPECT_EQ(SoftCspPrivateKeyUses(), before + 1);

  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size));
  std::string der(size, '\0');
  DWORD shortSize = size - 1;
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), errorOf([&] {
              return CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, der.data(), &shortSize);
            }));
  EXPECT_EQ(shortSize, size);
  const DWORD kBareContent = 3, kSignerCount = 5;
  for (const DWORD param : {kBareContent, kSignerCount})
    EXPECT_EQ(CRYPT_E_INVALID_MSG_TYPE, errorOf([&] {
                return CryptMsgGetParam(msg, param, 0, der.data(), &size);
              }));
  EXPECT_EQ(E_INVALIDARG, errorOf([&] {
              return CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, nullptr);
            }));

  EXPECT_TRUE(CryptMsgClose(msg));
  EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CryptMsgClose(msg); }));
  EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CryptMsgUpdate(msg, nullptr, 0, TRUE); }));
  EXPECT_EQ(E_INVALIDARG, errorOf([&] {
              return CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size);
            }));
  EXPECT_TRUE(CryptMsgClose(nullptr));
  EXPECT_EQ(SoftCspPrivateKeyUses(), before + 1);
}

TEST_F(MessageFunctions, OptionsNotServedFailWithTheWindowsCodes) {
  useKey(kRsa);
  CMSG_STREAM_INFO stream{};
  const auto with = [&](DWORD encoding, DWORD flags, DWORD type, const char *inner,
                        PCMSG_STREAM_INFO streamInfo) {
    return [=] {
      return CryptMsgOpenToEncode(encoding, flags, type, &info_, const_cast<char *>(inner),
                                  streamInfo);
    };
  };
  const DWORD kData = 1, kEnveloped = 3, kBareContentFlag = 1;
  EXPECT_EQ(E_INVALIDARG, openError(with(X509_ASN_ENCODING, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                         nullptr, nullptr)));
  for (const DWORD type : {kData, kEnveloped})
    EXPECT_EQ(CRYPT_E_INVALID_MSG_TYPE,
              openError(with(kEncoding, CMSG_DETACHED_FLAG, type, nullptr, nullptr)));
  for (const DWORD flags : {0u, CMSG_DETACHED_FLAG | kBareContentFlag})
    EXPECT_EQ(E_INVALIDARG, openError(with(kEncoding, flags, CMSG_SIGNED, nullptr, nullptr)));
  EXPECT_EQ(E_INVALIDARG, openError(with(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, nullptr,
                                         &stream)));
  EXPECT_EQ(E_INVALIDARG, openError(with(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                         "1.2.840.113549.1.7.2", nullptr)));
  HCRYPTMSG data = with(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, szOID_RSA_data, nullptr)();
  EXPECT_NE(data, nullptr);
  EXPECT_TRUE(CryptMsgClose(data));
  EXPECT_EQ(E_INVALIDARG, openError([] {
              return CryptMsgOpenToEncode(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, nullptr,
                                          nullptr, nullptr);
            }));

  // Each change of a structure that opens, and what it must give.
  BYTE junk[] = {0x30, 0x03, 0x02, 0x01};
  CERT_BLOB notCertificate{sizeof junk, junk};
  CERT_INFO otherKey = *cert_->pCertInfo;
  otherKey.SubjectPublicKeyInfo.PublicKey = {sizeof junk, junk, 0};
  CMSG_SIGNER_ENCODE_INFO signers[2] = {signer_, signer_};
  const std::pair<std::function<void()>, DWORD> changes[] = {
      {[&] { info_.cbSize += 8; }, E_INVALIDARG},
      {[&] { signer_.cbSize += 24; }, E_INVALIDARG},
      {[&] { info_.cSigners = 0; }, E_INVALIDARG},
      {[&] { info_.cSigners = 2, info_.rgSigners = signers; }, E_INVALIDARG},
      {[&] { info_.cCrlEncoded = 1, info_.rgCrlEncoded = &certBlob_; }, E_INVALIDARG},
      {[&] { signer_.HashAlgorithm.pszObjId = const_cast<char *>("1.2.3.4"); },
       CRYPT_E_UNKNOWN_ALGO},
      {[&] { signer_.HashAlgorithm.pszObjId = const_cast<char *>("1.2.643.7.1.1.2.2"); },
       NTE_BAD_ALGID},
      {[&] { signer_.hCryptProv = 0x1234; }, NTE_BAD_UID},
      // No key spec means the exchange key, which this container lacks.
      {[&] { signer_.dwKeySpec = 0; }, NTE_NO_KEY},
      {[&] { info_.rgCertEncoded = &notCertificate; }, CRYPT_E_ASN1_BADTAG},
      // A certificate of another key is refused rather than signed for.
      {[&] { signer_.pCertInfo = &otherKey; }, NTE_BAD_KEY},
  };
  const CMSG_SIGNER_ENCODE_INFO signer = signer_;
  const CMSG_SIGNED_ENCODE_INFO info = info_;
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    signer_ = signer;
    info_ = info;
    info_.rgSigners = &signer_;
    changes[i].first();
    EXPECT_EQ(changes[i].second, openError([&] { return open(); }));
  }
}

}  // namespace
}  // namespace softcsp_test
