#include <algorithm>
#include <new>

#include "channel/textconv.h"
#include "crypto/DataSigned.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "logging/logger.h"

namespace kelto {

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

  std::string buffer;
  try {
    buffer.resize(std::max<DWORD>(length, 1));
  } catch (const std::bad_alloc&) {
    description = u"Error alloc memory";
    LOG_ERROR << u"getListContainer: " << description;
    CryptReleaseContext(provider, 0);
    return false;
  }

  // The provider rewrites the length on every call, so it is set back to the
  // buffer's size each time; a name longer than the size query promised
  // grows the buffer and is asked for again rather than ending the list.
  DWORD flags = CRYPT_FIRST;
  for (;;) {
    length = static_cast<DWORD>(buffer.size());
    if (!CryptGetProvParam(provider, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(&buffer[0]),
                           &length, flags)) {
      if (GetLastError() != static_cast<DWORD>(ERROR_MORE_DATA) || length <= buffer.size())
        break;
      try {
        buffer.resize(length);
      } catch (const std::bad_alloc&) {
        break;
      }
      continue;
    }
    containers += ansiToWide(std::string(buffer.c_str()));
    containers += u';';
    flags = CRYPT_NEXT;
  }
  if (!containers.empty()) containers.pop_back();

  LOG_DEBUG << u"getListContainer result: " << containers;
  CryptReleaseContext(provider, 0);
  return true;
}

}  // namespace kelto
