// The providers the service knows, by the alias a request names them with.
// Lookups are exact (whole string, case-sensitive) and never fail: an alias
// that is not in the table yields null or 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kelto {

struct ProviderInfo {
  const char16_t* alias;
  const char16_t* name;
  std::uint32_t type;
  std::uint32_t hashAlg;
  const char* hashOid;
};

extern const ProviderInfo providerTable[];

const char16_t* getProviderNameByAlias(const std::u16string& alias);
std::uint32_t getProviderTypeByAlias(const std::u16string& alias);
std::uint32_t getHashAlgByAlias(const std::u16string& alias);
const char* getHashOidByAlias(const std::u16string& alias);

// "Error 0x%X - " with the calling thread's last error, then the system's
// text for it (line break included) or "unknow error". Call right after the
// failing call, before any other system call.
std::u16string getErrorDescription();

// Runs `attempt` for AT_SIGNATURE, then for AT_KEYEXCHANGE, as every
// operation that needs a key does; returns the key spec (AT_*) that
// answered, or 0. When neither did and the container has no exchange key,
// the last error is put back to the signature key's: that one tells what is
// wrong (a wrong PIN, a damaged key), not "key does not exist".
std::uint32_t tryKeySpecs(const std::function<bool(std::uint32_t keySpec)>& attempt);

}  // namespace kelto
