// User keys: handles, the certificate stored with a key, public-key export.
#include "certinfo.h"
#include "errors.h"
#include "handles.h"
#include "keyfile.h"
#include "session.h"

using softcsp::addHandle;
using softcsp::copyOut;
using softcsp::fail;
using softcsp::find;
using softcsp::findSession;
using softcsp::finish;
using softcsp::HandleKind;
using softcsp::KeyKind;
using softcsp::lockApi;
using softcsp::OsslFree;
using softcsp::Pkcs12Ptr;
using softcsp::PkeyPtr;
using softcsp::publicKeyInfoSize;
using softcsp::removeHandle;
using softcsp::Session;
using softcsp::SpkiParts;
using softcsp::splitSpki;
using softcsp::toDer;
using softcsp::writePublicKeyInfo;
using softcsp::X509Ptr;

namespace {

struct KeyObject {
  std::shared_ptr<Session> session;
  DWORD keySpec;
};

DWORD keyCertificate(const KeyObject& key, BYTE* pbData, DWORD* pdwDataLen) {
  X509Ptr cert;
  if (DWORD err = key.session->certificate(key.keySpec, cert)) return err;
  const std::string der = toDer(i2d_X509, cert.get());
  return copyOut(der.data(), der.size(), pbData, pdwDataLen);
}

DWORD exportPublicKeyInfo(HCRYPTPROV hProv, DWORD keySpec, DWORD encoding,
                          PCERT_PUBLIC_KEY_INFO info, DWORD* pcbInfo) {
  const std::shared_ptr<Session> s = findSession(hProv);
  if (!s) return NTE_BAD_UID;
  if (pcbInfo == nullptr) return ERROR_INVALID_PARAMETER;
  if ((encoding & X509_ASN_ENCODING) == 0) return ERROR_FILE_NOT_FOUND;
  PkeyPtr key;
  if (DWORD err = s->publicKey(keySpec, key)) return err;
  X509_PUBKEY* spki = nullptr;
  if (X509_PUBKEY_set(&spki, key.get()) != 1) return NTE_BAD_KEY;
  std::unique_ptr<X509_PUBKEY, OsslFree<X509_PUBKEY_free>> owner(spki);
  SpkiParts parts;
  if (!splitSpki(spki, parts)) return NTE_BAD_KEY;
  const size_t need = publicKeyInfoSize(parts);
  const DWORD offered = *pcbInfo;
  *pcbInfo = static_cast<DWORD>(need);
  if (info == nullptr) return 0;
  if (offered < need) return ERROR_MORE_DATA;
  writePublicKeyInfo(parts, reinterpret_cast<BYTE*>(info));
  return 0;
}

}  // namespace

extern "C" {

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  auto lock = lockApi();
  const std::shared_ptr<Session> s = findSession(hProv);
  if (!s) return fail(NTE_BAD_UID);
  if (phUserKey == nullptr) return fail(ERROR_INVALID_PARAMETER);
  // The key file must exist and parse; its private part is opened only when
  // a signature needs it.
  Pkcs12Ptr p12;
  if (DWORD err = s->openKeyFile(dwKeySpec, p12)) return fail(err);
  *phUserKey =
      addHandle(HandleKind::Key, std::make_shared<KeyObject>(KeyObject{s, dwKeySpec}));
  return TRUE;
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags) {
  auto lock = lockApi();
  const auto key = find<KeyObject>(HandleKind::Key, hKey);
  if (!key) return fail(NTE_BAD_KEY);
  if (pdwDataLen == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
  switch (dwParam) {
    case KP_CERTIFICATE: return finish(keyCertificate(*key, pbData, pdwDataLen));
    case KP_ALGID: {
      const bool rsa = key->session->provider().keyKind == KeyKind::Rsa;
      // GOST providers do not share one public ALG_ID numbering; only RSA
      // answers.
      if (!rsa) return fail(NTE_BAD_TYPE);
      const ALG_ID alg = key->keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
      return finish(copyOut(&alg, sizeof alg, pbData, pdwDataLen));
    }
    case KP_KEYLEN: {
      PkeyPtr pub;
      if (DWORD err = key->session->publicKey(key->keySpec, pub)) return fail(err);
      const DWORD bits = static_cast<DWORD>(EVP_PKEY_get_bits(pub.get()));
      return finish(copyOut(&bits, sizeof bits, pbData, pdwDataLen));
    }
    default: return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
  auto lock = lockApi();
  return removeHandle(HandleKind::Key, hKey) ? TRUE : fail(NTE_BAD_KEY);
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec,
                              DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                              DWORD* pcbInfo) {
  auto lock = lockApi();
  return finish(
      exportPublicKeyInfo(hCryptProv, dwKeySpec, dwCertEncodingType, pInfo, pcbInfo));
}

}  // extern "C"
