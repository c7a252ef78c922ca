// System certificate stores ("MY", ...) and certificate contexts.
#include <openssl/err.h>
#include <openssl/sha.h>

#include <cstring>

#include "certfiles.h"
#include "certinfo.h"
#include "errors.h"
#include "handles.h"
#include "text.h"

using softcsp::addHandle;
using softcsp::CertObject;
using softcsp::fail;
using softcsp::find;
using softcsp::findCert;
using softcsp::freeCert;
using softcsp::HandleKind;
using softcsp::lockApi;
using softcsp::newCertContext;
using softcsp::removeHandle;
using softcsp::utf16ToUtf8;
namespace certfiles = softcsp::certfiles;

namespace {

// A store is read when opened: later changes on disk are not seen, as with a
// snapshot, and a damaged file is skipped instead of hiding the others.
struct StoreObject {
  std::vector<std::string> certificates;
};

HCERTSTORE toStoreHandle(ULONG_PTR h) { return reinterpret_cast<HCERTSTORE>(h); }
ULONG_PTR fromStoreHandle(HCERTSTORE h) { return reinterpret_cast<ULONG_PTR>(h); }

std::shared_ptr<StoreObject> findStore(HCERTSTORE h) {
  return find<StoreObject>(HandleKind::Store, fromStoreHandle(h));
}

std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool matches(const CertObject& cert, DWORD findType, const void* para) {
  switch (findType) {
    case CERT_FIND_ANY: return true;
    case CERT_FIND_PUBLIC_KEY: {
      // As CertComparePublicKeyInfo: the key bits decide, not the way the
      // algorithm parameters happen to be written.
      const auto* want = static_cast<const CERT_PUBLIC_KEY_INFO*>(para);
      const CRYPT_BIT_BLOB& have = cert.info.SubjectPublicKeyInfo.PublicKey;
      return want->PublicKey.cbData == have.cbData &&
             (have.cbData == 0 ||
              std::memcmp(want->PublicKey.pbData, have.pbData, have.cbData) == 0);
    }
    case CERT_FIND_SHA1_HASH: {
      const auto* want = static_cast<const CRYPT_HASH_BLOB*>(para);
      unsigned char sha[SHA_DIGEST_LENGTH];
      SHA1(reinterpret_cast<const unsigned char*>(cert.der.data()), cert.der.size(), sha);
      return want->cbData == sizeof sha &&
             std::memcmp(want->pbData, sha, sizeof sha) == 0;
    }
    default: return false;
  }
}

PCCERT_CONTEXT findInStore(HCERTSTORE hStore, DWORD findType, const void* para,
                           PCCERT_CONTEXT prev, DWORD& err) {
  size_t start = 0;
  if (prev != nullptr) {
    CertObject* p = findCert(prev);
    if (p == nullptr) {
      err = E_INVALIDARG;
      return nullptr;
    }
    const bool sameStore = prev->hCertStore == hStore;
    start = p->storeIndex + 1;
    // The previous context is always released, as Windows does, even when
    // the call fails.
    freeCert(prev);
    if (!sameStore) {
      err = E_INVALIDARG;
      return nullptr;
    }
  }
  const std::shared_ptr<StoreObject> store = findStore(hStore);
  if (!store) {
    err = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (findType != CERT_FIND_ANY && findType != CERT_FIND_PUBLIC_KEY &&
      findType != CERT_FIND_SHA1_HASH) {
    err = E_INVALIDARG;
    return nullptr;
  }
  if (findType != CERT_FIND_ANY && para == nullptr) {
    err = E_INVALIDARG;
    return nullptr;
  }
  for (size_t i = start; i < store->certificates.size(); ++i) {
    PCCERT_CONTEXT ctx = nullptr;
    if (newCertContext(store->certificates[i], hStore, i, ctx) != 0) continue;
    if (matches(*findCert(ctx), findType, para)) return ctx;
    freeCert(ctx);
  }
  err = CRYPT_E_NOT_FOUND;
  return nullptr;
}

}  // namespace

extern "C" {

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR name) {
  (void)hProv;  // as on current Windows: unused, and never released
  auto lock = lockApi();
  std::string storeName;
  if (name == nullptr || *name == 0 || !utf16ToUtf8(name, storeName)) {
    fail(E_INVALIDARG);
    return nullptr;
  }
  auto store = std::make_shared<StoreObject>();
  // Store names are case-insensitive on Windows.
  for (certfiles::Entry& e : certfiles::read(upperAscii(storeName)))
    if (e.damage.empty()) store->certificates.push_back(std::move(e.der));
  return toStoreHandle(addHandle(HandleKind::Store, store));
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  (void)dwFlags;  // contexts own their data, so nothing is left to force
  auto lock = lockApi();
  if (hCertStore == nullptr) return TRUE;
  return removeHandle(HandleKind::Store, fromStoreHandle(hCertStore))
             ? TRUE
             : fail(ERROR_INVALID_HANDLE);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CONTEXT pPrevCertContext) {
  (void)dwCertEncodingType;
  (void)dwFindFlags;
  auto lock = lockApi();
  DWORD err = 0;
  PCCERT_CONTEXT found =
      findInStore(hCertStore, dwFindType, pvFindPara, pPrevCertContext, err);
  if (found == nullptr) fail(err);
  return found;
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType,
                                            const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  auto lock = lockApi();
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
    fail(E_INVALIDARG);
    return nullptr;
  }
  if (pbCertEncoded == nullptr || cbCertEncoded == 0) {
    fail(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  PCCERT_CONTEXT ctx = nullptr;
  const std::string der(reinterpret_cast<const char*>(pbCertEncoded), cbCertEncoded);
  if (DWORD err = newCertContext(der, nullptr, 0, ctx)) {
    fail(err);
    return nullptr;
  }
  return ctx;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  auto lock = lockApi();
  if (pCertContext == nullptr) return TRUE;
  return freeCert(pCertContext) ? TRUE : fail(E_INVALIDARG);
}

}  // extern "C"
