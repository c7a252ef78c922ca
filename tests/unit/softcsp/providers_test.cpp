// Provider contexts: acquiring, the default container, PINs, enumeration and
// handle safety.

#include "fixture.h"

namespace softcsp_test {
namespace {

using ProvidersTest = StoreTest;

TEST_F(ProvidersTest, AcquireFailsLikeWindowsAndNewKeysetCreatesOnce) {
  // A name is stored as UTF-8: one that is no such text (a lone surrogate)
  // names no container; one that is, does.
  makeKey(PROV_RSA_FULL, "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", AT_SIGNATURE);
  struct Case {
    const char16_t* container;
    DWORD flags, error;
    const char16_t* provider = kStrong;
    DWORD type = PROV_RSA_FULL;
  };
  const Case cases[] = {
      {nullptr, CRYPT_VERIFYCONTEXT, NTE_KEYSET_NOT_DEF, u"No Such Provider"},
      {nullptr, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NO_MATCH, kStrong, 75},
      {u"missing", 0, NTE_BAD_KEYSET},
      {nullptr, 0, NTE_BAD_KEYSET},  // no default chosen yet
      {u"c", CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
      {u"a\xD800-b", 0, NTE_BAD_KEYSET_PARAM},
      {u"a\xDBFF", 0, NTE_BAD_KEYSET_PARAM},
      {u"\xDC00-a", 0, NTE_BAD_KEYSET_PARAM},
      {u"\u00E9\u20AC\U0001D11E", 0, 0},
      {u"fresh", CRYPT_NEWKEYSET, 0},
      {u"fresh", CRYPT_NEWKEYSET, NTE_EXISTS},
      {u"fresh", CRYPT_DELETEKEYSET, 0},
      {u"fresh", 0, NTE_BAD_KEYSET},
  };
  HCRYPTPROV h = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(c.error, errorOf([&] {
                return CryptAcquireContextW(&h, c.container, c.provider, c.type, c.flags);
              }))
        << &c - cases;
    EXPECT_TRUE(h == 0 || CryptReleaseContext(std::exchange(h, 0), 0));
  }
  EXPECT_EQ(ERROR_INVALID_PARAMETER, errorOf([&] {
              return CryptAcquireContextW(nullptr, nullptr, kStrong, PROV_RSA_FULL,
                                          CRYPT_VERIFYCONTEXT);
            }));
}

// Sizes, names and the end; CRYPT_FIRST reads the containers again.
TEST_F(ProvidersTest, Enumeration) {
  const HCRYPTPROV h = acquire(nullptr, CRYPT_VERIFYCONTEXT);
  const auto next = [&](BYTE* buf, DWORD& len, DWORD flags) {
    return errorOf(
        [&] { return CryptGetProvParam(h, PP_ENUMCONTAINERS, buf, &len, flags); });
  };
  // An empty store still answers the size query, then ends at once.
  BYTE small[2];
  DWORD size = 0, len = sizeof small;
  ASSERT_EQ(0u, next(nullptr, size, CRYPT_FIRST));
  EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), next(small, size, CRYPT_FIRST));

  const std::string longName = "\\\\.\\HDIMAGE\\long name";
  makeKey(PROV_RSA_FULL, "a", AT_SIGNATURE);
  makeKey(PROV_RSA_FULL, longName, AT_KEYEXCHANGE);
  ASSERT_EQ(0u, next(nullptr, size, CRYPT_FIRST));
  EXPECT_EQ(size, longName.size() + 1);
  // A short buffer reports the size needed and does not move on.
  EXPECT_EQ(DWORD(ERROR_MORE_DATA), next(small, len, CRYPT_FIRST));
  EXPECT_EQ(len, size);
  std::vector<BYTE> buf(size);
  for (int round = 0; round < 2; ++round) {
    len = size;
    ASSERT_EQ(0u, next(buf.data(), len, round == 0 ? CRYPT_NEXT : CRYPT_FIRST));
    EXPECT_EQ(reinterpret_cast<char*>(buf.data()), longName);
    len = sizeof small;
    ASSERT_EQ(0u, next(small, len, CRYPT_NEXT));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(small), len), std::string("a", 2));
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), next(buf.data(), len = size, CRYPT_NEXT));
  }
  EXPECT_TRUE(CryptReleaseContext(h, 0));
}

