// A provider context: the provider type, the container it was opened on, the
// PINs handed over so far and the keys they unlocked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "algorithms.h"
#include "ossl.h"
#include "softcsp/wincrypt.h"

namespace softcsp {

class Session {
 public:
  Session(const ProviderType& prov, std::string container, bool silent);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const ProviderType& provider() const { return prov_; }
  bool isVerifyContext() const { return container_.empty(); }
  const std::string& container() const { return container_; }

  // NTE_BAD_KEYSET for a verify context or a container that has gone,
  // NTE_NO_KEY when the container has no key of that spec.
  DWORD openKeyFile(DWORD keySpec, Pkcs12Ptr& out) const;
  // Checks the PIN against the key and remembers it for this context.
  DWORD setPin(DWORD keySpec, const std::string& pin);
  // The decrypted private key; needs a PIN unless the key is unprotected.
  // Without one, a context that is not silent asks the person through the
  // pinentry and remembers the answer as if it had been set (see askpin.h
  // for the errors); a silent one fails with NTE_SILENT_CONTEXT.
  DWORD privateKey(DWORD keySpec, EVP_PKEY*& out);
  // The certificate stored with the key: SCARD_E_NO_SUCH_CERTIFICATE when
  // there is none, NTE_KEYSET_ENTRY_BAD when it is damaged, NTE_BAD_KEY when
  // its key is not of the provider's algorithm.
  DWORD certificate(DWORD keySpec, X509Ptr& out) const;
  // The public key: from the stored certificate when there is one, so that
  // it is readable without the PIN.
  DWORD publicKey(DWORD keySpec, PkeyPtr& out);

  // Container enumeration state for PP_ENUMCONTAINERS.
  std::vector<std::string> enumNames;
  size_t enumPos = 0;
  bool enumLoaded = false;

 private:
  static size_t slot(DWORD keySpec) { return keySpec == AT_SIGNATURE ? 1 : 0; }
  void remember(size_t slot, const std::string& pin);
  DWORD askPin(DWORD keySpec, PKCS12* p12, std::string& pin);

  const ProviderType& prov_;
  std::string container_;
  bool silent_;
  std::string pins_[2];
  bool hasPin_[2] = {false, false};
  PkeyPtr keys_[2];
};

// The session behind a provider handle, or null (last error: NTE_BAD_UID).
std::shared_ptr<Session> findSession(HCRYPTPROV handle);

// Counts one use of a private key to sign (SoftCspPrivateKeyUses).
void notePrivateKeyUse();

inline bool validKeySpec(DWORD keySpec) {
  return keySpec == AT_SIGNATURE || keySpec == AT_KEYEXCHANGE;
}

}  // namespace softcsp
