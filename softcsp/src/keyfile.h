// A stored key: PKCS#12 with the private key encrypted and MAC-protected under
// the container PIN (the empty PIN for an unprotected key) and, when there is
// one, the key's certificate in clear, so that the certificate can be read
// without the PIN.
#ifndef SOFTCSP_SRC_KEYFILE_H
#define SOFTCSP_SRC_KEYFILE_H

#include <string>

#include "ossl.h"
#include "softcsp/wincrypt.h"

namespace softcsp::keyfile {

// NTE_NO_KEY when the file is absent, NTE_KEYSET_ENTRY_BAD when unreadable.
DWORD load(const std::string &path, Pkcs12Ptr &out);
// SCARD_E_NO_SUCH_CERTIFICATE when the key has none.
DWORD certificate(PKCS12 *p12, X509Ptr &out);
// Whether the PIN opens the file (MAC check): a wrong PIN is told apart
// from a damaged file and never yields a garbage key.
bool pinOpens(PKCS12 *p12, const std::string &pin);
// SCARD_W_WRONG_CHV for a wrong PIN, NTE_KEYSET_ENTRY_BAD for bad content.
DWORD privateKey(PKCS12 *p12, const std::string &pin, PkeyPtr &out);
// Serialises key (+ certificate, which must match it) under the PIN.
DWORD build(EVP_PKEY *key, X509 *cert, const std::string &pin,
            std::string &der);

}  // namespace softcsp::keyfile

#endif
