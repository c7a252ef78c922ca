// A private key store per test: XDG_DATA_HOME points into a fresh temporary
// directory that is removed afterwards.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <softcsp/keystore.h>
#include <softcsp/wincrypt.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace softcsp_test {

inline const char16_t kStrong[] = u"Microsoft Strong Cryptographic Provider";

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/softcsp-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv("XDG_DATA_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    nftw(
        dir_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) {
          return ::remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }

  std::string root() const { return dir_ + "/keltoDataSigned/softcsp"; }

  // A key through the key tool's interface; returns the certificate DER.
  std::string makeKey(DWORD type, const std::string& container, DWORD spec,
                      const std::string& pin = "", bool withCert = true) {
    softcsp::keystore::CertRequest req;
    req.make = withCert;
    std::string der;
    const auto s = softcsp::keystore::generate(type, container, spec, pin, req, der);
    EXPECT_TRUE(s.ok()) << s.message;
    return der;
  }

  HCRYPTPROV acquire(const char16_t* container, DWORD flags = 0,
                     const char16_t* provider = kStrong, DWORD type = PROV_RSA_FULL) {
    HCRYPTPROV h = 0;
    EXPECT_TRUE(CryptAcquireContextW(&h, container, provider, type, flags))
        << std::hex << GetLastError();
    return h;
  }

  // The error of a call expected to fail.
  template <class F>
  static DWORD errorOf(F&& call) {
    SetLastError(0);
    const bool ok = call();
    return ok ? 0 : GetLastError();
  }

  std::string dir_;
};

}  // namespace softcsp_test