// CryptSignHashW as the host calls it, and PINs: the size needs no PIN, a
// container without a signature key signs with its exchange key, a PIN is
// checked against the key of its spec, a protected key signs only once given
// its PIN, and a hash once signed takes no more data but signs again alike.
TEST_F(ProvidersTest, PinsAndHashSignatures) {
  makeKey(PROV_RSA_FULL, "x", AT_KEYEXCHANGE, "secret");
  // A context that may ask has no pinentry to ask with: it fails as if it
  // might not ask.
  setenv("KELTO_PINENTRY", (dir_ + "/no-pinentry").c_str(), 1);
  for (const DWORD flags : {0u, CRYPT_SILENT}) {
    const HCRYPTPROV h = acquire(u"x", flags);
    HCRYPTHASH hash = 0;
    for (const ALG_ID bad : {0u, CALG_GR3411_2012_256, CALG_MD5})
      EXPECT_EQ(NTE_BAD_ALGID,
                errorOf([&] { return CryptCreateHash(h, bad, 0, 0, &hash); }));
    ASSERT_TRUE(CryptCreateHash(h, CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    const auto sign = [&](DWORD spec, BYTE* out, DWORD& len) {
      return errorOf([&] { return CryptSignHashW(hash, spec, nullptr, 0, out, &len); });
    };
    const auto pin = [&](DWORD param, const char* p) {
      return errorOf([&] {
        return CryptSetProvParam(h, param, reinterpret_cast<const BYTE*>(p), 0);
      });
    };
    DWORD len = 0, shortLen = 100;
    EXPECT_EQ(NTE_NO_KEY, sign(AT_SIGNATURE, nullptr, len));
    ASSERT_EQ(0u, sign(AT_KEYEXCHANGE, nullptr, len));
    std::vector<BYTE> sig(len), again(len);
    EXPECT_EQ(DWORD(ERROR_MORE_DATA), sign(AT_KEYEXCHANGE, sig.data(), shortLen));
    EXPECT_EQ(len, 256u);
    EXPECT_EQ(shortLen, 256u);
    EXPECT_EQ(flags == CRYPT_SILENT ? NTE_SILENT_CONTEXT : SCARD_W_CARD_NOT_AUTHENTICATED,
              sign(AT_KEYEXCHANGE, sig.data(), len));
    EXPECT_EQ(NTE_NO_KEY, pin(PP_SIGNATURE_PIN, "secret"));
    EXPECT_EQ(SCARD_W_WRONG_CHV, pin(PP_KEYEXCHANGE_PIN, "terces"));
    EXPECT_EQ(SCARD_W_WRONG_CHV, pin(PP_KEYEXCHANGE_PIN, ""));
    EXPECT_EQ(NTE_BAD_TYPE, pin(PP_NAME, "x"));
    EXPECT_EQ(0u, pin(PP_KEYEXCHANGE_PIN, "secret"));
    ASSERT_EQ(0u, sign(AT_KEYEXCHANGE, sig.data(), len));
    EXPECT_EQ(NTE_BAD_HASH_STATE,
              errorOf([&] { return CryptHashData(hash, sig.data(), 1, 0); }));
    // PKCS#1 v1.5 gives the same bytes for the same hash.
    ASSERT_EQ(0u, sign(AT_KEYEXCHANGE, again.data(), len));
    EXPECT_EQ(sig, again);
    CryptDestroyHash(hash);
    CryptReleaseContext(h, 0);
  }
  unsetenv("KELTO_PINENTRY");
}

TEST_F(ProvidersTest, StaleAndForgedHandlesFailWithoutEffect) {
  const HCRYPTPROV h = acquire(nullptr, CRYPT_VERIFYCONTEXT);
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(h, CALG_SHA1, 0, 0, &hash));
  EXPECT_NE(hash, h);
  // A hash handle is no provider handle, and numbers nobody issued are no
  // handles at all.
  EXPECT_EQ(NTE_BAD_UID, errorOf([&] { return CryptReleaseContext(hash, 0); }));
  EXPECT_EQ(NTE_BAD_UID, errorOf([&] { return CryptReleaseContext(h + 1000, 0); }));
  EXPECT_EQ(NTE_BAD_HASH, errorOf([&] { return CryptDestroyHash(h); }));
  EXPECT_EQ(NTE_BAD_KEY, errorOf([&] { return CryptDestroyKey(0x1234); }));
  EXPECT_EQ(ERROR_INVALID_HANDLE, errorOf([&] {
              return CertCloseStore(reinterpret_cast<HCERTSTORE>(0x4242), 0);
            }));
  CERT_CONTEXT fake{};
  EXPECT_EQ(E_INVALIDARG, errorOf([&] { return CertFreeCertificateContext(&fake); }));

  EXPECT_TRUE(CryptReleaseContext(h, 0));
  EXPECT_EQ(NTE_BAD_UID, errorOf([&] { return CryptReleaseContext(h, 0); }));
  HCRYPTHASH another = 0;
  EXPECT_EQ(NTE_BAD_UID,
            errorOf([&] { return CryptCreateHash(h, CALG_SHA1, 0, 0, &another); }));
  EXPECT_TRUE(CryptDestroyHash(hash));
}

}  // namespace
}  // namespace softcsp_test
