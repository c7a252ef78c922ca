#include "certinfo.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "timeconv.h"

namespace softcsp {
namespace {

// Never destroyed: the exit handler that empties it (see ossl.cpp) may run
// after the destructors of statics made later than it was registered.
std::unordered_map<const CERT_CONTEXT*, std::unique_ptr<CertObject>>& registry() {
  static auto* r =
      new std::unordered_map<const CERT_CONTEXT*, std::unique_ptr<CertObject>>;
  return *r;
}

size_t alignUp(size_t n) { return (n + alignof(void*) - 1) & ~(alignof(void*) - 1); }

// Content octets of a DER TLV (drops tag and length).
std::string derContent(const std::string& tlv) {
  if (tlv.size() < 2) return {};
  const auto first = static_cast<unsigned char>(tlv[1]);
  const size_t header = first < 0x80 ? 2 : 2 + (first & 0x7F);
  return header <= tlv.size() ? tlv.substr(header) : std::string();
}

std::string paramsDer(const X509_ALGOR* alg) {
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
  if (ptype == V_ASN1_UNDEF) return {};
  AsnTypePtr t(ASN1_TYPE_new());
  if (!t || ASN1_TYPE_set1(t.get(), ptype, pval) != 1) return {};
  return toDer(i2d_ASN1_TYPE, t.get());
}

FILETIME fileTimeOf(const ASN1_TIME* t) {
  tm parts{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &parts) != 1) return FILETIME{0, 0};
  CivilTime c{parts.tm_year + 1900LL,
              parts.tm_mon + 1,
              parts.tm_mday,
              parts.tm_hour,
              parts.tm_min,
              parts.tm_sec,
              0,
              0};
  uint64_t ticks = 0;
  return fileTimeFromCivil(c, ticks) ? toFileTime(ticks) : FILETIME{0, 0};
}

class Filler {
 public:
  explicit Filler(CertObject& obj) : obj_(obj) {}
  BYTE* bytes(std::string data, DWORD& size) {
    size = static_cast<DWORD>(data.size());
    obj_.arena.push_back(std::move(data));
    return reinterpret_cast<BYTE*>(obj_.arena.back().data());
  }
  void blob(std::string data, CRYPT_INTEGER_BLOB& b) {
    b.pbData = bytes(std::move(data), b.cbData);
  }
  LPSTR text(std::string s) {
    obj_.arena.push_back(std::move(s));
    return obj_.arena.back().data();
  }
  void algorithm(const X509_ALGOR* alg, CRYPT_ALGORITHM_IDENTIFIER& out) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    out.pszObjId = text(oidText(obj));
    blob(paramsDer(alg), out.Parameters);
  }
  void bitString(const ASN1_BIT_STRING* bs, CRYPT_BIT_BLOB& out) {
    if (bs == nullptr) return;
    out.pbData = bytes(std::string(reinterpret_cast<const char*>(bs->data),
                                   static_cast<size_t>(bs->length)),
                       out.cbData);
    out.cUnusedBits = (bs->flags & ASN1_STRING_FLAG_BITS_LEFT) ? bs->flags & 7 : 0;
  }

 private:
  CertObject& obj_;
};

bool fillInfo(CertObject& obj) {
  X509* x = obj.x509.get();
  CERT_INFO& info = obj.info;
  Filler fill(obj);
  info.dwVersion = static_cast<DWORD>(X509_get_version(x));
  // CryptoAPI keeps the serial number least significant byte first.
  std::string serial = derContent(toDer(i2d_ASN1_INTEGER, X509_get0_serialNumber(x)));
  std::reverse(serial.begin(), serial.end());
  fill.blob(std::move(serial), info.SerialNumber);
  const X509_ALGOR* sigAlg = nullptr;
  X509_get0_signature(nullptr, &sigAlg, x);
  fill.algorithm(sigAlg, info.SignatureAlgorithm);
  fill.blob(toDer(i2d_X509_NAME, X509_get_issuer_name(x)), info.Issuer);
  fill.blob(toDer(i2d_X509_NAME, X509_get_subject_name(x)), info.Subject);
  info.NotBefore = fileTimeOf(X509_get0_notBefore(x));
  info.NotAfter = fileTimeOf(X509_get0_notAfter(x));

  SpkiParts spki;
  if (!splitSpki(X509_get_X509_PUBKEY(x), spki)) return false;
  CERT_PUBLIC_KEY_INFO& pk = info.SubjectPublicKeyInfo;
  pk.Algorithm.pszObjId = fill.text(spki.oid);
  fill.blob(spki.params, pk.Algorithm.Parameters);
  pk.PublicKey.pbData = fill.bytes(spki.bits, pk.PublicKey.cbData);
  pk.PublicKey.cUnusedBits = spki.unusedBits;

  const ASN1_BIT_STRING* issuerUid = nullptr;
  const ASN1_BIT_STRING* subjectUid = nullptr;
  X509_get0_uids(x, &issuerUid, &subjectUid);
  fill.bitString(issuerUid, info.IssuerUniqueId);
  fill.bitString(subjectUid, info.SubjectUniqueId);

  const int count = X509_get_ext_count(x);
  obj.extensions.resize(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    CERT_EXTENSION& out = obj.extensions[static_cast<size_t>(i)];
    out.pszObjId = fill.text(oidText(X509_EXTENSION_get_object(ext)));
    out.fCritical = X509_EXTENSION_get_critical(ext) ? TRUE : FALSE;
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
    fill.blob(std::string(reinterpret_cast<const char*>(value->data),
                          static_cast<size_t>(value->length)),
              out.Value);
  }
  info.cExtension = static_cast<DWORD>(obj.extensions.size());
  info.rgExtension = obj.extensions.empty() ? nullptr : obj.extensions.data();
  return true;
}

}  // namespace

