// A private key store per test: XDG_DATA_HOME points into a fresh temporary
// directory that is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <softcsp/keystore.h>
#include <softcsp/wincrypt.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace softcsp_test {

inline const char16_t kStrong[] = u"Microsoft Strong Cryptographic Provider";

// The error of a call, 0 when it succeeds.
template <class F>
DWORD errorOf(F&& call) {
  SetLastError(0);
  return call() ? 0 : GetLastError();
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/softcsp-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv("XDG_DATA_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string root() const { return dir_ + "/keltoDataSigned/softcsp"; }

  // A key with a certificate through the key tool's interface; returns the
  // certificate's DER.
  std::string makeKey(DWORD type, const std::string& container, DWORD spec,
                      const std::string& pin = "") {
    std::string der;
    const auto s = softcsp::keystore::generate(type, container, spec, pin, {}, der);
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

  std::string dir_;
};

}  // namespace softcsp_test
