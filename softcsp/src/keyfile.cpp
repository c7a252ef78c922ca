#include "keyfile.h"

#include <openssl/err.h>

#include <cstring>

#include "storage.h"

namespace softcsp::keyfile {
namespace {

using SafeBags = STACK_OF(PKCS12_SAFEBAG);
using AuthSafes = STACK_OF(PKCS7);

void freeBags(SafeBags* b) { sk_PKCS12_SAFEBAG_pop_free(b, PKCS12_SAFEBAG_free); }
void freeSafes(AuthSafes* s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using BagsPtr = std::unique_ptr<SafeBags, OsslFree<freeBags>>;
using SafesPtr = std::unique_ptr<AuthSafes, OsslFree<freeSafes>>;

void freeCerts(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using CertsPtr = std::unique_ptr<STACK_OF(X509), OsslFree<freeCerts>>;
using Pbe2Ptr = std::unique_ptr<PBE2PARAM, OsslFree<PBE2PARAM_free>>;
using Pbkdf2Ptr = std::unique_ptr<PBKDF2PARAM, OsslFree<PBKDF2PARAM_free>>;
using PbePtr = std::unique_ptr<PBEPARAM, OsslFree<PBEPARAM_free>>;
using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OsslFree<PKCS8_PRIV_KEY_INFO_free>>;

// softcsp writes 2048 iterations (OpenSSL's default); anything far beyond
// would make a damaged or planted file stall every PIN check.
constexpr long kMaxIterations = 100000;

bool iterationsWithin(const ASN1_INTEGER* iter) {
  // An absent count means 1.
  if (iter == nullptr) return true;
  const long n = ASN1_INTEGER_get(iter);
  return n > 0 && n <= kMaxIterations;
}

// Whether deriving a key with this password-based algorithm stays cheap:
// PBES2 with PBKDF2, or a PKCS#12 PBE scheme, with a bounded count.
bool costWithin(const X509_ALGOR* alg) {
  if (alg == nullptr || alg->parameter == nullptr) return false;
  if (OBJ_obj2nid(alg->algorithm) != NID_pbes2) {
    PbePtr pbe(static_cast<PBEPARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter)));
    return pbe && iterationsWithin(pbe->iter);
  }
  Pbe2Ptr pbe2(static_cast<PBE2PARAM*>(
      ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter)));
  if (!pbe2 || pbe2->keyfunc == nullptr ||
      OBJ_obj2nid(pbe2->keyfunc->algorithm) != NID_id_pbkdf2 ||
      pbe2->keyfunc->parameter == nullptr)
    return false;
  Pbkdf2Ptr kdf(static_cast<PBKDF2PARAM*>(
      ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)));
  return kdf && iterationsWithin(kdf->iter);
}

// Calls f(bag) for every bag of the unencrypted safes, the ones softcsp
// writes; f returns false to stop. False when the structure is damaged.
template <class F>
bool forEachClearBag(PKCS12* p12, F&& f) {
  SafesPtr safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return false;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    if (OBJ_obj2nid(p7->type) != NID_pkcs7_data) continue;
    BagsPtr bags(PKCS12_unpack_p7data(p7));
    if (!bags) return false;
    for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j)
      if (!f(sk_PKCS12_SAFEBAG_value(bags.get(), j))) return true;
  }
  return true;
}

// Every key derivation the file asks for (MAC, shrouded keys, encrypted
// safes) is bounded.
bool costsWithin(PKCS12* p12) {
  const ASN1_OCTET_STRING* mac = nullptr;
  const X509_ALGOR* macAlg = nullptr;
  const ASN1_OCTET_STRING* salt = nullptr;
  const ASN1_INTEGER* iter = nullptr;
  PKCS12_get0_mac(&mac, &macAlg, &salt, &iter, p12);
  if (mac == nullptr || !iterationsWithin(iter)) return false;
  SafesPtr safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return false;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    if (OBJ_obj2nid(p7->type) == NID_pkcs7_encrypted &&
        (p7->d.encrypted == nullptr || p7->d.encrypted->enc_data == nullptr ||
         !costWithin(p7->d.encrypted->enc_data->algorithm)))
      return false;
  }
  bool within = true;
  const bool parsed = forEachClearBag(p12, [&within](const PKCS12_SAFEBAG* bag) {
    if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag) return true;
    const X509_ALGOR* alg = nullptr;
    X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
    within = costWithin(alg);
    return within;
  });
  return parsed && within;
}

