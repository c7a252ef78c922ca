// Provider contexts: acquiring, the default container, PINs, enumeration and
// handle safety.

#include "fixture.h"

namespace softcsp_test {
namespace {

class ProvidersTest : public StoreTest {
 protected:
  // All names PP_ENUMCONTAINERS yields, resetting the length before each call.
  std::vector<std::string> enumerate(HCRYPTPROV h) {
    DWORD size = 0;
    EXPECT_TRUE(CryptGetProvParam(h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
    std::vector<BYTE> buf(size);
    std::vector<std::string> names;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
      DWORD len = size;
      if (!CryptGetProvParam(h, PP_ENUMCONTAINERS, buf.data(), &len, flags)) break;
      names.emplace_back(reinterpret_cast<char*>(buf.data()));
      flags = CRYPT_NEXT;
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    return names;
  }
};

TEST_F(ProvidersTest, AcquireFailsLikeWindowsForUnknownProvidersTypesAndContainers) {
  HCRYPTPROV h = 0;
  EXPECT_EQ(NTE_KEYSET_NOT_DEF, errorOf([&] {
              return CryptAcquireContextW(&h, nullptr, u"No Such Provider", PROV_RSA_FULL,
                                          CRYPT_VERIFYCONTEXT);
            }));
  EXPECT_EQ(NTE_PROV_TYPE_NO_MATCH, errorOf([&] {
              return CryptAcquireContextW(&h, nullptr, kStrong, 75, CRYPT_VERIFYCONTEXT);
            }));
  EXPECT_EQ(NTE_BAD_KEYSET, errorOf([&] {
              return CryptAcquireContextW(&h, u"missing", kStrong, PROV_RSA_FULL, 0);
            }));
  // No default container has been chosen yet.
  EXPECT_EQ(NTE_BAD_KEYSET, errorOf([&] {
              return CryptAcquireContextW(&h, nullptr, kStrong, PROV_RSA_FULL, 0);
            }));
  EXPECT_EQ(NTE_BAD_FLAGS, errorOf([&] {
              return CryptAcquireContextW(&h, u"c", kStrong, PROV_RSA_FULL,
                                          CRYPT_VERIFYCONTEXT);
            }));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, errorOf([&] {
              return CryptAcquireContextW(nullptr, nullptr, kStrong, PROV_RSA_FULL,
                                          CRYPT_VERIFYCONTEXT);
            }));
  // A name is stored as UTF-8: text with a lone surrogate has no such form.
  for (const char16_t* name : {u"a\xD800"
                               u"b",
                               u"a\xDBFF",
                               u"\xDC00"
                               u"a"})
    EXPECT_EQ(NTE_BAD_KEYSET_PARAM, errorOf([&] {
                return CryptAcquireContextW(&h, name, kStrong, PROV_RSA_FULL, 0);
              }));
  makeKey(PROV_RSA_FULL, "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", AT_SIGNATURE);
  EXPECT_TRUE(CryptReleaseContext(acquire(u"\u00E9\u20AC\U0001D11E"), 0));
}

TEST_F(ProvidersTest, NewKeysetCreatesOnceAndDeleteKeysetRemoves) {
  HCRYPTPROV h = acquire(u"fresh", CRYPT_NEWKEYSET);
  EXPECT_TRUE(CryptReleaseContext(h, 0));
  EXPECT_EQ(NTE_EXISTS, errorOf([&] {
              return CryptAcquireContextW(&h, u"fresh", kStrong, PROV_RSA_FULL,
                                          CRYPT_NEWKEYSET);
            }));
  EXPECT_TRUE(
      CryptAcquireContextW(&h, u"fresh", kStrong, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(NTE_BAD_KEYSET, errorOf([&] {
              return CryptAcquireContextW(&h, u"fresh", kStrong, PROV_RSA_FULL, 0);
            }));
}

TEST_F(ProvidersTest, EnumerationSizesNamesAndEnd) {
  const HCRYPTPROV empty = acquire(nullptr, CRYPT_VERIFYCONTEXT);
  // An empty store still answers the size query, then ends at once.
  EXPECT_TRUE(enumerate(empty).empty());
  EXPECT_TRUE(CryptReleaseContext(empty, 0));

  makeKey(PROV_RSA_FULL, "a", AT_SIGNATURE);
  makeKey(PROV_RSA_FULL, "\\\\.\\HDIMAGE\\long name", AT_KEYEXCHANGE);
  const std::string longName = "\\\\.\\HDIMAGE\\long name";
  const HCRYPTPROV h = acquire(nullptr, CRYPT_VERIFYCONTEXT);
  DWORD size = 0;
  ASSERT_TRUE(CryptGetProvParam(h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
  EXPECT_EQ(size, longName.size() + 1);

  // A short buffer reports the size needed and does not move on.
  BYTE small[2];
  DWORD len = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, errorOf([&] {
              return CryptGetProvParam(h, PP_ENUMCONTAINERS, small, &len, CRYPT_FIRST);
            }));
  EXPECT_EQ(len, size);
  std::vector<BYTE> buf(size);
  ASSERT_TRUE(CryptGetProvParam(h, PP_ENUMCONTAINERS, buf.data(), &len, CRYPT_NEXT));
  EXPECT_EQ(reinterpret_cast<char*>(buf.data()), longName);
  len = sizeof small;
  ASSERT_TRUE(CryptGetProvParam(h, PP_ENUMCONTAINERS, small, &len, CRYPT_NEXT));
  EXPECT_EQ(len, 2u);
  EXPECT_STREQ(reinterpret_cast<char*>(small), "a");
  len = size;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, errorOf([&] {
              return CryptGetProvParam(h, PP_ENUMCONTAINERS, buf.data(), &len,
                                       CRYPT_NEXT);
            }));
  EXPECT_EQ(enumerate(h), (std::vector<std::string>{longName, "a"}));
  EXPECT_TRUE(CryptReleaseContext(h, 0));
}

TEST_F(ProvidersTest, PinIsCheckedAgainstTheKeyOfThatSpec) {
  makeKey(PROV_RSA_FULL, "pinned", AT_KEYEXCHANGE, "1234");
  const HCRYPTPROV h = acquire(u"pinned", CRYPT_SILENT);
  const auto pin = [](const char* p) { return reinterpret_cast<const BYTE*>(p); };
  EXPECT_EQ(NTE_NO_KEY, errorOf([&] {
              return CryptSetProvParam(h, PP_SIGNATURE_PIN, pin("1234"), 0);
            }));
  EXPECT_EQ(SCARD_W_WRONG_CHV, errorOf([&] {
              return CryptSetProvParam(h, PP_KEYEXCHANGE_PIN, pin("4321"), 0);
            }));
  EXPECT_EQ(SCARD_W_WRONG_CHV, errorOf([&] {
              return CryptSetProvParam(h, PP_KEYEXCHANGE_PIN, pin(""), 0);
            }));
  EXPECT_TRUE(CryptSetProvParam(h, PP_KEYEXCHANGE_PIN, pin("1234"), 0));
  EXPECT_EQ(NTE_BAD_TYPE,
            errorOf([&] { return CryptSetProvParam(h, PP_NAME, pin("x"), 0); }));
  EXPECT_TRUE(CryptReleaseContext(h, 0));
}

TEST_F(ProvidersTest, ProtectedKeyWithoutPinCannotSign) {
  makeKey(PROV_RSA_FULL, "locked", AT_SIGNATURE, "secret");
  // A context that may ask has no pinentry to ask with: it fails as if it
  // might not ask.
  setenv("KELTO_PINENTRY", (dir_ + "/no-pinentry").c_str(), 1);
  for (const DWORD flags : {0u, CRYPT_SILENT}) {
    const HCRYPTPROV h = acquire(u"locked", flags);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(h, CALG_SHA1, 0, 0, &hash));
    DWORD len = 0;
    // The size needs no PIN; the signature does.
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    std::vector<BYTE> sig(len);
    EXPECT_EQ(flags == CRYPT_SILENT ? NTE_SILENT_CONTEXT : SCARD_W_CARD_NOT_AUTHENTICATED,
              errorOf([&] {
                return CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &len);
              }));
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
