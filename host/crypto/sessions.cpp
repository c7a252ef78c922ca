#include <cstring>
#include <type_traits>

#include "crypto/DataSigned.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "crypto/steps.h"
#include "logging/logger.h"
#include "platform/platform.h"
#include "text/textconv.h"

static_assert(std::is_same_v<HCRYPTPROV, kelto::ProviderHandle>,
              "the service's handle type must be CryptoAPI's");

namespace kelto {

namespace {

const char16_t* orEmpty(const std::u16string& text,
                        const char16_t* whenEmpty = u"is empty") {
  return text.empty() ? whenEmpty : text.c_str();
}

// A PIN must not outlive its use in a heap block that may be reused.
void wipe(std::string& secret) {
  volatile char* p = secret.empty() ? nullptr : &secret[0];
  for (std::size_t i = 0; i < secret.size(); ++i) p[i] = 0;
}

}  // namespace

bool DataSigned::openProvider(const std::u16string& containerName,
                              const std::u16string& alias, const std::u16string& password,
                              std::u16string& description, ProviderHandle& handle) {
  LOG_DEBUG << u"Start openProvider...";
  LOG_DEBUG << u"Container name: " << orEmpty(containerName);
  LOG_DEBUG << u"Provider alias: " << orEmpty(alias);
  LOG_DEBUG << u"Password: " << (password.empty() ? u"is empty" : u"is exist");

  const char16_t* providerName = getProviderNameByAlias(alias);
  if (!providerName)
    return refused(KELTO_HERE, u"openProvider",
                   u"Bad parameter providerName in action openCryptoProvider",
                   description);
  LOG_DEBUG << u"Provider name: " << providerName;
  // The system would read the name only up to a U+0000 and open the
  // container that the part before it names: no container has such a name.
  if (containerName.find(u'\0') != std::u16string::npos) {
    SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
    return refused(KELTO_HERE, u"openProvider", getErrorDescription(), description);
  }
  std::string pin = platform::wideToAnsi(password);
  const std::uint32_t type = getProviderTypeByAlias(alias);
  LOG_DEBUG << u"Provider type: " << type;

  const bool opened = openCryptoProvider(
      handle, containerName.empty() ? nullptr : containerName.c_str(), providerName, type,
      password.empty() ? nullptr : pin.c_str(), description);
  wipe(pin);
  if (!opened) return false;
  LOG_DEBUG << u"Handle provider: " << handle;
  LOG_DEBUG << u"openProvider success...";
  return true;
}

bool DataSigned::openCryptoProvider(ProviderHandle& handle, const char16_t* containerName,
                                    const char16_t* providerName,
                                    std::uint32_t providerType, const char* pin,
                                    std::u16string& description) {
  const Step acquire(KELTO_HERE, u"CryptAcquireContext");
  CryptProvider provider;
  // CRYPT_SILENT keeps the provider from asking the user for the PIN itself.
  if (!CryptAcquireContextW(provider.out(), wideArg(containerName), wideArg(providerName),
                            providerType, pin ? CRYPT_SILENT : 0))
    return acquire.failed(description);
  acquire.succeeded();

  if (pin) {
    const BYTE* pinBytes = reinterpret_cast<const BYTE*>(pin);
    // The container may hold only an exchange key: the PIN is tried for that
    // one too.
    const std::uint32_t spec = tryKeySpecs([&](std::uint32_t keySpec) {
      if (keySpec == AT_SIGNATURE) {
        LOG_DEBUG << u"Start CryptSetProvParam(PP_SIGNATURE_PIN)...";
        return CryptSetProvParam(provider.get(), PP_SIGNATURE_PIN, pinBytes, 0) != FALSE;
      }
      LOG_DEBUG << u"CryptSetProvParam(PP_SIGNATURE_PIN): " << getErrorDescription();
      LOG_DEBUG << u"Start CryptSetProvParam(PP_KEYEXCHANGE_PIN)...";
      return CryptSetProvParam(provider.get(), PP_KEYEXCHANGE_PIN, pinBytes, 0) != FALSE;
    });
    if (spec == 0)
      return refused(KELTO_HERE, u"CryptSetProvParam(PP_KEYEXCHANGE_PIN)",
                     getErrorDescription(), description);
    LOG_DEBUG << (spec == AT_SIGNATURE
                      ? u"CryptSetProvParam(PP_SIGNATURE_PIN) success..."
                      : u"CryptSetProvParam(PP_KEYEXCHANGE_PIN) success...");
  }
  handle = provider.release();
  return true;
}

bool DataSigned::runInSession(ProviderHandle handle, bool useHandleProvider,
                              const std::u16string& containerName,
                              const std::u16string& alias, const std::u16string& password,
                              std::u16string& description,
                              const std::function<bool(ProviderHandle)>& work) {
  if (useHandleProvider) return work(handle);
  ProviderHandle session = 0;
  if (!openProvider(containerName, alias, password, description, session)) return false;
  const bool ok = work(session);
  std::u16string ignored;  // the work's outcome stands, whatever closing says
  closeProvider(session, ignored);
  return ok;
}

bool DataSigned::closeProvider(ProviderHandle handle, std::u16string& description) {
  LOG_DEBUG << u"Start closeProvider...";
  LOG_DEBUG << u"Handle provider: " << handle;
  const Step release(KELTO_HERE, u"CryptReleaseContext");
  if (!CryptReleaseContext(handle, 0)) return release.failed(description);
  release.succeeded();
  LOG_DEBUG << u"closeProvider success...";
  return true;
}

}  // namespace kelto
