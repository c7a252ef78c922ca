// Signed messages: a detached CMS SignedData whose content is hashed as it
// arrives (CryptMsgOpenToEncode, CryptMsgUpdate, CryptMsgGetParam,
// CryptMsgClose).
#include <openssl/err.h>

#include <climits>
#include <cstring>
#include <vector>

#include "certinfo.h"
#include "errors.h"
#include "handles.h"
#include "session.h"

using softcsp::addHandle;
using softcsp::AsnIntegerPtr;
using softcsp::AsnObjectPtr;
using softcsp::AsnTypePtr;
using softcsp::BioPtr;
using softcsp::CmsPtr;
using softcsp::copyOut;
using softcsp::digestOf;
using softcsp::ensureOpenSsl;
using softcsp::fail;
using softcsp::find;
using softcsp::findSession;
using softcsp::finish;
using softcsp::HandleKind;
using softcsp::hashFitsKey;
using softcsp::hashOfOid;
using softcsp::keyKindOf;
using softcsp::lockApi;
using softcsp::notePrivateKeyUse;
using softcsp::removeHandle;
using softcsp::Session;
using softcsp::SpkiParts;
using softcsp::splitSpki;
using softcsp::toDer;
using softcsp::X509AttrPtr;
using softcsp::X509NamePtr;
using softcsp::X509Ptr;

namespace {

// A detached message opened to encode. The content runs through digest BIOs
// into a null sink, so content of any size is hashed in constant memory.
struct MessageObject {
  enum class State { Open, Final, Broken };
  CmsPtr cms;
  BioPtr chain;
  State state = State::Open;
  std::string der;  // the encoded message once final
};

// One CRYPT_ATTRIBUTE (DER values) as an OpenSSL attribute.
DWORD toAttribute(const CRYPT_ATTRIBUTE &in, X509AttrPtr &out) {
  if (in.pszObjId == nullptr || in.cValue == 0 || in.rgValue == nullptr)
    return E_INVALIDARG;
  AsnObjectPtr oid(OBJ_txt2obj(in.pszObjId, 1));
  if (!oid) return E_INVALIDARG;
  out.reset(X509_ATTRIBUTE_new());
  if (!out || X509_ATTRIBUTE_set1_object(out.get(), oid.get()) != 1) return NTE_FAIL;
  for (DWORD i = 0; i < in.cValue; ++i) {
    const CRYPT_ATTR_BLOB &blob = in.rgValue[i];
    const unsigned char *p = blob.pbData;
    AsnTypePtr value(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(blob.cbData)));
    if (!value) return CRYPT_E_ASN1_BADTAG;
    const void *data = value->value.ptr;
    if (value->type == V_ASN1_BOOLEAN)
      data = value->value.boolean ? reinterpret_cast<void *>(1) : nullptr;
    if (X509_ATTRIBUTE_set1_data(out.get(), value->type, data, -1) != 1)
      return NTE_FAIL;
  }
  return 0;
}

