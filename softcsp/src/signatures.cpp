// CryptSignHashW: PKCS#1 v1.5 (RSA) or GOST R 34.10 over a finished hash.
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "errors.h"
#include "handles.h"
#include "hashes.h"

using softcsp::copyOut;
using softcsp::digestOf;
using softcsp::findHash;
using softcsp::finish;
using softcsp::hashFitsKey;
using softcsp::HashObject;
using softcsp::KeyKind;
using softcsp::keyKindOf;
using softcsp::lockApi;
using softcsp::notePrivateKeyUse;
using softcsp::PkeyCtxPtr;
using softcsp::PkeyPtr;
using softcsp::Session;

namespace {

size_t signatureSize(KeyKind kind, EVP_PKEY* pub) {
  switch (kind) {
    case KeyKind::Rsa: return static_cast<size_t>(EVP_PKEY_get_size(pub));
    case KeyKind::Gost2001:
    case KeyKind::Gost2012_256: return 64;
    case KeyKind::Gost2012_512: return 128;
    default: return 0;
  }
}

// The standard (big-endian) signature of a digest.
DWORD signDigest(EVP_PKEY* key, ALG_ID alg, const std::string& digest, std::string& out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  bool ok = ctx && EVP_PKEY_sign_init(ctx.get()) == 1;
  if (ok && keyKindOf(key) == KeyKind::Rsa) {
    // The DigestInfo around the hash comes from the signature digest.
    ok = EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), digestOf(alg)) == 1;
  }
  size_t len = 0;
  const auto* md = reinterpret_cast<const unsigned char*>(digest.data());
  ok = ok && EVP_PKEY_sign(ctx.get(), nullptr, &len, md, digest.size()) == 1;
  if (ok) {
    out.assign(len, '\0');
    ok = EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, md,
                       digest.size()) == 1;
    out.resize(len);
  }
  ERR_clear_error();
  return ok ? 0 : NTE_FAIL;
}

DWORD signHash(HCRYPTHASH hHash, DWORD keySpec, DWORD flags, BYTE* pbSignature,
               DWORD* pdwSigLen) {
  const std::shared_ptr<HashObject> hash = findHash(hHash);
  if (!hash) return NTE_BAD_HASH;
  if (pdwSigLen == nullptr) return ERROR_INVALID_PARAMETER;
  if (flags != 0) return NTE_BAD_FLAGS;
  Session& s = *hash->session;
  // The size comes from the public key so that asking for it needs no PIN,
  // but it fails like the signature itself when there is no such key.
  PkeyPtr pub;
  if (DWORD err = s.publicKey(keySpec, pub)) return err;
  const KeyKind kind = keyKindOf(pub.get());
  if (!hashFitsKey(hash->alg, kind)) return NTE_BAD_ALGID;
  const size_t size = signatureSize(kind, pub.get());
  if (pbSignature == nullptr) {
    *pdwSigLen = static_cast<DWORD>(size);
    return 0;
  }
  if (*pdwSigLen < size) {
    *pdwSigLen = static_cast<DWORD>(size);
    return ERROR_MORE_DATA;
  }
  EVP_PKEY* key = nullptr;
  if (DWORD err = s.privateKey(keySpec, key)) return err;
  std::string digest;
  if (DWORD err = hash->finish(digest)) return err;
  std::string sig;
  notePrivateKeyUse();
  if (DWORD err = signDigest(key, hash->alg, digest, sig)) return err;
  // CryptoAPI hands signatures out least significant byte first.
  std::reverse(sig.begin(), sig.end());
  return copyOut(sig.data(), sig.size(), pbSignature, pdwSigLen);
}

}  // namespace

extern "C" {

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                    DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) {
  (void)szDescription;  // unused since Windows 2000; callers pass null
  auto lock = lockApi();
  return finish(signHash(hHash, dwKeySpec, dwFlags, pbSignature, pdwSigLen));
}

}  // extern "C"
