#include <algorithm>
#include <new>

#include "crypto/DataSigned.h"
#include "crypto/cryptoapi.h"
#include "crypto/enumeration.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "crypto/steps.h"
#include "logging/logger.h"
#include "platform/platform.h"
#include "text/textconv.h"

namespace kelto {

std::u16string enumerateContainers(std::uint32_t bufferSize,
                                   const EnumerateContainer& enumerate) {
  std::string buffer(std::max<std::uint32_t>(bufferSize, 1), '\0');
  std::u16string names;
  bool first = true;
  for (;;) {
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    std::uint32_t error = 0;
    if (!enumerate(reinterpret_cast<std::uint8_t*>(&buffer[0]), length, first, error)) {
      if (error != static_cast<std::uint32_t>(ERROR_MORE_DATA) || length <= buffer.size())
        break;
      buffer.assign(length, '\0');
      continue;
    }
    names += platform::ansiToWide(std::string(buffer.c_str()));
    names += u';';
    first = false;
  }
  if (!names.empty()) names.pop_back();
  return names;
}

bool DataSigned::getListContainer(const std::u16string& alias,
                                  std::u16string& description,
                                  std::u16string& containers) {
  LOG_DEBUG << u"Start getListContainer...";
  LOG_DEBUG << u"Provider alias: " << (alias.empty() ? u"is empty" : alias.c_str());

  const char16_t* providerName = getProviderNameByAlias(alias);
  if (!providerName)
    return refused(KELTO_HERE, u"getListContainer",
                   u"Bad parameter providerName in action getListContainer", description);
  LOG_DEBUG << u"Provider name: " << providerName;
  const std::uint32_t type = getProviderTypeByAlias(alias);
  LOG_DEBUG << u"Provider type: " << type;

  const Step acquire(KELTO_HERE, u"CryptAcquireContext");
  CryptProvider provider;
  if (!CryptAcquireContextW(provider.out(), nullptr, wideArg(providerName), type,
                            CRYPT_VERIFYCONTEXT))
    return acquire.failed(description);
  acquire.succeeded();

  // The size query starts the enumeration and gives the longest name's size.
  const Step sizing(KELTO_HERE, u"CryptGetProvParam(PP_ENUMCONTAINERS)(size)",
                    u"CryptGetProvParam");
  DWORD length = 0;
  if (!CryptGetProvParam(provider.get(), PP_ENUMCONTAINERS, nullptr, &length,
                         CRYPT_FIRST))
    return sizing.failed(description);
  sizing.succeeded();

  try {
    containers += enumerateContainers(length, [&provider](std::uint8_t* buffer,
                                                          std::uint32_t& size, bool first,
                                                          std::uint32_t& error) {
      DWORD inOut = size;
      const bool ok = CryptGetProvParam(provider.get(), PP_ENUMCONTAINERS, buffer, &inOut,
                                        first ? CRYPT_FIRST : CRYPT_NEXT) != FALSE;
      if (!ok) error = GetLastError();
      size = inOut;
      return ok;
    });
  } catch (const std::bad_alloc&) {
    return refused(KELTO_HERE, u"getListContainer", u"Error alloc memory", description);
  }

  LOG_DEBUG << u"getListContainer result: " << containers;
  return true;
}

}  // namespace kelto
