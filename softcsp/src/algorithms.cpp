#include "algorithms.h"

#include <openssl/objects.h>

#include <cstring>

#include "ossl.h"

namespace softcsp {
namespace {

constexpr DWORD kTypeGost2001 = 75;
constexpr DWORD kTypeGost2012 = 80;
constexpr DWORD kTypeGost2012Strong = 81;

constexpr ProviderType kTypes[] = {
    {PROV_RSA_FULL, KeyKind::Rsa, CALG_SHA_256},
    {kTypeGost2001, KeyKind::Gost2001, CALG_GR3411},
    {kTypeGost2012, KeyKind::Gost2012_256, CALG_GR3411_2012_256},
    {kTypeGost2012Strong, KeyKind::Gost2012_512, CALG_GR3411_2012_512},
};

struct NamedProvider {
  const char* name;
  DWORD type;
};

constexpr NamedProvider kProviders[] = {
    {"Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider", kTypeGost2001},
    {"Crypto-Pro GOST R 34.10-2001 KC1 CSP", kTypeGost2001},
    {"Crypto-Pro GOST R 34.10-2001 KC2 CSP", kTypeGost2001},
    {"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider", kTypeGost2012},
    {"Crypto-Pro GOST R 34.10-2012 KC1 CSP", kTypeGost2012},
    {"Crypto-Pro GOST R 34.10-2012 KC2 CSP", kTypeGost2012},
    {"Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider",
     kTypeGost2012Strong},
    {"Crypto-Pro GOST R 34.10-2012 KC1 Strong CSP", kTypeGost2012Strong},
    {"Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP", kTypeGost2012Strong},
    {"Microsoft Strong Cryptographic Provider", PROV_RSA_FULL},
};

const char* const kNames[] = {kProviders[0].name,
                              kProviders[1].name,
                              kProviders[2].name,
                              kProviders[3].name,
                              kProviders[4].name,
                              kProviders[5].name,
                              kProviders[6].name,
                              kProviders[7].name,
                              kProviders[8].name,
                              kProviders[9].name,
                              nullptr};

struct HashInfo {
  ALG_ID alg;
  const char* digestName;  // OpenSSL name
  const char* oids[3];     // hash OID, then signature OIDs that imply it
};

constexpr HashInfo kHashes[] = {
    {CALG_SHA1, "SHA1", {"1.3.14.3.2.26", "1.2.840.113549.1.1.5", nullptr}},
    {CALG_SHA_256,
     "SHA256",
     {"2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", nullptr}},
    {CALG_SHA_384,
     "SHA384",
     {"2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12", nullptr}},
    {CALG_SHA_512,
     "SHA512",
     {"2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13", nullptr}},
    {CALG_GR3411, "md_gost94", {"1.2.643.2.2.9", "1.2.643.2.2.3", nullptr}},
    {CALG_GR3411_2012_256,
     "md_gost12_256",
     {"1.2.643.7.1.1.2.2", "1.2.643.7.1.1.3.2", nullptr}},
    {CALG_GR3411_2012_512,
     "md_gost12_512",
     {"1.2.643.7.1.1.2.3", "1.2.643.7.1.1.3.3", nullptr}},
};

const HashInfo* hashInfo(ALG_ID alg) {
  for (const HashInfo& h : kHashes)
    if (h.alg == alg) return &h;
  return nullptr;
}

const ProviderType* typeInfo(DWORD type) {
  for (const ProviderType& t : kTypes)
    if (t.type == type) return &t;
  return nullptr;
}

bool equalsIgnoringCase(const std::u16string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  // Registered names are matched without regard to case, as Windows does.
  for (size_t i = 0; i < n; ++i) {
    char16_t c = a[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    char d = b[i];
    if (d >= 'A' && d <= 'Z') d = static_cast<char>(d - 'A' + 'a');
    if (c != static_cast<char16_t>(static_cast<unsigned char>(d))) return false;
  }
  return true;
}

}  // namespace

DWORD registeredType(const std::u16string& name, DWORD& type) {
  for (const NamedProvider& p : kProviders)
    if (equalsIgnoringCase(name, p.name)) {
      type = p.type;
      return 0;
    }
  return NTE_KEYSET_NOT_DEF;
}

DWORD findProvider(const std::u16string* name, DWORD type, const ProviderType*& out) {
  const ProviderType* served = nullptr;
  if (name == nullptr) {
    served = typeInfo(type);
    if (served == nullptr) return NTE_PROV_TYPE_NOT_DEF;
  } else {
    DWORD registered = 0;
    if (registeredType(*name, registered) != 0) return NTE_KEYSET_NOT_DEF;
    if (registered != type) return NTE_PROV_TYPE_NO_MATCH;
    served = typeInfo(type);
  }
  // A GOST provider without the engine is a provider that is not installed.
  if (isGost(served->keyKind) && !ensureGost()) return NTE_KEYSET_NOT_DEF;
  out = served;
  return 0;
}

const char* const* providerNames() { return kNames; }

KeyKind keyKindOf(const EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA: return KeyKind::Rsa;
    case NID_id_GostR3410_2001: return KeyKind::Gost2001;
    case NID_id_GostR3410_2012_256: return KeyKind::Gost2012_256;
    case NID_id_GostR3410_2012_512: return KeyKind::Gost2012_512;
    default: return KeyKind::Unknown;
  }
}

bool isGost(KeyKind kind) {
  return kind == KeyKind::Gost2001 || kind == KeyKind::Gost2012_256 ||
         kind == KeyKind::Gost2012_512;
}

bool hashServedBy(ALG_ID alg, const ProviderType& prov) {
  if (prov.keyKind == KeyKind::Rsa)
    return alg == CALG_SHA1 || alg == CALG_SHA_256 || alg == CALG_SHA_384 ||
           alg == CALG_SHA_512;
  return alg == prov.defaultHash;
}

bool hashFitsKey(ALG_ID alg, KeyKind kind) {
  switch (kind) {
    case KeyKind::Rsa:
      return alg == CALG_SHA1 || alg == CALG_SHA_256 || alg == CALG_SHA_384 ||
             alg == CALG_SHA_512;
    case KeyKind::Gost2001: return alg == CALG_GR3411;
    case KeyKind::Gost2012_256: return alg == CALG_GR3411_2012_256;
    case KeyKind::Gost2012_512: return alg == CALG_GR3411_2012_512;
    default: return false;
  }
}

const EVP_MD* digestOf(ALG_ID alg) {
  const HashInfo* h = hashInfo(alg);
  if (h == nullptr) return nullptr;
  ensureOpenSsl();
  if (alg >= CALG_GR3411 && !ensureGost()) return nullptr;
  return EVP_get_digestbyname(h->digestName);
}

ALG_ID hashOfOid(const char* oid) {
  if (oid == nullptr) return 0;
  for (const HashInfo& h : kHashes)
    for (const char* o : h.oids)
      if (o != nullptr && std::strcmp(o, oid) == 0) return h.alg;
  return 0;
}

}  // namespace softcsp
