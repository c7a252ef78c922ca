#include "base64/base64.h"
#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "crypto/steps.h"
#include "logging/logger.h"
#include "text/textconv.h"

namespace kelto {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

bool DataSigned::getCertificate(ProviderHandle handle,
                                const std::u16string& containerName,
                                const std::u16string& alias,
                                const std::u16string& password,
                                const std::u16string& storageType, bool useHandleProvider,
                                std::u16string& description,
                                std::u16string& certificate) {
  LOG_DEBUG << u"Start getCertificate...";
  recordKeyParameters(KELTO_HERE, handle, containerName, alias, password);
  LOG_DEBUG << u"Storage type: "
            << (storageType.empty() ? u"is empty(using CONTAINER)" : storageType);
  LOG_DEBUG << u"Use handle provider: " << (useHandleProvider ? u"yes" : u"no");

  std::vector<std::uint8_t> certificateData;
  std::uint32_t keySpec = 0;
  if (useHandleProvider && !isSession(handle))
    return refused(KELTO_HERE, u"getCertificate",
                   u"Bad parameter handleProvider in action getCertificate", description);
  const bool read =
      runInSession(handle, useHandleProvider, containerName, alias, password, description,
                   [&](ProviderHandle session) {
                     return readCertificate(session, storageType, certificateData,
                                            keySpec, description);
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
  const Step userKey(KELTO_HERE, u"CryptGetUserKey");
  CryptKey key;
  const std::uint32_t spec = tryKeySpecs(
      [&](std::uint32_t s) { return CryptGetUserKey(handle, s, key.out()) != FALSE; });
  if (spec == 0) return userKey.failed(description);
  userKey.succeeded(spec == AT_SIGNATURE ? u"CryptGetUserKey(AT_SIGNATURE) success..."
                                         : u"CryptGetUserKey(AT_KEYEXCHANGE) success...");

  if (!fetchSized(KELTO_HERE, u"CryptGetKeyParam", u"Error alloc memory for certificate",
                  description, certificateData, [&](BYTE* buffer, DWORD* size) {
                    return CryptGetKeyParam(key.get(), KP_CERTIFICATE, buffer, size, 0);
                  }))
    return false;
  keySpec = spec;
  return true;
}

bool DataSigned::getCetificateFromStorage(ProviderHandle handle,
                                          std::vector<std::uint8_t>& certificateData,
                                          std::uint32_t& keySpec,
                                          std::u16string& description) {
  // The size query picks the key: the one that answers is the one searched for.
  const Step sizing(KELTO_HERE, u"CryptExportPublicKeyInfo(size)");
  DWORD size = 0;
  const DWORD spec = tryKeySpecs([&](std::uint32_t s) {
    return CryptExportPublicKeyInfo(handle, s, kEncoding, nullptr, &size) != FALSE;
  });
  if (spec == 0) return sizing.failed(description);
  sizing.succeeded(spec == AT_SIGNATURE
                       ? u"CryptExportPublicKeyInfo(size)(AT_SIGNATURE) success..."
                       : u"CryptExportPublicKeyInfo(size)(AT_KEYEXCHANGE) success...");

  // A CERT_PUBLIC_KEY_INFO with its trailing data; the allocator's blocks are
  // aligned for any structure.
  std::vector<std::uint8_t> infoBuffer;
  if (!allocate(infoBuffer, size))
    return refused(KELTO_HERE, {}, u"Error alloc memory for certificate info",
                   description);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(infoBuffer.data());
  const Step exportKey(KELTO_HERE, u"CryptExportPublicKeyInfo");
  if (!CryptExportPublicKeyInfo(handle, spec, kEncoding, info, &size))
    return exportKey.failed(description);
  exportKey.succeeded();

  // No provider handle: the store would release the session when it closes.
  const Step openStore(KELTO_HERE, u"CertOpenSystemStore");
  CertStore store(CertOpenSystemStoreW(0, wideArg(u"MY")));
  if (!store) return openStore.failed(description);
  openStore.succeeded();

  const Step find(KELTO_HERE, u"CertFindCertificateInStore");
  CertContext context(CertFindCertificateInStore(store.get(), kEncoding, 0,
                                                 CERT_FIND_PUBLIC_KEY, info, nullptr));
  if (!context) return find.failed(description);
  find.succeeded();

  std::vector<std::uint8_t> data;
  if (!allocate(data, context->cbCertEncoded))
    return refused(KELTO_HERE, {}, u"Error alloc memory for certificate", description);
  std::copy(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded,
            data.begin());
  keySpec = spec;
  certificateData = std::move(data);
  return true;
}

}  // namespace kelto
