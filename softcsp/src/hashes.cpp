#include "hashes.h"

#include <openssl/err.h>

#include "errors.h"
#include "handles.h"

using softcsp::addHandle;
using softcsp::digestOf;
using softcsp::fail;
using softcsp::findHash;
using softcsp::findSession;
using softcsp::HandleKind;
using softcsp::HashObject;
using softcsp::hashServedBy;
using softcsp::lockApi;
using softcsp::removeHandle;
using softcsp::Session;

namespace softcsp {

DWORD HashObject::finish(std::string &out) {
  if (!finished) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) {
      ERR_clear_error();
      return NTE_FAIL;
    }
    value.assign(reinterpret_cast<const char *>(md), len);
    finished = true;
  }
  out = value;
  return 0;
}

std::shared_ptr<HashObject> findHash(HCRYPTHASH handle) {
  return find<HashObject>(HandleKind::Hash, handle);
}

}  // namespace softcsp

extern "C" {

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                     DWORD dwFlags, HCRYPTHASH *phHash) {
  auto lock = lockApi();
  const std::shared_ptr<Session> s = findSession(hProv);
  if (!s) return fail(NTE_BAD_UID);
  if (phHash == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (hKey != 0) return fail(NTE_BAD_KEY);  // no keyed hashes
  if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
  if (!hashServedBy(Algid, s->provider())) return fail(NTE_BAD_ALGID);
  const EVP_MD *md = digestOf(Algid);
  if (md == nullptr) return fail(NTE_BAD_ALGID);
  auto hash = std::make_shared<HashObject>();
  hash->session = s;
  hash->alg = Algid;
  hash->ctx.reset(EVP_MD_CTX_new());
  if (!hash->ctx || EVP_DigestInit_ex(hash->ctx.get(), md, nullptr) != 1) {
    ERR_clear_error();
    return fail(NTE_FAIL);
  }
  *phHash = addHandle(HandleKind::Hash, hash);
  return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen,
                   DWORD dwFlags) {
  auto lock = lockApi();
  const std::shared_ptr<HashObject> hash = findHash(hHash);
  if (!hash) return fail(NTE_BAD_HASH);
  if (pbData == nullptr && dwDataLen != 0) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
  if (hash->finished) return fail(NTE_BAD_HASH_STATE);
  if (dwDataLen != 0 && EVP_DigestUpdate(hash->ctx.get(), pbData, dwDataLen) != 1) {
    ERR_clear_error();
    return fail(NTE_FAIL);
  }
  return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
  auto lock = lockApi();
  return removeHandle(HandleKind::Hash, hHash) ? TRUE : fail(NTE_BAD_HASH);
}

}  // extern "C"
