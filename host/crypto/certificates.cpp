#include "base64/base64.h"
#include "text/textconv.h"
#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "logging/logger.h"

namespace kelto {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

bool DataSigned::getCertificate(ProviderHandle handle, const std::u16string& containerName,
                                const std::u16string& alias, const std::u16string& password,
                                const std::u16string& storageType, bool useHandleProvider,
                                std::u16string& description, std::u16string& certificate) {
  LOG_DEBUG << u"Start getCertificate...";
  LOG_DEBUG << u"Handle provider: " << handle;
  LOG_DEBUG << u"Container name: " << (containerName.empty() ? u"is empty" : containerName);
  LOG_DEBUG << u"Provider alias: " << (alias.empty() ? u"is empty" : alias);
  LOG_DEBUG << u"Password: " << (password.empty() ? u"is empty" : u"is exist");
  LOG_DEBUG << u"Storage type: "
            << (storageType.empty() ? u"is empty(using CONTAINER)" : storageType);
  LOG_DEBUG << u"Use handle provider: " << (useHandleProvider ? u"yes" : u"no");

  std::vector<std::uint8_t> certificateData;
  std::uint32_t keySpec = 0;
  if (useHandleProvider && !isSession(handle)) {
    description = u"Bad parameter handleProvider in action getCertificate";
    LOG_ERROR << u"getCertificate: " << description;
    return false;
  }
  const bool read = runInSession(
      handle, useHandleProvider, containerName, alias, password, description,
      [&](ProviderHandle session) {
        return readCertificate(session, storageType, certificateData, keySpec, description);
      });
  if (!read) return false;

  certificate = utf8ToWide(encodeBase64(certificateData.data(), certificateData.size()));
  LOG_DEBUG << u"getCertificate success...";
  return true;
}

bool DataSigned::readCertificate(ProviderHandle handle, const std::u16string& storageType,
                                 std::vector<std::uint8_t>& certificateData,
                                 std::uint32_t& keySpec, std::u16string& description) {
  return storageType == u"STORAGE"
             ? getCetificateFromStorage(handle, certificateData, keySpec, description)
             : getCetificateFromContainer(handle, certificateData, keySpec, description);
}

bool DataSigned::getCetificateFromContainer(ProviderHandle handle,
                                            std::vector<std::uint8_t>& certificateData,
                                            std::uint32_t& keySpec,
                                            std::u16string& description) {
  LOG_DEBUG << u"Start CryptGetUserKey...";
  CryptKey key;
  const std::uint32_t spec =
      tryKeySpecs([&](std::uint32_t s) { return CryptGetUserKey(handle, s, key.out()) != FALSE; });
  if (spec == 0) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptGetUserKey: " << description;
    return false;
  }
  keySpec = spec;
  LOG_DEBUG << (spec == AT_SIGNATURE ? u"CryptGetUserKey(AT_SIGNATURE) success..."
                                     : u"CryptGetUserKey(AT_KEYEXCHANGE) success...");

  LOG_DEBUG << u"Start CryptGetKeyParam(size)...";
  DWORD size = 0;
  if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &size, 0)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptGetKeyParam(size): " << description;
    return false;
  }
  LOG_DEBUG << u"CryptGetKeyParam(size) success...";

  std::vector<std::uint8_t> data;
  if (!allocate(data, size)) {
    description = u"Error alloc memory for certificate";
    LOG_ERROR << description;
    return false;
  }
  LOG_DEBUG << u"Start CryptGetKeyParam...";
  if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, data.data(), &size, 0)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptGetKeyParam: " << description;
    return false;
  }
  data.resize(size);
  key.reset();
  LOG_DEBUG << u"CryptGetKeyParam success...";
  certificateData = std::move(data);
  return true;
}

bool DataSigned::getCetificateFromStorage(ProviderHandle handle,
                                          std::vector<std::uint8_t>& certificateData,
                                          std::uint32_t& keySpec,
                                          std::u16string& description) {
  LOG_DEBUG << u"Start CryptExportPublicKeyInfo(size)...";
  DWORD size = 0;
  const DWORD spec = tryKeySpecs([&](std::uint32_t s) {
    return CryptExportPublicKeyInfo(handle, s, kEncoding, nullptr, &size) != FALSE;
  });
  if (spec == 0) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptExportPublicKeyInfo(size): " << description;
    return false;
  }
  LOG_DEBUG << (spec == AT_SIGNATURE
                    ? u"CryptExportPublicKeyInfo(size)(AT_SIGNATURE) success..."
                    : u"CryptExportPublicKeyInfo(size)(AT_KEYEXCHANGE) success...");

  // CERT_PUBLIC_KEY_INFO with its trailing data: keep the structure aligned.
  std::vector<std::uint64_t> infoBuffer;
  try {
    infoBuffer.assign((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  } catch (const std::bad_alloc&) {
    description = u"Error alloc memory for certificate info";
    LOG_ERROR << description;
    return false;
  }
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(infoBuffer.data());
  LOG_DEBUG << u"Start CryptExportPublicKeyInfo...";
  if (!CryptExportPublicKeyInfo(handle, spec, kEncoding, info, &size)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptExportPublicKeyInfo: " << description;
    return false;
  }
  LOG_DEBUG << u"CryptExportPublicKeyInfo success...";

  // No provider handle: the store would release the session when it closes.
  LOG_DEBUG << u"Start CertOpenSystemStore...";
  CertStore store(CertOpenSystemStoreW(0, wideArg(u"MY")));
  if (!store) {
    description = getErrorDescription();
    LOG_ERROR << u"CertOpenSystemStore: " << description;
    return false;
  }
  LOG_DEBUG << u"CertOpenSystemStore success...";

  LOG_DEBUG << u"Start CertFindCertificateInStore...";
  CertContext context(CertFindCertificateInStore(store.get(), kEncoding, 0,
                                                 CERT_FIND_PUBLIC_KEY, info, nullptr));
  if (!context) {
    description = getErrorDescription();
    LOG_ERROR << u"CertFindCertificateInStore: " << description;
    return false;
  }
  LOG_DEBUG << u"CertFindCertificateInStore success...";

  std::vector<std::uint8_t> data;
  if (!allocate(data, context->cbCertEncoded)) {
    description = u"Error alloc memory for certificate";
    LOG_ERROR << description;
    return false;
  }
  std::copy(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded,
            data.begin());
  keySpec = spec;
  certificateData = std::move(data);
  return true;
}

}  // namespace kelto
