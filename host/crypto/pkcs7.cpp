#include <cstring>
#include <new>

#include "channel/textconv.h"
#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/providers.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace kelto {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
constexpr char kSha1RsaOid[] = "1.2.840.113549.1.1.5";
// The basic structure without the optional CMS members that follow it.
constexpr DWORD kSignParaSize =
    static_cast<DWORD>(offsetof(CRYPT_SIGN_MESSAGE_PARA, dwInnerContentType) + sizeof(DWORD));

}  // namespace

bool DataSigned::signDataPkcs7(ProviderHandle handle, const std::u16string& filePath,
                               const char* hashOid, const std::u16string& storageType,
                               std::vector<std::uint8_t>& signatureData,
                               std::u16string& description) {
  std::vector<std::uint8_t> certificateData;
  std::uint32_t keySpec = 0;
  if (!readCertificate(handle, storageType, certificateData, keySpec, description))
    return false;

  LOG_DEBUG << u"Start CertCreateCertificateContext...";
  CertContext certificate(CertCreateCertificateContext(
      kEncoding, certificateData.data(), static_cast<DWORD>(certificateData.size())));
  if (!certificate) {
    description = getErrorDescription();
    LOG_ERROR << u"CertCreateCertificateContext: " << description;
    return false;
  }
  LOG_DEBUG << u"CertCreateCertificateContext success...";

  // NO_CRYPT_RELEASE: freeing the context must not end the caller's session.
  CERT_KEY_CONTEXT keyContext{};
  keyContext.cbSize = sizeof keyContext;
  keyContext.hCryptProv = handle;
  keyContext.dwKeySpec = keySpec;
  LOG_DEBUG << u"Start CertSetCertificateContextProperty...";
  if (!CertSetCertificateContextProperty(certificate.get(), CERT_KEY_CONTEXT_PROP_ID,
                                         CERT_STORE_NO_CRYPT_RELEASE_FLAG, &keyContext)) {
    description = getErrorDescription();
    LOG_ERROR << u"CertSetCertificateContextProperty: " << description;
    return false;
  }
  LOG_DEBUG << u"CertSetCertificateContextProperty success...";

  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME signingTime;
  SystemTimeToFileTime(&now, &signingTime);

  LOG_DEBUG << u"Start CryptEncodeObject(size)...";
  DWORD timeSize = 0;
  if (!CryptEncodeObject(kEncoding, kSigningTimeOid, &signingTime, nullptr, &timeSize)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptEncodeObject(size): " << description;
    return false;
  }
  LOG_DEBUG << u"CryptEncodeObject(size) success...";
  std::vector<std::uint8_t> encodedTime;
  if (!allocate(encodedTime, timeSize)) {
    description = u"Error alloc memory for CryptEncodeObject";
    LOG_ERROR << description;
    return false;
  }
  LOG_DEBUG << u"Start CryptEncodeObject...";
  if (!CryptEncodeObject(kEncoding, kSigningTimeOid, &signingTime, encodedTime.data(),
                         &timeSize)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptEncodeObject: " << description;
    return false;
  }
  encodedTime.resize(timeSize);
  LOG_DEBUG << u"CryptEncodeObject success...";

  File file(platform::openRegularFile(filePath));
  if (!file) {
    description = u"Error open file data";
    LOG_ERROR << description << u": " << filePath;
    return false;
  }
  // The reported size is only a first guess: files such as those under /proc
  // report 0 and still have content, and a signature over less than the whole
  // file would be a valid-looking lie. The file is read to its end.
  // The message is built in one call whose content length is 32-bit.
  constexpr std::uint64_t kMaxContent = 0xFFFFFFFFu;
  const std::int64_t fileSize = platform::fileSize(file.get());
  if (fileSize > 0 && static_cast<std::uint64_t>(fileSize) > kMaxContent) {
    description = u"Error file data too large";
    LOG_ERROR << description << u": " << filePath;
    return false;
  }
  std::vector<std::uint8_t> content;
  if (fileSize > 0 && !allocate(content, static_cast<std::size_t>(fileSize))) {
    description = u"Error alloc memory for data from file";
    LOG_ERROR << description;
    return false;
  }
  content.resize(0);
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    if (got == 0) break;
    if (content.size() + got > kMaxContent) {
      description = u"Error file data too large";
      LOG_ERROR << description << u": " << filePath;
      return false;
    }
    try {
      content.insert(content.end(), chunk, chunk + got);
    } catch (const std::bad_alloc&) {
      description = u"Error alloc memory for data from file";
      LOG_ERROR << description;
      return false;
    }
  }
  if (std::ferror(file.get())) {
    description = u"Error read file data";
    LOG_ERROR << description << u": " << filePath;
    return false;
  }
  file.reset();

  CRYPT_ATTR_BLOB timeValue{};
  timeValue.cbData = static_cast<DWORD>(encodedTime.size());
  timeValue.pbData = encodedTime.data();
  CRYPT_ATTRIBUTE timeAttribute{};
  timeAttribute.pszObjId = const_cast<LPSTR>(kSigningTimeOid);
  timeAttribute.cValue = 1;
  timeAttribute.rgValue = &timeValue;

  const char* digestOid = hashOid;
  if (!digestOid)
    digestOid = certificate->pCertInfo ? certificate->pCertInfo->SignatureAlgorithm.pszObjId
                                       : kSha1RsaOid;
  LOG_DEBUG << u"Digest algorithm to pkcs#7: " << utf8ToWide(digestOid);

  PCCERT_CONTEXT messageCertificates[] = {certificate.get()};
  CRYPT_SIGN_MESSAGE_PARA para;
  std::memset(&para, 0, sizeof para);
  para.cbSize = kSignParaSize;
  para.dwMsgEncodingType = kEncoding;
  para.pSigningCert = certificate.get();
  para.HashAlgorithm.pszObjId = const_cast<LPSTR>(digestOid);
  para.cMsgCert = 1;
  para.rgpMsgCert = messageCertificates;
  para.cAuthAttr = 1;
  para.rgAuthAttr = &timeAttribute;

  const BYTE* pieces[] = {content.data()};
  DWORD pieceSizes[] = {static_cast<DWORD>(content.size())};
  LOG_DEBUG << u"Start CryptSignMessage(size)...";
  DWORD messageSize = 0;
  if (!CryptSignMessage(&para, TRUE, 1, pieces, pieceSizes, nullptr, &messageSize)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptSignMessage(size): " << description;
    return false;
  }
  LOG_DEBUG << u"CryptSignMessage(size) success...";
  std::vector<std::uint8_t> message;
  LOG_DEBUG << u"Start CryptSignMessage...";
  // A provider may report a size that a fresh signature then exceeds by a
  // byte or two (DER integers); such a message is asked for once more.
  for (int attempt = 0;; ++attempt) {
    if (!allocate(message, messageSize)) {
      description = u"Error alloc memory for data from file";
      LOG_ERROR << description;
      return false;
    }
    if (CryptSignMessage(&para, TRUE, 1, pieces, pieceSizes, message.data(), &messageSize))
      break;
    if (attempt == 0 && GetLastError() == static_cast<DWORD>(ERROR_MORE_DATA) &&
        messageSize > message.size())
      continue;
    description = getErrorDescription();
    LOG_ERROR << u"Start CryptSignMessage: " << description;
    return false;
  }
  message.resize(messageSize);
  LOG_DEBUG << u"CryptSignMessage success...";
  signatureData = std::move(message);
  return true;
}

}  // namespace kelto
