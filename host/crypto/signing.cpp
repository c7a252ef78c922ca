#include "base64/base64.h"
#include "crypto/DataSigned.h"
#include "crypto/providers.h"
#include "crypto/steps.h"
#include "logging/logger.h"
#include "text/textconv.h"

namespace kelto {

bool DataSigned::signData(ProviderHandle handle, const std::u16string& containerName,
                          const std::u16string& alias, const std::u16string& password,
                          const std::u16string& filePath,
                          const std::u16string& signatureType,
                          const std::u16string& storageType, bool useHandleProvider,
                          std::u16string& description, std::u16string& signature) {
  LOG_DEBUG << u"Start signData...";
  recordKeyParameters(KELTO_HERE, handle, containerName, alias, password);
  LOG_DEBUG << u"File data: " << (filePath.empty() ? u"is empty" : filePath);
  LOG_DEBUG << u"Signature type: "
            << (signatureType.empty() ? u"is empty(using RAW)" : signatureType);
  LOG_DEBUG << u"Storage type: "
            << (storageType.empty() ? u"is empty(using CONTAINER)" : storageType);
  LOG_DEBUG << u"Use handle provider: " << (useHandleProvider ? u"yes" : u"no");

  if (filePath.empty())
    return refused(KELTO_HERE, u"signData",
                   u"Bad parameter fileData in action getSignature", description);
  if (useHandleProvider && !isSession(handle))
    return refused(KELTO_HERE, u"signData",
                   u"Bad parameter handleProvider in action getSignature", description);

  const char* hashOid = getHashOidByAlias(alias);
  LOG_DEBUG << u"Provider hash algIdStr: " << (hashOid ? hashOid : "not found");
  const std::uint32_t hashAlg = getHashAlgByAlias(alias);
  LOG_DEBUG << u"Provider hash algId: " << hashAlg;

  const bool pkcs7 = signatureType == u"PKCS#7";
  std::vector<std::uint8_t> signatureData;
  const bool ok = runInSession(
      handle, useHandleProvider, containerName, alias, password, description,
      [&](ProviderHandle session) {
        return pkcs7
                   ? signDataPkcs7(session, filePath, hashOid, storageType, signatureData,
                                   description)
                   : signDataRaw(session, filePath, hashAlg, signatureData, description);
      });
  if (!ok) return false;

  signature = utf8ToWide(encodeBase64(signatureData.data(), signatureData.size()));
  LOG_DEBUG << u"signData success...";
  return true;
}

}  // namespace kelto
