// Providers served, their key algorithms and hashes, and the OID names of
// those hashes.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "softcsp/wincrypt.h"

namespace softcsp {

enum class KeyKind { Rsa, Gost2001, Gost2012_256, Gost2012_512, Unknown };

// One provider type: every provider name of that type shares its containers.
struct ProviderType {
  DWORD type;
  KeyKind keyKind;
  ALG_ID defaultHash;  // what a self-signed certificate is signed with
};

// Looks a provider up by registered name (null: the one serving `type`).
// Errors: NTE_KEYSET_NOT_DEF for an unknown name or a GOST provider without
// the GOST engine, NTE_PROV_TYPE_NO_MATCH for a name of another type,
// NTE_PROV_TYPE_NOT_DEF for a null name and a type nobody serves.
DWORD findProvider(const std::u16string* name, DWORD type, const ProviderType*& out);

// The type a provider name is registered with, whether or not it can be
// served now; NTE_KEYSET_NOT_DEF for names nobody registered.
DWORD registeredType(const std::u16string& name, DWORD& type);

// Registered names, for the key tool's messages and tests.
const char* const* providerNames();

KeyKind keyKindOf(const EVP_PKEY* key);
bool isGost(KeyKind kind);
// Whether a hash may be used with the provider's type at all.
bool hashServedBy(ALG_ID alg, const ProviderType& prov);
// Whether a key of this kind signs hashes of this algorithm.
bool hashFitsKey(ALG_ID alg, KeyKind kind);
// The OpenSSL digest of a hash ALG_ID, or null.
const EVP_MD* digestOf(ALG_ID alg);
// Maps a hash OID or a signature-algorithm OID to its hash ALG_ID; 0 if none.
ALG_ID hashOfOid(const char* oid);

}  // namespace softcsp
