// Move-only owners of CryptoAPI handles and the other resources the provider
// service acquires, so that every path releases them in reverse order.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "crypto/cryptoapi.h"

namespace kelto {

template <typename Handle, BOOL(WINAPI* Release)(Handle)>
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, 0)) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  Handle get() const { return handle_; }
  // Hands the handle over to the caller, who releases it from now on.
  Handle release() { return std::exchange(handle_, 0); }
  Handle* out() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_) Release(handle_);
    handle_ = 0;
  }

 private:
  Handle handle_ = 0;
};

inline BOOL WINAPI releaseProviderContext(HCRYPTPROV provider) {
  return CryptReleaseContext(provider, 0);
}

using CryptProvider = ScopedHandle<HCRYPTPROV, releaseProviderContext>;
using CryptKey = ScopedHandle<HCRYPTKEY, CryptDestroyKey>;
using CryptHash = ScopedHandle<HCRYPTHASH, CryptDestroyHash>;

struct CertContextRelease {
  void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using CertContext = std::unique_ptr<const CERT_CONTEXT, CertContextRelease>;

struct CertStoreRelease {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
using CertStore = std::unique_ptr<void, CertStoreRelease>;

struct CryptMsgRelease {
  void operator()(HCRYPTMSG message) const { CryptMsgClose(message); }
};
using CryptMsg = std::unique_ptr<void, CryptMsgRelease>;

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// Wide text for the "W" calls: wchar_t on Windows, char16_t in softcsp.
inline LPCWSTR wideArg(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

}  // namespace kelto