// The signer as CMS names it: issuer and serial number from the CERT_INFO,
// with the key's own public half so that OpenSSL accepts the pair. The
// certificate itself need not be at hand.
DWORD signerIdentity(const CERT_INFO &info, EVP_PKEY *key, X509Ptr &out) {
  const unsigned char *p = info.Issuer.pbData;
  X509NamePtr issuer(p != nullptr ? d2i_X509_NAME(nullptr, &p, info.Issuer.cbData)
                                  : nullptr);
  const DWORD serialSize = info.SerialNumber.cbData;
  if (!issuer || serialSize == 0 || serialSize > 0xFFFF ||
      info.SerialNumber.pbData == nullptr)
    return E_INVALIDARG;
  // CryptoAPI keeps the INTEGER's content octets least significant first.
  std::string der(1, '\x02');
  if (serialSize >= 0x80) der += serialSize >= 0x100 ? "\x82" : "\x81";
  if (serialSize >= 0x100) der += static_cast<char>(serialSize >> 8);
  der += static_cast<char>(serialSize & 0xFF);
  for (DWORD i = serialSize; i > 0; --i)
    der += static_cast<char>(info.SerialNumber.pbData[i - 1]);
  p = reinterpret_cast<const unsigned char *>(der.data());
  AsnIntegerPtr serial(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
  if (!serial) return E_INVALIDARG;
  out.reset(X509_new());
  SpkiParts spki;
  if (!out || X509_set_issuer_name(out.get(), issuer.get()) != 1 ||
      X509_set_serialNumber(out.get(), serial.get()) != 1 ||
      X509_set_pubkey(out.get(), key) != 1 ||
      !splitSpki(X509_get_X509_PUBKEY(out.get()), spki))
    return NTE_FAIL;
  // A certificate of another key (a damaged container, say) would give a
  // message that no verifier accepts: refuse it here, with the reason.
  const CRYPT_BIT_BLOB &listed = info.SubjectPublicKeyInfo.PublicKey;
  if (listed.cbData != 0 &&
      (listed.pbData == nullptr ||
       spki.bits != std::string(reinterpret_cast<const char *>(listed.pbData), listed.cbData)))
    return NTE_BAD_KEY;
  return 0;
}

DWORD addCertificates(CMS_ContentInfo *cms, const CMSG_SIGNED_ENCODE_INFO &info) {
  if (info.cCertEncoded != 0 && info.rgCertEncoded == nullptr) return E_INVALIDARG;
  std::vector<X509Ptr> added;
  for (DWORD i = 0; i < info.cCertEncoded; ++i) {
    const CERT_BLOB &blob = info.rgCertEncoded[i];
    const unsigned char *p = blob.pbData;
    X509Ptr cert(p != nullptr ? d2i_X509(nullptr, &p, static_cast<long>(blob.cbData))
                              : nullptr);
    if (!cert) return CRYPT_E_ASN1_BADTAG;
    // OpenSSL refuses a certificate twice; the message needs it once.
    bool listed = false;
    for (const X509Ptr &other : added)
      listed = listed || X509_cmp(cert.get(), other.get()) == 0;
    if (listed) continue;
    if (CMS_add1_cert(cms, cert.get()) != 1) return NTE_FAIL;
    added.push_back(std::move(cert));
  }
  return 0;
}

DWORD openSigned(DWORD encoding, DWORD flags, DWORD type, const void *encodeInfo,
                 LPCSTR innerType, const CMSG_STREAM_INFO *stream,
                 std::shared_ptr<MessageObject> &out) {
  if ((encoding & PKCS_7_ASN_ENCODING) == 0) return E_INVALIDARG;
  if (type != CMSG_SIGNED) return CRYPT_E_INVALID_MSG_TYPE;
  // Detached messages of plain data, built in memory: what signing files needs.
  if (flags != CMSG_DETACHED_FLAG || stream != nullptr) return E_INVALIDARG;
  if (innerType != nullptr && std::strcmp(innerType, szOID_RSA_data) != 0) return E_INVALIDARG;
  const auto *info = static_cast<const CMSG_SIGNED_ENCODE_INFO *>(encodeInfo);
  if (info == nullptr || info->cbSize != sizeof *info || info->cSigners != 1 ||
      info->rgSigners == nullptr || info->cCrlEncoded != 0)
    return E_INVALIDARG;
  const CMSG_SIGNER_ENCODE_INFO &signer = info->rgSigners[0];
  if (signer.cbSize != sizeof signer || signer.pCertInfo == nullptr) return E_INVALIDARG;

  const ALG_ID alg = hashOfOid(signer.HashAlgorithm.pszObjId);
  if (alg == 0) return CRYPT_E_UNKNOWN_ALGO;
  const std::shared_ptr<Session> session = findSession(signer.hCryptProv);
  if (!session) return NTE_BAD_UID;
  EVP_PKEY *key = nullptr;
  // As documented for this structure: no key spec means the exchange key.
  const DWORD keySpec = signer.dwKeySpec != 0 ? signer.dwKeySpec : AT_KEYEXCHANGE;
  if (DWORD err = session->privateKey(keySpec, key)) return err;
  if (!hashFitsKey(alg, keyKindOf(key))) return NTE_BAD_ALGID;
  const EVP_MD *md = digestOf(alg);
  if (md == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  X509Ptr identity;
  if (DWORD err = signerIdentity(*signer.pCertInfo, key, identity)) return err;

  auto msg = std::make_shared<MessageObject>();
  // Nothing is signed before the final update; certificates go in only as
  // the caller lists them, as on Windows.
  const unsigned cmsFlags =
      CMS_BINARY | CMS_PARTIAL | CMS_DETACHED | CMS_NOCERTS | CMS_NOSMIMECAP;
  msg->cms.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, cmsFlags));
  if (!msg->cms) return NTE_FAIL;
  CMS_SignerInfo *si = CMS_add1_signer(msg->cms.get(), identity.get(), key, md, cmsFlags);
  if (si == nullptr) return NTE_FAIL;
  for (DWORD i = 0; i < signer.cAuthAttr; ++i) {
    X509AttrPtr attr;
    if (DWORD err = toAttribute(signer.rgAuthAttr[i], attr)) return err;
    if (CMS_signed_add1_attr(si, attr.get()) != 1) return NTE_FAIL;
  }
  for (DWORD i = 0; i < signer.cUnauthAttr; ++i) {
    X509AttrPtr attr;
    if (DWORD err = toAttribute(signer.rgUnauthAttr[i], attr)) return err;
    if (CMS_unsigned_add1_attr(si, attr.get()) != 1) return NTE_FAIL;
  }
  if (DWORD err = addCertificates(msg->cms.get(), *info)) return err;
  msg->chain.reset(CMS_dataInit(msg->cms.get(), nullptr));
  if (!msg->chain) return NTE_FAIL;
  out = std::move(msg);
  return 0;
}