bool splitSpki(X509_PUBKEY* spki, SpkiParts& out) {
  if (spki == nullptr) return false;
  ASN1_OBJECT* obj = nullptr;
  const unsigned char* bits = nullptr;
  int bitsLen = 0;
  X509_ALGOR* alg = nullptr;
  if (X509_PUBKEY_get0_param(&obj, &bits, &bitsLen, &alg, spki) != 1) return false;
  out.oid = oidText(obj);
  out.params = paramsDer(alg);
  out.bits.assign(reinterpret_cast<const char*>(bits), static_cast<size_t>(bitsLen));
  out.unusedBits = 0;  // keys are whole bytes
  return !out.oid.empty();
}

size_t publicKeyInfoSize(const SpkiParts& parts) {
  return alignUp(sizeof(CERT_PUBLIC_KEY_INFO)) + parts.oid.size() + 1 +
         parts.params.size() + parts.bits.size();
}

void writePublicKeyInfo(const SpkiParts& parts, BYTE* buffer) {
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer);
  BYTE* p = buffer + alignUp(sizeof(CERT_PUBLIC_KEY_INFO));
  *info = CERT_PUBLIC_KEY_INFO{};
  info->Algorithm.pszObjId = reinterpret_cast<LPSTR>(p);
  std::memcpy(p, parts.oid.c_str(), parts.oid.size() + 1);
  p += parts.oid.size() + 1;
  info->Algorithm.Parameters.cbData = static_cast<DWORD>(parts.params.size());
  info->Algorithm.Parameters.pbData = parts.params.empty() ? nullptr : p;
  std::memcpy(p, parts.params.data(), parts.params.size());
  p += parts.params.size();
  info->PublicKey.cbData = static_cast<DWORD>(parts.bits.size());
  info->PublicKey.pbData = p;
  info->PublicKey.cUnusedBits = parts.unusedBits;
  std::memcpy(p, parts.bits.data(), parts.bits.size());
}

DWORD newCertContext(const std::string& der, HCERTSTORE store, size_t storeIndex,
                     PCCERT_CONTEXT& out) {
  ensureOpenSsl();
  auto obj = std::make_unique<CertObject>();
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  obj->x509.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!obj->x509 || !fillInfo(*obj)) {
    ERR_clear_error();
    return CRYPT_E_ASN1_BADTAG;
  }
  obj->der = der;
  obj->storeIndex = storeIndex;
  obj->ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  obj->ctx.pbCertEncoded = reinterpret_cast<BYTE*>(obj->der.data());
  obj->ctx.cbCertEncoded = static_cast<DWORD>(obj->der.size());
  obj->ctx.pCertInfo = &obj->info;
  obj->ctx.hCertStore = store;
  out = &obj->ctx;
  registry().emplace(out, std::move(obj));
  return 0;
}

CertObject* findCert(PCCERT_CONTEXT ctx) {
  const auto it = registry().find(ctx);
  return it == registry().end() ? nullptr : it->second.get();
}

bool freeCert(PCCERT_CONTEXT ctx) {
  const auto it = registry().find(ctx);
  if (it == registry().end()) return false;
  std::unique_ptr<CertObject> obj = std::move(it->second);
  registry().erase(it);
  return true;
}

void freeAllCerts() {
  auto all = std::move(registry());
  registry().clear();
  all.clear();
}

}  // namespace softcsp
