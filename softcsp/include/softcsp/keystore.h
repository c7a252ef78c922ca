// Management of softcsp's key store, for kelto-keytool: what a user does
// with keys outside of CryptoAPI (generate, import, list, delete, choose the
// default container, export certificates, fill the "MY" store).
//
// Every operation returns a Status: code 0 on success, else a CryptoAPI
// error code together with a one-line message for people. Nothing that
// exists is ever overwritten: a key spec that already holds a key stays as it
// is and the operation fails with NTE_EXISTS.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "softcsp/wincrypt.h"

namespace softcsp::keystore {

struct Status {
  DWORD code = 0;
  std::string message;
  bool ok() const { return code == 0; }
};

// Registered provider names with their types, in table order.
std::vector<std::pair<std::string, DWORD>> providers();
// The type of a registered provider name (any letter case).
Status providerType(const std::string& name, DWORD& type);

struct CertRequest {
  bool make = true;     // false: the key is stored without a certificate
  std::string subject;  // "CN=a,O=b" or "/CN=a/O=b"; empty: "CN=<container>"
  int days = 365;
};

// Whether a key of `keySpec` could be stored in `container` now (a served
// type, a valid name, no such key there yet): checked before asking for a
// PIN that would be in vain.
Status canStore(DWORD type, const std::string& container, DWORD keySpec);

// A fresh key (RSA 2048, or GOST with the CryptoPro A / TC26 A parameter
// set) under `pin` (empty: unprotected) and, if asked, a self-signed
// certificate, whose DER lands in certDer.
Status generate(DWORD type, const std::string& container, DWORD keySpec,
                const std::string& pin, const CertRequest& cert, std::string& certDer);
// Asks the person for the PIN of a new key of `container` through the
// pinentry that softcsp asks for PINs with (KELTO_PINENTRY, else `pinentry`
// on PATH): twice, until both answers agree and are not empty. Fails, saying
// why, when the person cancels or does not answer in time or when no
// pinentry can be used.
Status askNewPin(const std::string& container, std::string& pin);
// Overwrites a PIN's bytes, before its string is dropped.
void wipePin(std::string& pin);

// Key and certificate from PKCS#12 bytes, re-protected under `pin`.
Status importPfx(DWORD type, const std::string& container, DWORD keySpec,
                 const std::string& pfx, const std::string& pfxPassword,
                 const std::string& pin, std::string& certDer);
struct ContainerEntry {
  std::string name;
  // What is wrong with the container's key files ("signature key file is
  // damaged", ...), or empty. Checked without the PIN: a change inside the
  // encrypted key shows only when the key is used.
  std::string damage;
};
// The type's containers, sorted by name, damaged ones included.
Status listContainers(DWORD type, std::vector<ContainerEntry>& out);
Status deleteContainer(DWORD type, const std::string& container);
Status setDefaultContainer(DWORD type, const std::string& container);
Status exportCertificate(DWORD type, const std::string& container, DWORD keySpec,
                         std::string& der);

struct StoreEntry {
  std::string thumbprint;  // SHA-1 of the DER, lower-case hex
  std::string subject;     // RFC 2253 text
  std::string file;        // name of the file in the store
  std::string damage;      // why the file is not a usable certificate, or empty
};
// The subject of a DER certificate as RFC 2253 text; empty for bytes that
// are not a certificate.
std::string certificateSubject(const std::string& der);
// DER or PEM; adding a certificate that is already there succeeds.
Status storeAdd(const std::string& storeName, const std::string& certificate,
                StoreEntry& added);
// Every certificate file of the store, damaged ones included (with only
// `file` and `damage` set).
Status storeList(const std::string& storeName, std::vector<StoreEntry>& out);

}  // namespace softcsp::keystore
