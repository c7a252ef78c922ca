#include <algorithm>
#include <new>

#include "text/textconv.h"
#include "crypto/DataSigned.h"
#include "crypto/cryptoapi.h"
#include "crypto/enumeration.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "logging/logger.h"
#include "platform/platform.h"

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

bool DataSigned::getListContainer(const std::u16string& alias, std::u16string& description,
                                  std::u16string& containers) {
  LOG_DEBUG << u"Start getListContainer...";
  LOG_DEBUG << u"Provider alias: " << (alias.empty() ? u"is empty" : alias.c_str());

  const char16_t* providerName = getProviderNameByAlias(alias);
  if (!providerName) {
    description = u"Bad parameter providerName in action getListContainer";
    LOG_ERROR << u"getListContainer: " << description;
    return false;
  }
  LOG_DEBUG << u"Provider name: " << providerName;
  const std::uint32_t type = getProviderTypeByAlias(alias);
  LOG_DEBUG << u"Provider type: " << type;

  LOG_DEBUG << u"Start CryptAcquireContext...";
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, wideArg(providerName), type,
                            CRYPT_VERIFYCONTEXT)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptAcquireContext: " << description;
    return false;
  }
  LOG_DEBUG << u"CryptAcquireContext success...";

  LOG_DEBUG << u"Start CryptGetProvParam...";
  DWORD length = 0;
  if (!CryptGetProvParam(provider, PP_ENUMCONTAINERS, nullptr, &length, CRYPT_FIRST)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptGetProvParam(PP_ENUMCONTAINERS)(size): " << description;
    CryptReleaseContext(provider, 0);
    return false;
  }
  LOG_DEBUG << u"CryptGetProvParam(PP_ENUMCONTAINERS)(size) success...";

  try {
    containers += enumerateContainers(
        length, [provider](std::uint8_t* buffer, std::uint32_t& size, bool first,
                           std::uint32_t& error) {
          DWORD inOut = size;
          if (CryptGetProvParam(provider, PP_ENUMCONTAINERS, buffer, &inOut,
                                first ? CRYPT_FIRST : CRYPT_NEXT)) {
            size = inOut;
            return true;
          }
          error = GetLastError();
          size = inOut;
          return false;
        });
  } catch (const std::bad_alloc&) {
    description = u"Error alloc memory";
    LOG_ERROR << u"getListContainer: " << description;
    CryptReleaseContext(provider, 0);
    return false;
  }

  LOG_DEBUG << u"getListContainer result: " << containers;
  CryptReleaseContext(provider, 0);
  return true;
}

}  // namespace kelto
