#include "text/textconv.h"
#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/piecereader.h"
#include "crypto/providers.h"
#include "logging/logger.h"

namespace kelto {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
constexpr char kSha1RsaOid[] = "1.2.840.113549.1.1.5";

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

  // The file is opened before the message: a file that cannot be read must
  // not cost a key unlocked (or a token asking for its PIN) for nothing.
  PieceReader reader;
  const PieceReader::Result opened = reader.open(filePath);
  if (opened != PieceReader::Ok) {
    description = PieceReader::describe(opened);
    LOG_ERROR << description << u": " << filePath;
    return false;
  }

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

  // The signer: the session's key that answered for the certificate, named
  // in the message by the certificate's issuer and serial number.
  CMSG_SIGNER_ENCODE_INFO signer{};
  signer.cbSize = sizeof signer;
  signer.pCertInfo = certificate->pCertInfo;
  signer.hCryptProv = handle;
  signer.dwKeySpec = keySpec;
  signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(digestOid);
  signer.cAuthAttr = 1;
  signer.rgAuthAttr = &timeAttribute;
  CERT_BLOB certificateBlob{};
  certificateBlob.cbData = certificate->cbCertEncoded;
  certificateBlob.pbData = certificate->pbCertEncoded;
  CMSG_SIGNED_ENCODE_INFO signedInfo{};
  signedInfo.cbSize = sizeof signedInfo;
  signedInfo.cSigners = 1;
  signedInfo.rgSigners = &signer;
  signedInfo.cCertEncoded = 1;
  signedInfo.rgCertEncoded = &certificateBlob;

  LOG_DEBUG << u"Start CryptMsgOpenToEncode...";
  CryptMsg message(CryptMsgOpenToEncode(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                        &signedInfo, nullptr, nullptr));
  if (!message) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptMsgOpenToEncode: " << description;
    return false;
  }
  LOG_DEBUG << u"CryptMsgOpenToEncode success...";

  // The file streams through the message's hash: only one piece is ever held.
  LOG_DEBUG << u"Start CryptMsgUpdate...";
  LOG_DEBUG << u"File size = " << reader.reportedSize();
  const PieceReader::Result read =
      reader.readAll([&](const std::uint8_t* piece, std::size_t size) {
        if (CryptMsgUpdate(message.get(), piece, static_cast<DWORD>(size), FALSE))
          return true;
        description = getErrorDescription();
        return false;
      });
  if (read == PieceReader::Stopped) {
    LOG_ERROR << u"CryptMsgUpdate: " << description;
    return false;
  }
  if (read != PieceReader::Ok) {
    description = PieceReader::describe(read);
    LOG_ERROR << description << u": " << filePath;
    return false;
  }
  LOG_DEBUG << u"Read data size = " << reader.total();
  // The end of the file is known only once a read finds nothing more, so the
  // final update that signs carries no bytes of its own.
  if (!CryptMsgUpdate(message.get(), nullptr, 0, TRUE)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptMsgUpdate: " << description;
    return false;
  }
  LOG_DEBUG << u"CryptMsgUpdate success...";

  // Reading the message, size or bytes, does not sign again.
  LOG_DEBUG << u"Start CryptMsgGetParam(size)...";
  DWORD messageSize = 0;
  if (!CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, nullptr, &messageSize)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptMsgGetParam(size): " << description;
    return false;
  }
  LOG_DEBUG << u"CryptMsgGetParam(size) success...";
  std::vector<std::uint8_t> encoded;
  if (!allocate(encoded, messageSize)) {
    description = u"Error alloc memory for data from file";
    LOG_ERROR << description;
    return false;
  }
  LOG_DEBUG << u"Start CryptMsgGetParam...";
  if (!CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, encoded.data(),
                        &messageSize)) {
    description = getErrorDescription();
    LOG_ERROR << u"CryptMsgGetParam: " << description;
    return false;
  }
  encoded.resize(messageSize);
  LOG_DEBUG << u"CryptMsgGetParam success...";
  signatureData = std::move(encoded);
  return true;
}

}  // namespace kelto
