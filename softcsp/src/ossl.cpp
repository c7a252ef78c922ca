// The engine interface is deprecated in OpenSSL 3, but the GOST engine is what
// Debian ships and what `openssl -engine gost` uses to verify our output.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "ossl.h"

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include <cstdlib>
#include <mutex>

#include "certinfo.h"
#include "handles.h"

namespace softcsp {
namespace {

OSSL_PROVIDER* legacyProvider = nullptr;
OSSL_PROVIDER* defaultProvider = nullptr;

// OpenSSL frees its engines, providers and locks in an exit handler of its
// own. Objects still alive then (sessions the caller never released, their
// keys, certificate contexts) would be freed after it by static destructors,
// touching a freed GOST engine. This handler is registered after OpenSSL's,
// so it runs before it and lets go of everything while OpenSSL still works.
void releaseBeforeOpenSslExit() {
  auto lock = lockApi();
  freeAllCerts();
  removeAllHandles();
  if (legacyProvider != nullptr) OSSL_PROVIDER_unload(legacyProvider);
  if (defaultProvider != nullptr) OSSL_PROVIDER_unload(defaultProvider);
  legacyProvider = defaultProvider = nullptr;
}

}  // namespace

void ensureOpenSsl() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
    std::atexit(releaseBeforeOpenSslExit);
  });
}

bool ensureGost() {
  static std::once_flag once;
  static bool loaded = false;
  std::call_once(once, [] {
    ensureOpenSsl();
    // The structural reference is dropped on return; the functional one from
    // ENGINE_init keeps the engine until OpenSSL's clean-up at exit.
    const std::unique_ptr<ENGINE, OsslFree<ENGINE_free>> e(ENGINE_by_id("gost"));
    loaded = e && ENGINE_init(e.get()) == 1 &&
             ENGINE_set_default(e.get(), ENGINE_METHOD_ALL) == 1;
    ERR_clear_error();
  });
  return loaded;
}

bool ensureLegacyAlgorithms() {
  static std::once_flag once;
  static bool loaded = false;
  std::call_once(once, [] {
    ensureOpenSsl();
    // Loading any provider by hand stops the default one from loading by
    // itself, so both are loaded; both are unloaded again at exit.
    legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    loaded = legacyProvider != nullptr && defaultProvider != nullptr;
    ERR_clear_error();
  });
  return loaded;
}

std::string oidText(const ASN1_OBJECT* obj) {
  char buf[128];
  const int len = OBJ_obj2txt(buf, sizeof buf, obj, 1);
  if (len <= 0) return {};
  if (static_cast<size_t>(len) < sizeof buf)
    return std::string(buf, static_cast<size_t>(len));
  std::string big(static_cast<size_t>(len) + 1, '\0');
  OBJ_obj2txt(big.data(), len + 1, obj, 1);
  big.resize(static_cast<size_t>(len));
  return big;
}

std::string subjectText(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0,
                     XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

}  // namespace softcsp