// Whether the SHA-1 of the certificate is the localKeyID stored with it.
bool idMatches(const PKCS12_SAFEBAG* bag, X509* cert) {
  const ASN1_TYPE* id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
  if (id == nullptr || id->type != V_ASN1_OCTET_STRING) return false;
  unsigned char sha[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha1(), sha, &len) != 1) return false;
  const ASN1_OCTET_STRING* want = id->value.octet_string;
  return static_cast<unsigned int>(want->length) == len &&
         std::memcmp(want->data, sha, len) == 0;
}

// Whether the PIN decrypts a shrouded key of the file into a usable key.
bool keyDecrypts(PKCS12* p12, const std::string& pin) {
  bool opened = false;
  forEachClearBag(p12, [&](const PKCS12_SAFEBAG* bag) {
    if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag) return true;
    P8Ptr p8(PKCS12_decrypt_skey(bag, pin.c_str(), static_cast<int>(pin.size())));
    opened = p8 && PkeyPtr(EVP_PKCS82PKEY(p8.get()));
    return false;
  });
  return opened;
}

}  // namespace

DWORD load(const std::string& path, Pkcs12Ptr& out) {
  std::string data;
  const DWORD err = storage::readFile(path, data);
  if (err == ERROR_FILE_NOT_FOUND) return NTE_NO_KEY;
  if (err != 0) return NTE_KEYSET_ENTRY_BAD;
  ensureOpenSsl();
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const auto* end = p + data.size();
  out.reset(d2i_PKCS12(nullptr, &p, static_cast<long>(data.size())));
  // Bytes after the structure mean the file is not what was written.
  if (out && (p != end || !costsWithin(out.get()))) out.reset();
  ERR_clear_error();
  return out ? 0 : NTE_KEYSET_ENTRY_BAD;
}

DWORD certificate(PKCS12* p12, X509Ptr& out) {
  DWORD result = SCARD_E_NO_SUCH_CERTIFICATE;
  // Encrypted safes hold the key; the certificate is stored in clear.
  const bool parsed = forEachClearBag(p12, [&](const PKCS12_SAFEBAG* bag) {
    if (PKCS12_SAFEBAG_get_nid(bag) != NID_certBag) return true;
    X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
    // Outside the MAC a certificate is trusted only when its SHA-1 still
    // matches the one written beside it.
    if (!cert || !idMatches(bag, cert.get())) {
      result = NTE_KEYSET_ENTRY_BAD;
    } else {
      out = std::move(cert);
      result = 0;
    }
    return false;
  });
  ERR_clear_error();
  return parsed ? result : NTE_KEYSET_ENTRY_BAD;
}

bool pinOpens(PKCS12* p12, const std::string& pin) {
  bool ok = PKCS12_verify_mac(p12, pin.c_str(), static_cast<int>(pin.size())) == 1;
  // OpenSSL writes the empty password in two ways; accept either.
  if (!ok && pin.empty()) ok = PKCS12_verify_mac(p12, nullptr, 0) == 1;
  ERR_clear_error();
  return ok;
}

DWORD checkPin(PKCS12* p12, const std::string& pin) {
  if (pinOpens(p12, pin)) return 0;
  const bool damaged = keyDecrypts(p12, pin);
  ERR_clear_error();
  return damaged ? NTE_KEYSET_ENTRY_BAD : SCARD_W_WRONG_CHV;
}

DWORD privateKey(PKCS12* p12, const std::string& pin, PkeyPtr& out) {
  if (DWORD err = checkPin(p12, pin)) return err;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  const int ok = PKCS12_parse(p12, pin.c_str(), &key, &cert, &ca);
  X509Ptr certOwner(cert);
  CertsPtr caOwner(ca);
  out.reset(key);
  ERR_clear_error();
  return ok == 1 && out ? 0 : NTE_KEYSET_ENTRY_BAD;
}

DWORD build(EVP_PKEY* key, X509* cert, const std::string& pin, std::string& der) {
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
