#include "crypto/DataSigned.h"
#include "crypto/bytes.h"
#include "crypto/cryptoapi.h"
#include "crypto/handles.h"
#include "crypto/piecereader.h"
#include "crypto/providers.h"
#include "crypto/steps.h"
#include "logging/logger.h"
#include "text/textconv.h"

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

  const Step createContext(KELTO_HERE, u"CertCreateCertificateContext");
  CertContext certificate(CertCreateCertificateContext(
      kEncoding, certificateData.data(), static_cast<DWORD>(certificateData.size())));
  if (!certificate) return createContext.failed(description);
  createContext.succeeded();

  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME signingTime;
  SystemTimeToFileTime(&now, &signingTime);

  std::vector<std::uint8_t> encodedTime;
  if (!fetchSized(KELTO_HERE, u"CryptEncodeObject",
                  u"Error alloc memory for CryptEncodeObject", description, encodedTime,
                  [&](BYTE* buffer, DWORD* size) {
                    return CryptEncodeObject(kEncoding, kSigningTimeOid, &signingTime,
                                             buffer, size);
                  }))
    return false;

  // The file is opened before the message: a file that cannot be read must
  // not cost a key unlocked (or a token asking for its PIN) for nothing.
  PieceReader reader;
  if (!reader.open(KELTO_HERE, filePath, description)) return false;

  CRYPT_ATTR_BLOB timeValue{};
  timeValue.cbData = static_cast<DWORD>(encodedTime.size());
  timeValue.pbData = encodedTime.data();
  CRYPT_ATTRIBUTE timeAttribute{};
  timeAttribute.pszObjId = const_cast<LPSTR>(kSigningTimeOid);
  timeAttribute.cValue = 1;
  timeAttribute.rgValue = &timeValue;

  const char* digestOid = hashOid;
  if (!digestOid)
    digestOid = certificate->pCertInfo
                    ? certificate->pCertInfo->SignatureAlgorithm.pszObjId
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

  const Step openMessage(KELTO_HERE, u"CryptMsgOpenToEncode");
  CryptMsg message(CryptMsgOpenToEncode(kEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                        &signedInfo, nullptr, nullptr));
  if (!message) return openMessage.failed(description);
  openMessage.succeeded();

  // The file streams through the message's hash: only one piece is ever held.
  const Step update(KELTO_HERE, u"CryptMsgUpdate");
  LOG_DEBUG << u"File size = " << reader.reportedSize();
  const bool read =
      reader.readAll(KELTO_HERE, filePath, description, update,
                     [&](const std::uint8_t* piece, std::size_t size) {
                       return CryptMsgUpdate(message.get(), piece,
                                             static_cast<DWORD>(size), FALSE) != FALSE;
                     });
  if (!read) return false;
  LOG_DEBUG << u"Read data size = " << reader.total();
  // The end of the file is known only once a read finds nothing more, so the
  // final update that signs carries no bytes of its own.
  if (!CryptMsgUpdate(message.get(), nullptr, 0, TRUE)) return update.failed(description);
  update.succeeded();

  // Reading the message, size or bytes, does not sign again.
  return fetchSized(
      KELTO_HERE, u"CryptMsgGetParam", u"Error alloc memory for data from file",
      description, signatureData, [&](BYTE* buffer, DWORD* size) {
        return CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, buffer, size);
      });
}

}  // namespace kelto
