#include "crypto/providers.h"

#include <cstdio>

#include "crypto/cryptoapi.h"
#include "platform/platform.h"
#include "text/textconv.h"

namespace kelto {

const ProviderInfo providerTable[] = {
    {u"Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider",
     u"Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider", 0x4B, 0x801E,
     nullptr},
    {u"Crypto-Pro GOST R 34.10-2001 KC1 CSP", u"Crypto-Pro GOST R 34.10-2001 KC1 CSP",
     0x4B, 0x801E, nullptr},
    {u"Crypto-Pro GOST R 34.10-2001 KC2 CSP", u"Crypto-Pro GOST R 34.10-2001 KC2 CSP",
     0x4B, 0x801E, nullptr},
    {u"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
     u"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider", 0x50, 0x8021,
     nullptr},
    {u"Crypto-Pro GOST R 34.10-2012 KC1 CSP", u"Crypto-Pro GOST R 34.10-2012 KC1 CSP",
     0x50, 0x8021, nullptr},
    {u"Crypto-Pro GOST R 34.10-2012 KC2 CSP", u"Crypto-Pro GOST R 34.10-2012 KC2 CSP",
     0x50, 0x8021, nullptr},
    {u"Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider",
     u"Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider", 0x51, 0x8022,
     nullptr},
    {u"Crypto-Pro GOST R 34.10-2012 KC1 Strong CSP",
     u"Crypto-Pro GOST R 34.10-2012 KC1 Strong CSP", 0x51, 0x8022, nullptr},
    {u"Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP",
     u"Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP", 0x51, 0x8022, nullptr},
    {u"Avest CSP for NBRB", u"Avest CSP for NBRB", 0x19, 0x8028, nullptr},
    {u"Avest CSP", u"Avest CSP", 0x1A4, 0x8028, "1.3.6.1.4.1.12656.1.10"},
    {u"Avest CSP Base", u"Avest CSP Base", 0x1A5, 0x8033, nullptr},
    {u"Avest CSP Bel", u"Avest CSP Bel", 0x1A6, 0x8039, "1.2.112.0.2.0.34.101.31.81"},
    {u"Avest CSP Bel Pro", u"Avest CSP Bel Pro", 0x1A7, 0x8039, nullptr},
    {u"Avest CSP Bign", u"Avest CSP Bign", 0x1A8, 0x8039, nullptr},
    {u"NTCrypto STB 34.101.45 Cryptographic Provider",
     u"NTCrypto STB 34.101.45 Cryptographic Provider", 0x142, 0x8028, nullptr},
    {u"NTCrypto STB 1176.2 Cryptographic Provider",
     u"NTCrypto STB 1176.2 Cryptographic Provider", 0x143, 0x8028, nullptr},
    {u"NTCrypto STB 1176.2pre Cryptographic Provider",
     u"NTCrypto STB 1176.2pre Cryptographic Provider", 0x144, 0x8028, nullptr},
    {u"Microsoft Strong Cryptographic Provider",
     u"Microsoft Strong Cryptographic Provider", 0x1, 0x8004, nullptr},
    {nullptr, nullptr, 0, 0, nullptr},
};

namespace {

const ProviderInfo* find(const std::u16string& alias) {
  for (const ProviderInfo* row = providerTable; row->alias; ++row)
    if (alias == row->alias) return row;
  return nullptr;
}

}  // namespace

const char16_t* getProviderNameByAlias(const std::u16string& alias) {
  const ProviderInfo* row = find(alias);
  return row ? row->name : nullptr;
}

std::uint32_t getProviderTypeByAlias(const std::u16string& alias) {
  const ProviderInfo* row = find(alias);
  return row ? row->type : 0;
}

std::uint32_t getHashAlgByAlias(const std::u16string& alias) {
  const ProviderInfo* row = find(alias);
  return row ? row->hashAlg : 0;
}

const char* getHashOidByAlias(const std::u16string& alias) {
  const ProviderInfo* row = find(alias);
  return row ? row->hashOid : nullptr;
}

std::u16string getErrorDescription() {
  const DWORD code = GetLastError();
  char prefix[256];
  std::snprintf(prefix, sizeof prefix, "Error 0x%X - ", static_cast<unsigned>(code));
  std::u16string description = utf8ToWide(prefix);
  std::u16string text;
  if (kelto::platform::systemErrorText(code, text))
    description += text;
  else
    description += u"unknow error";
  return description;
}

std::uint32_t tryKeySpecs(const std::function<bool(std::uint32_t keySpec)>& attempt) {
  if (attempt(AT_SIGNATURE)) return AT_SIGNATURE;
  const DWORD signatureError = GetLastError();
  if (attempt(AT_KEYEXCHANGE)) return AT_KEYEXCHANGE;
  if (GetLastError() == static_cast<DWORD>(NTE_NO_KEY)) SetLastError(signatureError);
  return 0;
}

}  // namespace kelto
