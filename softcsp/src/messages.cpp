// CryptSignMessage: a DER CMS SignedData with signed attributes.
#include <openssl/err.h>

#include <cstddef>

#include "certinfo.h"
#include "errors.h"
#include "handles.h"
#include "session.h"

using namespace softcsp;

namespace {

constexpr size_t kBasicParaSize =
    offsetof(CRYPT_SIGN_MESSAGE_PARA, dwInnerContentType) + sizeof(DWORD);

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

X509 *x509Of(PCCERT_CONTEXT ctx) {
  CertObject *obj = findCert(ctx);
  return obj != nullptr ? obj->x509.get() : nullptr;
}

DWORD buildMessage(const CRYPT_SIGN_MESSAGE_PARA &para, bool detached,
                   const void *content, size_t size, std::string &der) {
  CertObject *signer = findCert(para.pSigningCert);
  if (signer == nullptr) return E_INVALIDARG;
  if (!signer->hasKeyContext) return CRYPT_E_NO_KEY_PROPERTY;
  const ALG_ID alg = hashOfOid(para.HashAlgorithm.pszObjId);
  if (alg == 0) return CRYPT_E_UNKNOWN_ALGO;
  const std::shared_ptr<Session> session = findSession(signer->keyProv);
  if (!session) return NTE_BAD_UID;
  EVP_PKEY *key = nullptr;
  if (DWORD err = session->privateKey(signer->keySpec, key)) return err;
  if (!hashFitsKey(alg, keyKindOf(key))) return NTE_BAD_ALGID;
  const EVP_MD *md = digestOf(alg);
  if (md == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  if (X509_check_private_key(signer->x509.get(), key) != 1) return NTE_BAD_KEY;

  const unsigned flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0);
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!cms) return NTE_FAIL;
  // Certificates go in only as the caller lists them, as on Windows.
  CMS_SignerInfo *si = CMS_add1_signer(cms.get(), signer->x509.get(), key, md,
                                       flags | CMS_NOCERTS | CMS_NOSMIMECAP);
  if (si == nullptr) return NTE_FAIL;
  for (DWORD i = 0; i < para.cAuthAttr; ++i) {
    X509AttrPtr attr;
    if (DWORD err = toAttribute(para.rgAuthAttr[i], attr)) return err;
    if (CMS_signed_add1_attr(si, attr.get()) != 1) return NTE_FAIL;
  }
  for (DWORD i = 0; i < para.cUnauthAttr; ++i) {
    X509AttrPtr attr;
    if (DWORD err = toAttribute(para.rgUnauthAttr[i], attr)) return err;
    if (CMS_unsigned_add1_attr(si, attr.get()) != 1) return NTE_FAIL;
  }
  for (DWORD i = 0; i < para.cMsgCert; ++i) {
    X509 *cert = x509Of(para.rgpMsgCert[i]);
    if (cert == nullptr) return E_INVALIDARG;
    // OpenSSL refuses a certificate twice; the message needs it once.
    bool listed = false;
    for (DWORD j = 0; j < i && !listed; ++j)
      listed = X509_cmp(cert, x509Of(para.rgpMsgCert[j])) == 0;
    if (!listed && CMS_add1_cert(cms.get(), cert) != 1) return NTE_FAIL;
  }
  BioPtr in(BIO_new_mem_buf(content, static_cast<int>(size)));
  if (!in || CMS_final(cms.get(), in.get(), nullptr, flags) != 1) return NTE_FAIL;
  der = toDer(i2d_CMS_ContentInfo, cms.get());
  return der.empty() ? NTE_FAIL : 0;
}

DWORD signMessage(PCRYPT_SIGN_MESSAGE_PARA para, BOOL detached, DWORD count,
                  const BYTE *pieces[], DWORD sizes[], BYTE *out,
                  DWORD *outLen) {
  if (para == nullptr || outLen == nullptr) return E_INVALIDARG;
  if (para->cbSize < kBasicParaSize) return E_INVALIDARG;
  if ((para->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0) return E_INVALIDARG;
  if (para->cMsgCrl != 0) return E_INVALIDARG;  // no CRLs are kept
  if (count != 0 && (pieces == nullptr || sizes == nullptr)) return E_INVALIDARG;
  for (DWORD i = 0; i < count; ++i)
    if (pieces[i] == nullptr && sizes[i] != 0) return E_INVALIDARG;
  // One piece (the usual case: a whole file) is signed in place; only
  // several pieces are joined, since the content is hashed in one pass.
  std::string joined;
  const void *content = count == 1 ? pieces[0] : nullptr;
  size_t size = count == 1 ? sizes[0] : 0;
  if (count > 1) {
    for (DWORD i = 0; i < count; ++i)
      joined.append(reinterpret_cast<const char *>(pieces[i]), sizes[i]);
    content = joined.data();
    size = joined.size();
  }
  if (size > INT32_MAX) return NTE_BAD_LEN;
  if (content == nullptr) content = "";
  ensureOpenSsl();
  std::string der;
  const DWORD err = buildMessage(*para, detached != FALSE, content, size, der);
  ERR_clear_error();
  if (err != 0) return err;
  return copyOut(der.data(), der.size(), out, outLen);
}

}  // namespace

extern "C" {

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara,
                      BOOL fDetachedSignature, DWORD cToBeSigned,
                      const BYTE *rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE *pbSignedBlob, DWORD *pcbSignedBlob) {
  auto lock = lockApi();
  return finish(signMessage(pSignPara, fDetachedSignature, cToBeSigned,
                            rgpbToBeSigned, rgcbToBeSigned, pbSignedBlob,
                            pcbSignedBlob));
}

}  // extern "C"
