#include "session.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <atomic>

#include "askpin.h"
#include "handles.h"
#include "keyfile.h"
#include "storage.h"

namespace softcsp {

Session::Session(const ProviderType& prov, std::string container, bool silent)
    : prov_(prov), container_(std::move(container)), silent_(silent) {}

Session::~Session() {
  // PINs live only in memory and only as long as the context.
  for (std::string& pin : pins_) OPENSSL_cleanse(pin.data(), pin.size());
}

DWORD Session::openKeyFile(DWORD keySpec, Pkcs12Ptr& out) const {
  if (isVerifyContext()) return NTE_BAD_KEYSET;
  if (!validKeySpec(keySpec)) return NTE_NO_KEY;
  if (!storage::isDirectory(storage::containerDir(prov_.type, container_)))
    return NTE_BAD_KEYSET;
  return keyfile::load(storage::keyFile(prov_.type, container_, keySpec), out);
}

DWORD Session::setPin(DWORD keySpec, const std::string& pin) {
  Pkcs12Ptr p12;
  if (DWORD err = openKeyFile(keySpec, p12)) return err;
  if (DWORD err = keyfile::checkPin(p12.get(), pin)) return err;
  remember(slot(keySpec), pin);
  return 0;
}

void Session::remember(size_t i, const std::string& pin) {
  OPENSSL_cleanse(pins_[i].data(), pins_[i].size());
  pins_[i] = pin;
  hasPin_[i] = true;
}

DWORD Session::askPin(DWORD keySpec, PKCS12* p12, std::string& pin) {
  X509Ptr cert;
  const std::string subject =
      certificate(keySpec, cert) == 0 ? subjectText(cert.get()) : std::string();
  const DWORD err = askKeyPin(
      container_, subject,
      [p12](const std::string& answer) { return keyfile::checkPin(p12, answer); }, pin);
  if (err == 0) remember(slot(keySpec), pin);
  return err;
}

DWORD Session::privateKey(DWORD keySpec, EVP_PKEY*& out) {
  Pkcs12Ptr p12;
  if (DWORD err = openKeyFile(keySpec, p12)) return err;
  const size_t i = slot(keySpec);
  if (!keys_[i]) {
    // Both keys of a container normally share its PIN, so a PIN given for
    // one key spec is tried for the other before giving up.
    std::string pin;
    const DWORD unprotected = keyfile::checkPin(p12.get(), "");
    if (unprotected == 0) {
      pin.clear();
    } else if (unprotected != SCARD_W_WRONG_CHV) {
      return unprotected;
    } else if (hasPin_[i]) {
      pin = pins_[i];
    } else if (hasPin_[1 - i]) {
      pin = pins_[1 - i];
    } else if (silent_) {
      return NTE_SILENT_CONTEXT;
    } else if (DWORD err = askPin(keySpec, p12.get(), pin)) {
      return err;
    }
    PkeyPtr key;
    const DWORD err = keyfile::privateKey(p12.get(), pin, key);
    OPENSSL_cleanse(pin.data(), pin.size());
    if (err != 0) return err;
    if (keyKindOf(key.get()) != prov_.keyKind) return NTE_BAD_KEY;
    keys_[i] = std::move(key);
  }
  out = keys_[i].get();
  return 0;
}

DWORD Session::certificate(DWORD keySpec, X509Ptr& out) const {
  Pkcs12Ptr p12;
  if (DWORD err = openKeyFile(keySpec, p12)) return err;
  X509Ptr cert;
  if (DWORD err = keyfile::certificate(p12.get(), cert)) return err;
  PkeyPtr key(X509_get_pubkey(cert.get()));
  ERR_clear_error();
  // A certificate of another algorithm than the provider's is not this
  // container's: its file was put here from elsewhere.
  if (!key || keyKindOf(key.get()) != prov_.keyKind) return NTE_BAD_KEY;
  out = std::move(cert);
  return 0;
}

DWORD Session::publicKey(DWORD keySpec, PkeyPtr& out) {
  X509Ptr cert;
  const DWORD certErr = certificate(keySpec, cert);
  if (certErr == 0) {
    out.reset(X509_get_pubkey(cert.get()));
    if (out) return 0;
  } else if (certErr != SCARD_E_NO_SUCH_CERTIFICATE) {
    return certErr;
  }
  EVP_PKEY* key = nullptr;
  if (DWORD err = privateKey(keySpec, key)) return err;
  EVP_PKEY_up_ref(key);
  out.reset(key);
  return 0;
}

namespace {
std::atomic<unsigned long long> privateKeyUses{0};
}  // namespace

void notePrivateKeyUse() { ++privateKeyUses; }

std::shared_ptr<Session> findSession(HCRYPTPROV handle) {
  return find<Session>(HandleKind::Provider, handle);
}

}  // namespace softcsp

extern "C" unsigned long long SoftCspPrivateKeyUses(void) {
  return softcsp::privateKeyUses.load();
}
