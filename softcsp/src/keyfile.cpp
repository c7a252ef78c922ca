#include "keyfile.h"

#include <openssl/err.h>

#include "storage.h"

namespace softcsp::keyfile {
namespace {

using SafeBags = STACK_OF(PKCS12_SAFEBAG);
using AuthSafes = STACK_OF(PKCS7);

void freeBags(SafeBags *b) { sk_PKCS12_SAFEBAG_pop_free(b, PKCS12_SAFEBAG_free); }
void freeSafes(AuthSafes *s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using BagsPtr = std::unique_ptr<SafeBags, OsslFree<freeBags>>;
using SafesPtr = std::unique_ptr<AuthSafes, OsslFree<freeSafes>>;

void freeCerts(STACK_OF(X509) *s) { sk_X509_pop_free(s, X509_free); }
using CertsPtr = std::unique_ptr<STACK_OF(X509), OsslFree<freeCerts>>;

}  // namespace

DWORD load(const std::string &path, Pkcs12Ptr &out) {
  std::string data;
  const DWORD err = storage::readFile(path, data);
  if (err == ERROR_FILE_NOT_FOUND) return NTE_NO_KEY;
  if (err != 0) return NTE_KEYSET_ENTRY_BAD;
  ensureOpenSsl();
  const auto *p = reinterpret_cast<const unsigned char *>(data.data());
  out.reset(d2i_PKCS12(nullptr, &p, static_cast<long>(data.size())));
  ERR_clear_error();
  return out ? 0 : NTE_KEYSET_ENTRY_BAD;
}

DWORD certificate(PKCS12 *p12, X509Ptr &out) {
  SafesPtr safes(PKCS12_unpack_authsafes(p12));
  ERR_clear_error();
  if (!safes) return NTE_KEYSET_ENTRY_BAD;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7 *p7 = sk_PKCS7_value(safes.get(), i);
    // Encrypted safes hold the key; the certificate is stored in clear.
    if (OBJ_obj2nid(p7->type) != NID_pkcs7_data) continue;
    BagsPtr bags(PKCS12_unpack_p7data(p7));
    if (!bags) continue;
    for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j) {
      const PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags.get(), j);
      if (PKCS12_SAFEBAG_get_nid(bag) != NID_certBag) continue;
      out.reset(PKCS12_SAFEBAG_get1_cert(bag));
      if (out) return 0;
    }
  }
  ERR_clear_error();
  return SCARD_E_NO_SUCH_CERTIFICATE;
}

bool pinOpens(PKCS12 *p12, const std::string &pin) {
  bool ok = PKCS12_verify_mac(p12, pin.c_str(), static_cast<int>(pin.size())) == 1;
  // OpenSSL writes the empty password in two ways; accept either.
  if (!ok && pin.empty()) ok = PKCS12_verify_mac(p12, nullptr, 0) == 1;
  ERR_clear_error();
  return ok;
}

DWORD privateKey(PKCS12 *p12, const std::string &pin, PkeyPtr &out) {
  if (!pinOpens(p12, pin)) return SCARD_W_WRONG_CHV;
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  STACK_OF(X509) *ca = nullptr;
  const int ok = PKCS12_parse(p12, pin.c_str(), &key, &cert, &ca);
  X509Ptr certOwner(cert);
  CertsPtr caOwner(ca);
  out.reset(key);
  ERR_clear_error();
  return ok == 1 && out ? 0 : NTE_KEYSET_ENTRY_BAD;
}

DWORD build(EVP_PKEY *key, X509 *cert, const std::string &pin,
            std::string &der) {
  ensureOpenSsl();
  // nid_cert -1 leaves the certificate unencrypted; the key gets OpenSSL's
  // default PBES2 (AES-256-CBC), and the MAC is keyed by the same PIN.
  Pkcs12Ptr p12(PKCS12_create(pin.c_str(), nullptr, key, cert, nullptr, 0, -1,
                              PKCS12_DEFAULT_ITER, PKCS12_DEFAULT_ITER, 0));
  ERR_clear_error();
  if (!p12) return cert != nullptr ? NTE_BAD_KEY : NTE_FAIL;
  der = toDer(i2d_PKCS12, p12.get());
  return der.empty() ? NTE_FAIL : 0;
}

}  // namespace softcsp::keyfile
