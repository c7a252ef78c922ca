// Certificate contexts: the CERT_CONTEXT / CERT_INFO views a caller reads,
// backed by memory this library owns, and the public-key info layout shared
// with CryptExportPublicKeyInfo.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "ossl.h"
#include "softcsp/wincrypt.h"

namespace softcsp {

// The three parts of a SubjectPublicKeyInfo as CryptoAPI presents them.
struct SpkiParts {
  std::string oid;
  std::string params;  // DER of the algorithm parameters, empty if absent
  std::string bits;
  DWORD unusedBits = 0;
};
bool splitSpki(X509_PUBKEY* spki, SpkiParts& out);
// Size of a CERT_PUBLIC_KEY_INFO with its data in one buffer, and the layout.
size_t publicKeyInfoSize(const SpkiParts& parts);
void writePublicKeyInfo(const SpkiParts& parts, BYTE* buffer);

struct CertObject {
  CERT_CONTEXT ctx{};  // first member: its address is the caller's handle
  CERT_INFO info{};
  std::string der;
  X509Ptr x509;
  std::list<std::string> arena;  // stable storage for what ctx/info point to
  std::vector<CERT_EXTENSION> extensions;
  size_t storeIndex = 0;

  CertObject() = default;
  CertObject(const CertObject&) = delete;
  CertObject& operator=(const CertObject&) = delete;
};

// Parses DER into a registered context; CRYPT_E_ASN1_BADTAG when it is not a
// certificate.
DWORD newCertContext(const std::string& der, HCERTSTORE store, size_t storeIndex,
                     PCCERT_CONTEXT& out);
// The object behind a context this library handed out, or null.
CertObject* findCert(PCCERT_CONTEXT ctx);
bool freeCert(PCCERT_CONTEXT ctx);
// Frees every context still held (at process exit, before OpenSSL's own
// clean-up).
void freeAllCerts();

}  // namespace softcsp
