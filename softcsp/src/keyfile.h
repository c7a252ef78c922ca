// A stored key: PKCS#12 with the private key encrypted and MAC-protected under
// the container PIN (the empty PIN for an unprotected key) and, when there is
// one, the key's certificate in clear, so that the certificate can be read
// without the PIN.
//
// A key file can be damaged (empty, cut short, bits flipped, something else
// put in its place): every reader here then fails with NTE_KEYSET_ENTRY_BAD
// instead of handing out what it happens to parse. The MAC, which covers the
// whole file, needs the PIN; without it the certificate is checked against
// the SHA-1 that is stored beside it (its localKeyID).
#pragma once

#include <string>

#include "ossl.h"
#include "softcsp/wincrypt.h"

namespace softcsp::keyfile {

// NTE_NO_KEY when the file is absent, NTE_KEYSET_ENTRY_BAD when it is not
// one whole PKCS#12 structure of bounded cost (a file whose key derivation
// asks for more iterations than any PIN check should take is damaged too).
DWORD load(const std::string& path, Pkcs12Ptr& out);
// SCARD_E_NO_SUCH_CERTIFICATE when the key has none, NTE_KEYSET_ENTRY_BAD
// when the certificate is there but damaged.
DWORD certificate(PKCS12* p12, X509Ptr& out);
// Whether the PIN opens the file (MAC check).
bool pinOpens(PKCS12* p12, const std::string& pin);
// 0 when the PIN opens the file; SCARD_W_WRONG_CHV for a wrong PIN;
// NTE_KEYSET_ENTRY_BAD when the PIN still decrypts the key but the MAC fails
// (the file changed after it was written). A change inside the encrypted key
// itself cannot be told from a wrong PIN and reads as one.
DWORD checkPin(PKCS12* p12, const std::string& pin);
// checkPin's errors, or NTE_KEYSET_ENTRY_BAD for bad content.
DWORD privateKey(PKCS12* p12, const std::string& pin, PkeyPtr& out);
// Serialises key (+ certificate, which must match it) under the PIN.
DWORD build(EVP_PKEY* key, X509* cert, const std::string& pin, std::string& der);

}  // namespace softcsp::keyfile