DWORD updateMessage(MessageObject &msg, const BYTE *data, DWORD size, bool final) {
  if (msg.state != MessageObject::State::Open) return CRYPT_E_MSG_ERROR;
  if (data == nullptr && size != 0) return E_INVALIDARG;
  msg.state = MessageObject::State::Broken;  // until this update has worked
  while (size > 0) {
    const int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (BIO_write(msg.chain.get(), data, piece) != piece) return NTE_FAIL;
    data += piece;
    size -= static_cast<DWORD>(piece);
  }
  if (final) {
    notePrivateKeyUse();
    if (CMS_dataFinal(msg.cms.get(), msg.chain.get()) != 1) return NTE_FAIL;
    msg.der = toDer(i2d_CMS_ContentInfo, msg.cms.get());
    if (msg.der.empty()) return NTE_FAIL;
    // The key and the hashes are not needed any more.
    msg.chain.reset();
    msg.cms.reset();
  }
  msg.state = final ? MessageObject::State::Final : MessageObject::State::Open;
  return 0;
}

std::shared_ptr<MessageObject> findMessage(HCRYPTMSG msg) {
  return find<MessageObject>(HandleKind::Message, reinterpret_cast<ULONG_PTR>(msg));
}

// Every entry point leaves OpenSSL's error queue empty: the errors that
// matter have been turned into CryptoAPI codes.
BOOL finishClean(DWORD code) {
  ERR_clear_error();
  return finish(code);
}

}  // namespace

extern "C" {

HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags,
                               DWORD dwMsgType, const void *pvMsgEncodeInfo,
                               LPSTR pszInnerContentObjID,
                               PCMSG_STREAM_INFO pStreamInfo) {
  auto lock = lockApi();
  ensureOpenSsl();
  std::shared_ptr<MessageObject> msg;
  if (!finishClean(openSigned(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo,
                              pszInnerContentObjID, pStreamInfo, msg)))
    return nullptr;
  return reinterpret_cast<HCRYPTMSG>(addHandle(HandleKind::Message, std::move(msg)));
}

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData,
                    BOOL fFinal) {
  auto lock = lockApi();
  const std::shared_ptr<MessageObject> msg = findMessage(hCryptMsg);
  if (!msg) return fail(E_INVALIDARG);
  return finishClean(updateMessage(*msg, pbData, cbData, fFinal != FALSE));
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex,
                      void *pvData, DWORD *pcbData) {
  (void)dwIndex;  // the content is one item
  auto lock = lockApi();
  const std::shared_ptr<MessageObject> msg = findMessage(hCryptMsg);
  if (!msg || pcbData == nullptr) return fail(E_INVALIDARG);
  if (dwParamType != CMSG_CONTENT_PARAM) return fail(CRYPT_E_INVALID_MSG_TYPE);
  // Reading the message never signs: that happened once, at the final update.
  if (msg->state != MessageObject::State::Final) return fail(CRYPT_E_MSG_ERROR);
  return finish(copyOut(msg->der.data(), msg->der.size(), static_cast<BYTE *>(pvData),
                        pcbData));
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
  if (hCryptMsg == nullptr) return TRUE;
  auto lock = lockApi();
  return removeHandle(HandleKind::Message, reinterpret_cast<ULONG_PTR>(hCryptMsg))
             ? TRUE
             : fail(E_INVALIDARG);
}

}  // extern "C"
