// Owning wrappers for OpenSSL objects and the lazy start of OpenSSL and the
// GOST engine.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace softcsp {

template <auto Free>
struct OsslFree {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslFree<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslFree<EVP_MD_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OsslFree<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OsslFree<X509_NAME_free>>;
using X509AttrPtr = std::unique_ptr<X509_ATTRIBUTE, OsslFree<X509_ATTRIBUTE_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslFree<PKCS12_free>>;
using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslFree<CMS_ContentInfo_free>>;
using AsnTypePtr = std::unique_ptr<ASN1_TYPE, OsslFree<ASN1_TYPE_free>>;
using AsnObjectPtr = std::unique_ptr<ASN1_OBJECT, OsslFree<ASN1_OBJECT_free>>;
using AsnIntegerPtr = std::unique_ptr<ASN1_INTEGER, OsslFree<ASN1_INTEGER_free>>;

// Starts libcrypto (once). Everything that touches OpenSSL calls it first, so
// that a process which never needs cryptography never pays for it.
void ensureOpenSsl();

// Loads the GOST engine once and makes it the default for its algorithms.
// False when it cannot be loaded; the answer is remembered.
bool ensureGost();

// Loads OpenSSL's legacy provider (RC2 and friends, found in PKCS#12 files
// from older tools) beside the default one. False when it is not there.
bool ensureLegacyAlgorithms();

// DER of an object through one of OpenSSL's i2d functions.
template <class T>
std::string toDer(int (*i2d)(T*, unsigned char**), T* obj) {
  const int len = i2d(obj, nullptr);
  if (len <= 0) return {};
  std::string out(static_cast<size_t>(len), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  i2d(obj, &p);
  return out;
}
template <class T>
std::string toDer(int (*i2d)(const T*, unsigned char**), const T* obj) {
  const int len = i2d(obj, nullptr);
  if (len <= 0) return {};
  std::string out(static_cast<size_t>(len), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  i2d(obj, &p);
  return out;
}

// Dotted text of an object identifier.
std::string oidText(const ASN1_OBJECT* obj);
// A certificate's subject as RFC 2253 text, with non-ASCII characters as
// UTF-8 rather than escaped.
std::string subjectText(X509* cert);

}  // namespace softcsp
